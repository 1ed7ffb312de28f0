// The terminal, for the command-line front end.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "platform/system_error.h"

namespace corvanel::platform {

// Makes the console take UTF-8 output (a no-op where it always does).
void PrepareConsole();

bool IsTerminal(std::FILE* stream);

// Whether two streams write to the same file, pipe or terminal (where the
// order of their lines shows); true where that cannot be told.
bool SameDestination(std::FILE* a, std::FILE* b);

// Reads one line from the terminal; nullopt at end of input.
std::optional<std::string> ReadTerminalLine();

// The first Ctrl+C (and SIGTERM, SIGHUP; on Windows Ctrl+Break and closing
// the console) sets flag to 1, so running work can take its cancel path; a
// second one ends the process as usual.
void SetFlagOnInterrupt(std::atomic<std::int32_t>& flag);

// Reads one line from the terminal without showing what is typed; nullopt at
// end of input.
std::optional<std::string> ReadSecretLine();

// An environment variable's value (UTF-8); nullopt when it is not set.
std::optional<std::string> EnvironmentVariable(const std::string& name);

// Reads one line from an inherited file descriptor, a byte at a time so that
// nothing after it is taken; the line end is not part of it. nullopt with
// error set when the descriptor cannot be read.
std::optional<std::string> ReadDescriptorLine(int descriptor, SystemError& error);

}  // namespace corvanel::platform
