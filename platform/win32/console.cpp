// The console on Windows.
#include "platform/console.h"

#include <io.h>
#include <windows.h>

#include <iostream>

namespace corvanel::platform {

void PrepareConsole() {
  ::SetConsoleOutputCP(CP_UTF8);
  ::SetConsoleCP(CP_UTF8);
}

bool IsTerminal(std::FILE* stream) { return ::_isatty(::_fileno(stream)) != 0; }

std::optional<std::string> ReadTerminalLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace corvanel::platform
