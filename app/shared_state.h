// Process-wide values shared by the window, its pages, the one worker thread
// and the engines.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/system_error.h"

namespace corvanel {

// Values of CurrentOperation: what the one worker thread is doing.
enum Operation : std::int32_t {
  kOperationIdle = 0,
  kOperationShred = 1,
  kOperationEncrypt = 2,
  kOperationDecrypt = 3,
  kOperationRecover = 4,
  kOperationScan = 5,
};

// Values of UiLanguage (Windows language ids).
inline constexpr std::uint16_t kLanguageEnglish = 0x0409;
inline constexpr std::uint16_t kLanguageChinese = 0x0804;

// HWND and HANDLE in the GUI; opaque everywhere else.
using WindowHandle = void*;
using ThreadHandle = void*;

// A string written by one thread and read by another, replaced whole.
class SharedText {
 public:
  std::u16string Get() const;
  void Set(std::u16string text);

 private:
  mutable std::mutex mutex_;
  std::u16string text_;
};

// The busy marker: 0 idle, else the Operation of the running worker.
extern std::atomic<std::int32_t> CurrentOperation;
// Set to 1 once the user confirmed leaving while a worker runs; never reset.
extern std::atomic<std::int32_t> AbortRequested;
// kLanguageEnglish, kLanguageChinese, or 0 when the system language is neither.
extern std::atomic<std::uint16_t> UiLanguage;
// The result of the last Yes/No box (6 Yes, 7 No); 0 until one was answered.
extern std::atomic<std::int16_t> LastPromptAnswer;
// "System Error:" followed by the system's text for the last failed call.
extern SharedText LastSystemErrorText;
// The value a catalogue text names (a volume's sector size), set with its code.
extern SharedText PromptDetail;

// Owners of each page's boxes.
extern std::atomic<WindowHandle> EncryptPageWindow;
extern std::atomic<WindowHandle> ShredPageWindow;
extern std::atomic<WindowHandle> RecoverPageWindow;

// The worker of each operation, kept by the page that started it.
extern std::atomic<ThreadHandle> EncryptThread;
extern std::atomic<ThreadHandle> DecryptThread;
extern std::atomic<ThreadHandle> ShredThread;
extern std::atomic<ThreadHandle> RecoverThread;
extern std::atomic<ThreadHandle> ScanThread;

// The file the shred page (or the CLI) chose, "X:\dir\file", and whether one
// is chosen; both are emptied after every shred request.
extern SharedText ShredFilePath;
extern std::atomic<std::int32_t> ShredFileChosen;

// A failed system call: LastSystemErrorText becomes "System Error:" followed
// directly by the system's text, and errorCode becomes code.
void ReportSystemError(platform::SystemError error, std::int32_t code, std::int32_t& errorCode);

// Puts every value back to its start-up state (for tests and the CLI).
void ResetSharedState();

}  // namespace corvanel
