// Argument handling and dispatch of corvanel-cli.
#include "cli/cli.h"

#include <cstdio>
#include <vector>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "crypt/cipher_table.h"
#include "cli/commands.h"
#include "platform/text_encoding.h"

namespace corvanel::cli {
namespace {

constexpr std::string_view kDescription =
    "Corvanel encrypts files, recovers deleted files from NTFS, FAT32 and exFAT\n"
    "volumes and shreds files on the raw volume.";

}  // namespace

std::string HelpFooter(unsigned topics, std::string_view notes) {
  std::string footer(notes);
  if (!footer.empty()) footer += '\n';
  if (topics & kHelpCiphers) {
    footer += "Ciphers (--cipher, default des):";
    for (const CipherInfo& cipher : CipherTable()) {
      footer += ' ';
      footer += cipher.name;
    }
    footer +=
        "\nLegacy keys are sixteen characters; sealed passphrases (encrypt --sealed) any text. --key-file and\n"
        "--passphrase-fd take the key from a first line, --passphrase-env from a variable; --key shows it to\n"
        "other users.\n";
  }
  if (topics & kHelpVolumes)
    footer +=
        "VOLUME is a drive (X:) or, on Linux, a block device or image file: raw, E01/Ex01, VHD, VHDX,\n"
        "VMDK or QCOW (told by its signature; these formats are only read). On a whole disk (an image of\n"
        "one, /dev/sdb, \\\\.\\PhysicalDrive1) name a partition with --partition N (as info DISK lists them)\n"
        "or DISK@OFFSET, in bytes or in 512-byte sectors with s (disk.img@2048s); a disk with one NTFS or\n"
        "FAT32 partition opens it by itself. Sectors of 512 to 4096 bytes.\n";
  return footer + "Exit status: 0 done, 1 the operation failed, 2 the command line was wrong.";
}

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

std::string FailureText(std::int32_t errorCode) {
  std::optional<std::u16string> text = ErrorPromptText(errorCode, kLanguageEnglish);
  std::string message = text ? platform::Utf16ToUtf8(*text) : "error " + std::to_string(errorCode);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  return message;
}

int ReportFailure(Console& console, std::int32_t errorCode) {
  console.err << "corvanel-cli: " << Printable(FailureText(errorCode), true) << '\n';
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
  CLI::App app(std::string(kDescription), "corvanel-cli");
  app.set_version_flag("--version", std::string("corvanel-cli ") + CORVANEL_VERSION);
  app.require_subcommand(1);
  app.fallthrough();  // the options below may follow the command
  app.footer(HelpFooter(kHelpCiphers | kHelpVolumes));
  std::string codePage;
  bool quiet = false;
  app.add_option("--code-page", codePage,
                 "(Linux) the code page of file names stored on disk and in encrypted files (default UTF-8; "
                 "Windows uses the system's)");
  bool assumeYes = false;  // taken by the entry point, which sets up the prompts
  app.add_flag("--yes", assumeYes, "answer Yes to every question");
  app.add_flag("--quiet,-q", quiet, "no progress on the terminal");
  CommandAction chosen;
  AddCryptCommands(app, chosen);
  AddVolumeCommands(app, chosen);
  AddRecoverCommand(app, chosen);
  AddShredCommands(app, chosen);
  AddDumpCommand(app, chosen);

  if (!args.empty() && !args.front().starts_with("-")) {
    const auto known = app.get_subcommands([&](CLI::App* command) { return command->get_name() == args.front(); });
    if (known.empty()) return ReportUsage(console, "unknown command '" + args.front() + "'");
  }
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    console.out << app.help();
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    console.out << app.help("", CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion& version) {
    console.out << version.what() << '\n';
    return kExitOk;
  } catch (const CLI::ParseError& error) {
    return ReportUsage(console, error.what());
  }
  if (!codePage.empty() && !platform::SetAnsiCodePage(codePage))
    return ReportUsage(console, "code page '" + codePage + "' is not available here");
  if (quiet) console.showProgress = false;
  // Engines' own boxes and the catalogue speak English here.
  UiLanguage = kLanguageEnglish;
  return chosen ? chosen(console) : ReportUsage(console, "no command given");
}

}  // namespace corvanel::cli
