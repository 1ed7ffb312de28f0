// UTF-8/UTF-16 conversions and the ANSI code page.
#include "platform/text_encoding.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

namespace corvanel::platform {
namespace {

TEST(TextEncoding, RoundTripsEveryPlane) {
  const std::u16string text = u"a\u00e9\u4e2d\uff01\U0001F600z";
  std::string utf8 = Utf16ToUtf8(text);
  EXPECT_EQ(utf8, "a\xc3\xa9\xe4\xb8\xad\xef\xbc\x81\xf0\x9f\x98\x80z");
  EXPECT_EQ(Utf8ToUtf16(utf8), text);
}

TEST(TextEncoding, IllFormedInputBecomesReplacementCharacters) {
  // Lone surrogates, as NTFS names may hold them.
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)}),
            "a\xef\xbf\xbd" "b\xef\xbf\xbd");
  // Truncated, overlong, surrogate and out-of-range UTF-8.
  EXPECT_EQ(Utf8ToUtf16("x\xe4\xb8"), u"x\ufffd\ufffd");
  EXPECT_EQ(Utf8ToUtf16("\xc0\xaf"), u"\ufffd\ufffd");
  EXPECT_EQ(Utf8ToUtf16("\xed\xa0\x80"), u"\ufffd\ufffd\ufffd");
  EXPECT_EQ(Utf8ToUtf16("\xf4\x90\x80\x80"), u"\ufffd\ufffd\ufffd\ufffd");
  EXPECT_EQ(Utf8ToUtf16("\xff"), u"\ufffd");
}

TEST(AnsiCodePage, AsciiPassesThrough) {
  EXPECT_EQ(ToAnsi(u"C:\\dir\\file.txt"), std::string("C:\\dir\\file.txt"));
  EXPECT_EQ(FromAnsi("file.txt"), std::u16string(u"file.txt"));
  EXPECT_EQ(ToAnsi(u""), std::string());
}

#ifdef _WIN32
TEST(AnsiCodePage, CharactersOutsideTheSystemCodePageAreRefused) {
  // Wine's default system code page is a single-byte Western one: no CJK.
  if (GetACP() == 936 || GetACP() == 65001) GTEST_SKIP() << "code page holds CJK";
  EXPECT_EQ(ToAnsi(u"\u4e2d.txt"), std::nullopt);
}
#else
TEST(AnsiCodePage, FollowsTheConfiguredCodePage) {
  EXPECT_EQ(ToAnsi(u"\u4e2d"), std::string("\xe4\xb8\xad"));  // UTF-8 by default
  ASSERT_TRUE(SetAnsiCodePage("GBK"));
  EXPECT_EQ(ToAnsi(u"\u4e2d"), std::string("\xd6\xd0"));
  EXPECT_EQ(FromAnsi("\xd6\xd0"), std::u16string(u"\u4e2d"));
  ASSERT_TRUE(SetAnsiCodePage("ISO-8859-1"));
  EXPECT_EQ(ToAnsi(u"\u4e2d"), std::nullopt);  // refused, not replaced by '?'
  EXPECT_FALSE(SetAnsiCodePage("NO-SUCH-CHARSET"));
  ASSERT_TRUE(SetAnsiCodePage("UTF-8"));
  EXPECT_EQ(FromAnsi("\xff"), std::nullopt);
}
#endif

}  // namespace
}  // namespace corvanel::platform
