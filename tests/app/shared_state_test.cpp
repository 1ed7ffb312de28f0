// The system-error report shared by every engine.
#include "app/shared_state.h"

#include <gtest/gtest.h>

#include "platform/text_encoding.h"

namespace corvanel {
namespace {

TEST(SharedState, ReportSystemErrorComposesTheTextAndSetsTheCode) {
  ResetSharedState();
  std::int32_t errorCode = 0;
  ReportSystemError(platform::InvalidArgumentError(), 19, errorCode);
  EXPECT_EQ(errorCode, 19);
  // The prefix, then the system's own text with no blank between.
#ifdef _WIN32
  const std::u16string text = LastSystemErrorText.Get();
  EXPECT_TRUE(text == u"System Error:The parameter is incorrect.\r\n" || text == u"System Error:Invalid parameter.\r\n")
      << platform::Utf16ToUtf8(text);
#else
  EXPECT_EQ(LastSystemErrorText.Get(), u"System Error:Invalid argument");
#endif
}

}  // namespace
}  // namespace corvanel
