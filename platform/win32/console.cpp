// The console on Windows.
#include "platform/console.h"

#include <io.h>
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <iostream>

#include "platform/text_encoding.h"

namespace corvanel::platform {

void PrepareConsole() {
  ::SetConsoleOutputCP(CP_UTF8);
  ::SetConsoleCP(CP_UTF8);
}

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

bool SameDestination(std::FILE*, std::FILE*) { return true; }

std::optional<std::string> ReadTerminalLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

namespace {
std::atomic<std::int32_t>* interruptFlag = nullptr;
std::atomic<bool> interruptedOnce{false};

BOOL WINAPI OnConsoleControl(DWORD event) {
  if (interruptedOnce.exchange(true)) return FALSE;
  interruptFlag->store(1);
  // A closed console or a logoff ends the process when this returns: give
  // the work a moment to remove its partial output first.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) ::Sleep(3000);
  return TRUE;
}
}  // namespace

void SetFlagOnInterrupt(std::atomic<std::int32_t>& flag) {
  interruptFlag = &flag;
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

std::optional<std::string> ReadSecretLine() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  bool console = ::GetConsoleMode(input, &saved) != 0;
  if (console) ::SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  std::optional<std::string> line = ReadTerminalLine();
  if (console) ::SetConsoleMode(input, saved);
  return line;
}

std::optional<std::string> EnvironmentVariable(const std::string& name) {
  const std::u16string wide = Utf8ToUtf16(name);
  const wchar_t* value = ::_wgetenv(reinterpret_cast<const wchar_t*>(wide.c_str()));
  if (!value) return std::nullopt;
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value), std::wcslen(value)));
}

}  // namespace corvanel::platform
