// Argument handling and dispatch of corvanel-cli.
#include "cli/cli.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "crypt/cipher_table.h"
#include "cli/commands.h"
#include "platform/text_encoding.h"

namespace corvanel::cli {
namespace {

constexpr Command kCommands[] = {
    {"encrypt", "FILE [--cipher NAME] [--key KEY | --key-file PATH]",
     "encrypt FILE into FILE_<suffix> beside it (the key is asked for when not given)", RunEncrypt},
    {"decrypt", "FILE [--cipher NAME] [--key KEY | --key-file PATH]",
     "decrypt FILE into its folder under the name it had before", RunDecrypt},
    {"info", "VOLUME", "show the file system and geometry of a volume", RunInfo},
    {"scan", "VOLUME [--json]", "list the deleted files of an NTFS or FAT32 volume", RunScan},
    {"recover", "VOLUME --to DIR (--all | --index N ...) [--yes]",
     "write deleted files (by their scan index) into DIR, on another volume", RunRecover},
    {"locate", "VOLUME PATH",
     "print, as JSON, where the file PATH (\"dir\\file\") of a volume lies: its record or entries and clusters",
     RunLocate},
    {"shred", "FILE [--yes] [--verify] [--in-place-only]",
     "delete FILE (on a mounted NTFS or FAT32 volume) and overwrite what it leaves on the raw volume; --verify "
     "reads the overwritten bytes back; --in-place-only zeros it through the file system alone, where the raw "
     "volume may not be written",
     RunShred},
    {"dump", "VOLUME [--sector N] [--count K]", "print raw sectors of a volume in hex", RunDump},
};

void PrintHelp(std::ostream& out) {
  out << "Usage: corvanel-cli COMMAND [ARGUMENTS]\n"
         "       corvanel-cli --help | --version\n\n"
         "Corvanel encrypts files, recovers deleted files from NTFS and FAT32 volumes\n"
         "and shreds files on the raw volume.\n\n"
         "Commands:\n";
  for (const Command& command : kCommands)
    out << "  " << command.name << ' ' << command.synopsis << "\n      " << command.summary << '\n';
  out << "\nCiphers (--cipher, default des):";
  for (const CipherInfo& cipher : CipherTable()) out << ' ' << cipher.name;
  out << "\nKeys are sixteen characters. --key-file takes the key from the file's first line.\n"
         "--code-page NAME (Linux) sets the ANSI code page of file names stored on disk\n"
         "  (default UTF-8; Windows uses the system's).\n"
         "--yes answers Yes to every question.\n";
  out << "\nVOLUME is a drive (X:) or, on Linux, a block device or image file.\n"
         "Exit status: 0 done, 1 the operation failed, 2 the command line was wrong.\n";
}

}  // namespace

std::span<const Command> Commands() { return kCommands; }

std::string Printable(std::string_view utf8, bool keepLineBreaks) {
  std::string printable;
  printable.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    // C1 controls, U+0080 to U+009F, are C2 80 to C2 9F in UTF-8.
    const bool c1 = byte == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(utf8[i + 1]) <= 0x9F;
    if (!c1 && byte >= 0x20 && byte != 0x7F) {
      printable += utf8[i];
      continue;
    }
    if (keepLineBreaks && (byte == '\n' || byte == '\r')) {
      printable += utf8[i];
      continue;
    }
    const unsigned code = c1 ? static_cast<unsigned char>(utf8[++i]) : byte;
    switch (code) {
      case '\n': printable += "\\n"; break;
      case '\r': printable += "\\r"; break;
      case '\t': printable += "\\t"; break;
      default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", code);
        printable += escaped;
      }
    }
  }
  return printable;
}

int ReportFailure(Console& console, std::int32_t errorCode) {
  std::optional<std::u16string> text = ErrorPromptText(errorCode, kLanguageEnglish);
  std::string message = text ? platform::Utf16ToUtf8(*text) : "error " + std::to_string(errorCode);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  console.err << "corvanel-cli: " << Printable(message, true) << '\n';
  return kExitFailed;
}

int ReportPrompt(Console& console, std::int32_t promptNumber) {
  console.err << "corvanel-cli: " << platform::Utf16ToUtf8(*UserPromptText(promptNumber, kLanguageEnglish)) << '\n';
  return kExitFailed;
}

int ReportUsage(Console& console, std::string_view message) {
  console.err << "corvanel-cli: " << message << "\nTry 'corvanel-cli --help'.\n";
  return kExitUsage;
}

int RunCli(std::span<const std::string> args, Console& console) {
  if (args.empty()) return ReportUsage(console, "no command given");
  const std::string& first = args.front();
  if (first == "--help" || first == "-h" || first == "help") {
    PrintHelp(console.out);
    return kExitOk;
  }
  if (first == "--version") {
    console.out << "corvanel-cli " << CORVANEL_VERSION << '\n';
    return kExitOk;
  }
  auto command = std::find_if(std::begin(kCommands), std::end(kCommands),
                              [&](const Command& candidate) { return candidate.name == first; });
  if (command == std::end(kCommands)) return ReportUsage(console, "unknown command '" + first + "'");
  // --code-page NAME, anywhere after the command, sets the ANSI code page.
  std::vector<std::string> rest(args.begin() + 1, args.end());
  for (auto arg = rest.begin(); arg != rest.end(); ++arg) {
    if (*arg != "--code-page") continue;
    if (arg + 1 == rest.end()) return ReportUsage(console, "--code-page takes a code page name");
    if (!platform::SetAnsiCodePage(*(arg + 1)))
      return ReportUsage(console, "code page '" + *(arg + 1) + "' is not available here");
    rest.erase(arg, arg + 2);
    break;
  }
  // Engines' own boxes and the catalogue speak English here.
  UiLanguage = kLanguageEnglish;
  return command->run(rest, console);
}

}  // namespace corvanel::cli
