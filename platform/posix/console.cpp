// The terminal on POSIX systems.
#include "platform/console.h"

#include <unistd.h>

#include <iostream>

namespace corvanel::platform {

void PrepareConsole() {}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::optional<std::string> ReadTerminalLine() {
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

}  // namespace corvanel::platform
