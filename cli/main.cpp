// corvanel-cli entry point: gathers the arguments as UTF-8 and runs the front end.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/prompter.h"
#include "app/shared_state.h"
#include "cli/cli.h"
#include "cli/console_prompter.h"
#include "platform/console.h"
#include "platform/text_encoding.h"

namespace {

int Run(std::vector<std::string> args) {
  using namespace corvanel;
  platform::PrepareConsole();
  // Listings of thousands of lines: no per-write locking of C's streams.
  std::ios::sync_with_stdio(false);
  // Each warning line would first flush the output, a write (and a wake-up
  // of whatever reads it) per warned file, where the two streams go to
  // different places and their order cannot show.
  if (!platform::SameDestination(stdout, stderr)) std::cerr.tie(nullptr);
  // Ctrl+C lets the engines delete their partial output before the process ends.
  platform::SetFlagOnInterrupt(AbortRequested);
  bool assumeYes = false;
  std::erase_if(args, [&](const std::string& arg) { return arg == "--yes" ? (assumeYes = true) : false; });
  cli::Console console{std::cout, std::cerr, platform::IsTerminal(stdin) && platform::IsTerminal(stderr),
                       platform::IsTerminal(stderr), platform::ReadSecretLine};
  console.outIsTerminal = platform::IsTerminal(stdout);
  cli::ConsolePrompter::LineReader readLine;
  if (console.interactive) readLine = platform::ReadTerminalLine;
  cli::ConsolePrompter prompter(std::cerr, assumeYes, readLine);
  InstallPrompter(&prompter);
  int status = cli::RunCli(args, console);
  InstallPrompter(nullptr);
  std::cout.flush();
  return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    std::wstring_view arg(argv[i]);
    args.push_back(corvanel::platform::Utf16ToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(arg.data()), arg.size())));
  }
  return Run(std::move(args));
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif
