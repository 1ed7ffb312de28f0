// The catalogue: texts byte for byte, the language rule, unknown numbers,
// owners, buttons and LastPromptAnswer.
#include "app/message_catalogue.h"

#include <gtest/gtest.h>

#include <set>

#include "app/shared_state.h"
#include "platform/text_encoding.h"
#include "tests/support/recording_prompter.h"

namespace corvanel {
namespace {

using testing::RecordingPrompter;

std::string Utf8(std::u16string_view text) { return platform::Utf16ToUtf8(text); }

std::string ErrorText(std::int32_t code, std::uint16_t language) {
  return Utf8(ErrorPromptText(code, language).value_or(u"<none>"));
}

std::string UserText(std::int32_t number, std::uint16_t language) {
  return Utf8(UserPromptText(number, language).value_or(u"<none>"));
}

class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedState();
    EncryptPageWindow = reinterpret_cast<WindowHandle>(0x1000);
    ShredPageWindow = reinterpret_cast<WindowHandle>(0x2000);
    RecoverPageWindow = reinterpret_cast<WindowHandle>(0x3000);
  }
  void TearDown() override { ResetSharedState(); }

  RecordingPrompter prompter;
};

// Every Yes/No entry in both languages, with the quotation marks, full-width
// marks and trailing blanks exactly as they stand.
TEST(CatalogueTexts, YesNoEntriesAreByteExact) {
  struct Expected {
    std::int32_t number;
    const char* chinese;
    const char* english;
  };
  const Expected expected[] = {
      {8, "粉碎文件后，文件无法恢复！继续粉碎请选择\u201c是\u201d，终止请选择\u201c否\u201d。",
       "After shred files, files can not be recovered!Continue shreding select \"Yes\" to terminate the select "
       "\"NO\". "},
      {11, "粉碎文件成功！立即重启请选择\u201c是\u201d，稍后手动重启请选择\u201c否\u201d。",
       "Shreded files successfully! Now reboot select \"Yes\" to restart later manually select \"NO\". "},
      {21, "正在扫描被删除文件！继续扫描请选择\u201c是\u201d，重新扫描新盘符请选择\u201c否\u201d。",
       "Scanning deleted files! Continue to scan please select \"Yes\" and re-scan for new disk select \"NO\". "},
      {24, "正在扫描被删除文件！继续退出程序选择\u201c是\u201d，等待操作完成请选择\u201c否\u201d。",
       "Scanning deleted files! Continue to exit the program select \"Yes\" and wait for the completion of the "
       "operation select \"NO\"."},
      {25, "正在加（解）密文件！继续退出程序选择\u201c是\u201d，等待操作完成请选择\u201c否\u201d。",
       "Encrypting(Decrypting) files\uff01Continue to exit the program select \"Yes\" and wait for the completion of "
       "the operation select \"NO\". "},
      {26, "正在执行删除文件！继续退出程序选择\u201c是\u201d，等待操作完成请选择\u201c否\u201d。",
       "Shreding files\uff01Continue to exit the program select \"Yes\" and wait for the completion of the "
       "operation select \"NO\"."},
      {27, "正在恢复文件！继续退出程序选择\u201c是\u201d，等待操作完成请选择\u201c否\u201d。",
       "Recovering files\uff01Continue to exit the program select \"Yes\" and wait for the completion of the "
       "operation select \"NO\"."},
  };
  std::set<std::int32_t> yesNo;
  for (std::int32_t number = 0; number <= 30; ++number) {
    const CatalogueEntry* entry = FindUserPromptEntry(number);
    if (entry != nullptr && entry->buttons == PromptButtons::YesNo) yesNo.insert(number);
  }
  EXPECT_EQ(yesNo, (std::set<std::int32_t>{8, 11, 21, 24, 25, 26, 27}));
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.number);
    EXPECT_EQ(UserText(e.number, kLanguageChinese), e.chinese);
    EXPECT_EQ(UserText(e.number, kLanguageEnglish), e.english);
  }
}

TEST(CatalogueTexts, SampleOfOkEntriesIsByteExact) {
  // Code 20 has an ASCII comma after 定位不到 where code 17 has a full-width one.
  EXPECT_EQ(ErrorText(20, kLanguageChinese), "此文件的数据内容定位不到,不能彻底删除文件！");
  EXPECT_EQ(ErrorText(17, kLanguageChinese), "此文件的数据内容定位不到\uff0c无法恢复文件！");
  EXPECT_EQ(ErrorText(2, kLanguageChinese), "INVALID_HANDLE_VALUE\uff01");
  EXPECT_EQ(ErrorText(5, kLanguageEnglish), "INVALID_HANDLE_VALUE!");
  EXPECT_EQ(ErrorText(4, kLanguageChinese), "抱歉，无法获取此盘的信息！");
  EXPECT_EQ(ErrorText(4, kLanguageEnglish), "Sorry, we could not get the information on the disk!");
  EXPECT_EQ(ErrorText(11, kLanguageEnglish),
            "Unable to access the disk, this volume does not contain a recognized file system!");
  EXPECT_EQ(ErrorText(16, kLanguageEnglish), "File is too large, can not be completely deleted!");
  // The refused sector size stands in its text.
  PromptDetail.Set(u"8192");
  EXPECT_EQ(ErrorText(21, kLanguageEnglish),
            "Unable to access the disk, this volume has sectors of 8192 bytes, only sectors of 512 to 4096 bytes are supported!");
  EXPECT_EQ(ErrorText(21, kLanguageChinese), "无法访问磁盘，此卷的扇区为8192字节，只支持512至4096字节的扇区！");
  PromptDetail.Set({});
  EXPECT_EQ(UserText(4, kLanguageEnglish),
            "The same name files in this path, the file be resumed will overwrite the original file, please choose "
            "carefully!");
  EXPECT_EQ(UserText(14, kLanguageChinese), "密钥的长度须16位！");
  EXPECT_EQ(UserText(23, kLanguageEnglish),
            "Decryption algorithm does not match the selected file, select the a corresponding decryption algorithm "
            "to decrypt!");
  // Entries that repeat another's text.
  EXPECT_EQ(UserText(5, kLanguageChinese), UserText(3, kLanguageChinese));
  EXPECT_EQ(UserText(13, kLanguageEnglish), "Key can not be empty!");
  EXPECT_EQ(UserText(15, kLanguageEnglish), "Key length must be sixteen!");
  EXPECT_EQ(UserText(19, kLanguageChinese), "有操作正在进行，请等待其结束！");
  EXPECT_EQ(UserText(20, kLanguageEnglish), "An operation in progress, wait for it to end!");
  // The full-width exclamation mark of the caption is U+FF01 (EF BC 81).
  EXPECT_EQ(Utf8(PromptCaption(kLanguageChinese)), "\xe6\x8f\x90\xe7\xa4\xba\xef\xbc\x81");
  EXPECT_EQ(Utf8(PromptCaption(kLanguageEnglish)), "Prompt");
}

TEST_F(CatalogueTest, ShowsTheLanguageOfUiLanguageWithItsCaption) {
  UiLanguage = kLanguageChinese;
  ShowErrorPrompt(error_code::kWrongKey);
  UiLanguage = kLanguageEnglish;
  ShowErrorPrompt(error_code::kWrongKey);
  ASSERT_EQ(prompter.shown().size(), 2u);
  EXPECT_EQ(Utf8(prompter.shown()[0].text), "密钥错误，请重新输入！");
  EXPECT_EQ(Utf8(prompter.shown()[0].caption), "提示！");
  EXPECT_EQ(Utf8(prompter.shown()[1].text), "Key error, please re-enter!");
  EXPECT_EQ(Utf8(prompter.shown()[1].caption), "Prompt");
}

TEST_F(CatalogueTest, AnyOtherLanguageShowsNothingAndKeepsTheLastAnswer) {
  for (std::uint16_t language : {std::uint16_t{0}, std::uint16_t{0x0411}, std::uint16_t{0x0404}}) {
    UiLanguage = language;
    LastPromptAnswer = kPromptYes;
    prompter.Answer({kPromptNo});
    EXPECT_EQ(ShowUserPrompt(prompt::kConfirmShred), 0);
    EXPECT_EQ(ShowErrorPrompt(error_code::kSectorReadFailed), 0);
    EXPECT_EQ(LastPromptAnswer, kPromptYes);
  }
  EXPECT_TRUE(prompter.shown().empty());
}

TEST_F(CatalogueTest, UnknownNumbersShowNothing) {
  UiLanguage = kLanguageEnglish;
  for (std::int32_t code : {0, 7, 10, 23, -1, 1000}) EXPECT_EQ(ShowErrorPrompt(code), 0) << code;
  for (std::int32_t number : {0, 22, 28, -3, 99}) EXPECT_EQ(ShowUserPrompt(number), 0) << number;
  EXPECT_TRUE(prompter.shown().empty());
}

TEST_F(CatalogueTest, OwnersAndButtonsComeFromTheEntry) {
  UiLanguage = kLanguageEnglish;
  LastSystemErrorText.Set(u"System Error:x");
  ShowErrorPrompt(error_code::kVolumeOpenFailed);     // none
  ShowErrorPrompt(error_code::kFileOpenFailed);       // encrypt page
  ShowErrorPrompt(error_code::kFileTooLargeToShred);  // shred page
  ShowErrorPrompt(error_code::kScanSystemError);      // recover page
  ShowUserPrompt(prompt::kConfirmShred);              // shred page, Yes/No
  ShowUserPrompt(prompt::kExitWhileScanning);         // recover page, Yes/No
  ShowUserPrompt(prompt::kKeyLength);                 // encrypt page, OK
  const auto& shown = prompter.shown();
  ASSERT_EQ(shown.size(), 7u);
  EXPECT_EQ(shown[0].owner, nullptr);
  EXPECT_EQ(shown[1].owner, EncryptPageWindow.load());
  EXPECT_EQ(shown[2].owner, ShredPageWindow.load());
  EXPECT_EQ(shown[3].owner, RecoverPageWindow.load());
  EXPECT_EQ(shown[4].owner, ShredPageWindow.load());
  EXPECT_EQ(shown[5].owner, RecoverPageWindow.load());
  EXPECT_EQ(shown[6].owner, EncryptPageWindow.load());
  // MB_OK is 0 and MB_YESNO 4; no icon flag is added.
  EXPECT_EQ(static_cast<unsigned>(shown[3].buttons), 0u);
  EXPECT_EQ(static_cast<unsigned>(shown[4].buttons), 4u);
  EXPECT_EQ(static_cast<unsigned>(shown[6].buttons), 0u);
}

TEST_F(CatalogueTest, SystemTextEntriesShowTheCurrentSystemErrorText) {
  UiLanguage = kLanguageChinese;
  for (std::int32_t code : {1, 3, 18, 19}) {
    std::u16string text = u"System Error:code " + platform::Utf8ToUtf16(std::to_string(code)) + u"\r\n";
    LastSystemErrorText.Set(text);
    ShowErrorPrompt(code);
    ASSERT_FALSE(prompter.shown().empty());
    EXPECT_EQ(prompter.shown().back().text, text) << code;
  }
}

TEST_F(CatalogueTest, OnlyYesNoBoxesChangeLastPromptAnswer) {
  UiLanguage = kLanguageEnglish;
  EXPECT_EQ(LastPromptAnswer, 0);
  prompter.Answer({kPromptYes});
  EXPECT_EQ(ShowUserPrompt(prompt::kRestartAfterShred), kPromptYes);
  EXPECT_EQ(LastPromptAnswer, kPromptYes);

  // OK boxes of both tables leave it alone.
  EXPECT_EQ(ShowUserPrompt(prompt::kSameNameWarning), kPromptOk);
  EXPECT_EQ(ShowErrorPrompt(error_code::kEmptyFile), kPromptOk);
  EXPECT_EQ(LastPromptAnswer, kPromptYes);

  prompter.Answer({kPromptNo});
  EXPECT_EQ(ShowUserPrompt(prompt::kScanInProgress), kPromptNo);
  EXPECT_EQ(LastPromptAnswer, kPromptNo);

  // Prompt 0, which pages show after starting a worker, does nothing at all.
  EXPECT_EQ(ShowUserPrompt(prompt::kNone), 0);
  EXPECT_EQ(LastPromptAnswer, kPromptNo);
  EXPECT_EQ(prompter.shown().size(), 4u);
}

TEST_F(CatalogueTest, WithoutAPrompterNothingIsShownOrStored) {
  InstallPrompter(nullptr);
  UiLanguage = kLanguageEnglish;
  LastPromptAnswer = kPromptNo;
  EXPECT_EQ(ShowUserPrompt(prompt::kConfirmShred), 0);
  EXPECT_EQ(LastPromptAnswer, kPromptNo);
  InstallPrompter(&prompter);
}

}  // namespace
}  // namespace corvanel
