// The terminal, for the command-line front end.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace corvanel::platform {

// Makes the console take UTF-8 output (a no-op where it always does).
void PrepareConsole();

bool IsTerminal(std::FILE* stream);

// Reads one line from the terminal; nullopt at end of input.
std::optional<std::string> ReadTerminalLine();

// The first Ctrl+C (and SIGTERM, SIGHUP; on Windows Ctrl+Break and closing
// the console) sets flag to 1, so running work can take its cancel path; a
// second one ends the process as usual.
void SetFlagOnInterrupt(std::atomic<std::int32_t>& flag);

// Reads one line from the terminal without showing what is typed; nullopt at
// end of input.
std::optional<std::string> ReadSecretLine();

}  // namespace corvanel::platform
