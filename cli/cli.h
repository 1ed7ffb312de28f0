// The command-line front end: argument handling and subcommand dispatch,
// apart from the process entry point so that tests can drive it.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace corvanel::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the operation failed; the catalogue's text was printed
inline constexpr int kExitUsage = 2;   // the command line was wrong

struct Console {
  std::ostream& out;
  std::ostream& err;
  bool interactive = false;    // a user at a terminal can answer questions
  bool showProgress = false;   // err is a terminal that can show a progress bar
  // Reads a secret (a key) without echo; empty when there is nothing to read from.
  std::function<std::optional<std::string>()> readSecret = {};
  bool outIsTerminal = false;  // standard output is a terminal (no sealed data is written there)
};

// args excludes the program name.
int RunCli(std::span<const std::string> args, Console& console);

}  // namespace corvanel::cli
