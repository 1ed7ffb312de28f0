#include "tests/support/recording_prompter.h"

namespace corvanel::testing {

RecordingPrompter::RecordingPrompter() : previous_(InstalledPrompter()) { InstallPrompter(this); }

RecordingPrompter::~RecordingPrompter() { InstallPrompter(previous_); }

int RecordingPrompter::Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
                            PromptButtons buttons) {
  shown_.push_back({owner, std::u16string(text), std::u16string(caption), buttons});
  if (!answers_.empty()) {
    int answer = answers_.front();
    answers_.pop_front();
    return answer;
  }
  return buttons == PromptButtons::Ok ? kPromptOk : kPromptNo;
}

}  // namespace corvanel::testing
