// The system-error report shared by every engine.
#include "app/shared_state.h"

#include <gtest/gtest.h>

#include "platform/text_encoding.h"

namespace corvanel {
namespace {

TEST(SharedState, ReportSystemErrorComposesTheTextAndSetsTheCode) {
  ResetSharedState();
  std::int32_t errorCode = 0;
  platform::SystemError error = platform::InvalidArgumentError();
  ReportSystemError(error, 19, errorCode);
  EXPECT_EQ(errorCode, 19);
  std::u16string text = LastSystemErrorText.Get();
  // No blank between the prefix and the system's own text.
  EXPECT_EQ(text, u"System Error:" + platform::SystemErrorMessage(error));
  EXPECT_GT(text.size(), std::u16string_view(u"System Error:").size());
  EXPECT_NE(text[13], u' ');
}

}  // namespace
}  // namespace corvanel
