// The subcommands of corvanel-cli.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "cli/cli.h"

namespace corvanel::cli {

struct Command {
  std::string_view name;
  std::string_view synopsis;  // the arguments, for the help text
  std::string_view summary;
  int (*run)(std::span<const std::string> args, Console& console);
};

std::span<const Command> Commands();

// Prints the catalogue's English text for an engine's error code and gives kExitFailed.
int ReportFailure(Console& console, std::int32_t errorCode);

// Prints the English text of a table B prompt (a refusal) and gives kExitFailed.
int ReportPrompt(Console& console, std::int32_t promptNumber);

// Text from a volume or a file, safe to print on a terminal: control
// characters (C0, DEL, C1) become escapes such as \n, \t and \x1b, so a
// name cannot move the cursor, change colours or fake a line of output.
// keepLineBreaks leaves CR and LF as they are (for texts with system messages).
std::string Printable(std::string_view utf8, bool keepLineBreaks = false);

// Prints a usage error and gives kExitUsage.
int ReportUsage(Console& console, std::string_view message);

int RunEncrypt(std::span<const std::string> args, Console& console);
int RunDecrypt(std::span<const std::string> args, Console& console);
int RunInfo(std::span<const std::string> args, Console& console);
int RunScan(std::span<const std::string> args, Console& console);
int RunRecover(std::span<const std::string> args, Console& console);
int RunLocate(std::span<const std::string> args, Console& console);
int RunShred(std::span<const std::string> args, Console& console);
int RunDump(std::span<const std::string> args, Console& console);

}  // namespace corvanel::cli
