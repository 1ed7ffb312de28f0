// Storage of the process-wide values.
#include "app/shared_state.h"

namespace corvanel {

std::u16string SharedText::Get() const {
  std::lock_guard lock(mutex_);
  return text_;
}

void SharedText::Set(std::u16string text) {
  std::lock_guard lock(mutex_);
  text_ = std::move(text);
}

std::atomic<std::int32_t> CurrentOperation{kOperationIdle};
std::atomic<std::int32_t> AbortRequested{0};
std::atomic<std::uint16_t> UiLanguage{0};
std::atomic<std::int16_t> LastPromptAnswer{0};
SharedText LastSystemErrorText;
SharedText PromptDetail;
SharedText ShredFilePath;
std::atomic<std::int32_t> ShredFileChosen{0};

std::atomic<WindowHandle> EncryptPageWindow{nullptr};
std::atomic<WindowHandle> ShredPageWindow{nullptr};
std::atomic<WindowHandle> RecoverPageWindow{nullptr};

std::atomic<ThreadHandle> EncryptThread{nullptr};
std::atomic<ThreadHandle> DecryptThread{nullptr};
std::atomic<ThreadHandle> ShredThread{nullptr};
std::atomic<ThreadHandle> RecoverThread{nullptr};
std::atomic<ThreadHandle> ScanThread{nullptr};

void ReportSystemError(platform::SystemError error, std::int32_t code, std::int32_t& errorCode) {
  LastSystemErrorText.Set(u"System Error:" + platform::SystemErrorMessage(error));
  errorCode = code;
}

void ResetSharedState() {
  CurrentOperation = kOperationIdle;
  AbortRequested = 0;
  UiLanguage = 0;
  LastPromptAnswer = 0;
  LastSystemErrorText.Set({});
  PromptDetail.Set({});
  ShredFilePath.Set({});
  ShredFileChosen = 0;
  for (auto* window : {&EncryptPageWindow, &ShredPageWindow, &RecoverPageWindow}) *window = nullptr;
  for (auto* thread : {&EncryptThread, &DecryptThread, &ShredThread, &RecoverThread, &ScanThread})
    *thread = nullptr;
}

}  // namespace corvanel
