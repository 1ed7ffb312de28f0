// The subcommands of corvanel-cli.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "volume/deleted_files_view.h"
#include "volume/scan_result.h"

namespace corvanel::cli {

// What a subcommand runs once its arguments are parsed.
using CommandAction = std::function<int(Console&)>;

// Each adds its subcommands to app, with their options bound to arguments it
// keeps, and on a parse that selects one puts its action in chosen.
void AddCryptCommands(CLI::App& app, CommandAction& chosen);   // encrypt, decrypt
void AddVolumeCommands(CLI::App& app, CommandAction& chosen);  // info, scan
void AddRecoverCommand(CLI::App& app, CommandAction& chosen);
void AddShredCommands(CLI::App& app, CommandAction& chosen);   // shred, locate
void AddDumpCommand(CLI::App& app, CommandAction& chosen);

// The lines a command's help ends with: the ciphers and keys (the
// encryption commands), what VOLUME may be (the volume commands), the exit
// statuses (all), and the command's own notes.
enum HelpTopic : unsigned { kHelpCiphers = 1, kHelpVolumes = 2 };
std::string HelpFooter(unsigned topics, std::string_view notes = {});

// The catalogue's English text for an engine's error code, without its
// trailing blanks.
std::string FailureText(std::int32_t errorCode);

// Prints the catalogue's English text for an engine's error code and gives kExitFailed.
int ReportFailure(Console& console, std::int32_t errorCode);

// Prints the English text of a table B prompt (a refusal) and gives kExitFailed.
int ReportPrompt(Console& console, std::int32_t promptNumber);

// Text from a volume or a file, safe to print on a terminal: control
// characters (C0, DEL, C1) become escapes such as \n, \t and \x1b, so a
// name cannot move the cursor, change colours or fake a line of output.
// keepLineBreaks leaves CR and LF as they are (for texts with system messages).
std::string Printable(std::string_view utf8, bool keepLineBreaks = false);

// The options that choose which deleted files scan and recover take.
struct FilterArguments {
  std::vector<std::string> names;
  std::vector<std::string> extensions;
  std::string minSize, maxSize;
  std::string modifiedAfter, modifiedBefore;
  bool recoverable = false;
};
void AddFilterOptions(CLI::App& command, FilterArguments& filters);

// Scans a volume for deleted files, with progress on the terminal, listing
// only those the filters admit, each with its free share; a status when the
// scan was interrupted or failed (after saying why). The listener hears of
// each file as it is listed; keepFiles false keeps nothing of them.
std::optional<int> ScanForDeletedFiles(char letter, DeletedFilesView& view, Console& console,
                                       const FilterArguments& filters, ScanListener* listener = nullptr,
                                       bool keepFiles = true);

// After a scan: a warning on standard error for each stretch of the volume it
// could not read (and, for json, a JSON line on standard output). True when
// there was one: the listing is then partial.
bool ReportUnreadable(Console& console, bool json);

// Prints a usage error and gives kExitUsage.
int ReportUsage(Console& console, std::string_view message);

}  // namespace corvanel::cli
