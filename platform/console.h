// The terminal, for the command-line front end.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace corvanel::platform {

// Makes the console take UTF-8 output (a no-op where it always does).
void PrepareConsole();

bool IsTerminal(std::FILE* stream);

// Reads one line from the terminal; nullopt at end of input.
std::optional<std::string> ReadTerminalLine();

}  // namespace corvanel::platform
