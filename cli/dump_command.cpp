// corvanel-cli dump: raw sectors of a volume as hex and text.
#include <memory>
#include <cstdio>
#include <vector>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "cli/volume_argument.h"
#include "platform/volume_device.h"
#include "volume/raw_volume.h"

namespace corvanel::cli {
namespace {

void PrintHex(std::ostream& out, std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  char line[96];
  for (std::size_t row = 0; row < bytes.size(); row += 16) {
    int used = std::snprintf(line, sizeof line, "%012llx ", static_cast<unsigned long long>(offset + row));
    out.write(line, used);
    std::string text;
    for (std::size_t i = 0; i < 16; ++i) {
      if (i == 8) out << ' ';
      if (row + i < bytes.size()) {
        std::uint8_t byte = bytes[row + i];
        std::snprintf(line, sizeof line, " %02x", byte);
        out << line;
        text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
      } else {
        out << "   ";
      }
    }
    out << "  |" << text << "|\n";
  }
}

struct DumpArguments {
  VolumeArgument volume;
  std::uint64_t firstSector = 0;
  std::uint16_t sectorCount = 1;
};

int RunDump(const DumpArguments& arguments, Console& console) {
  const std::uint64_t firstSector = arguments.firstSector;
  const std::uint16_t sectorCount = arguments.sectorCount;
  std::int32_t errorCode = error_code::kNone;
  int status = kExitOk;
  std::optional<DiskListing> wholeDisk;  // named alone, a whole disk is dumped as it is
  std::optional<char> letter = ResolveVolume(arguments.volume, console, status, &wholeDisk);
  if (!letter) return status;
  std::vector<std::uint8_t> buffer(std::size_t{sectorCount} * kSectorSize);
  if (!RawVolume::ReadSectors(firstSector, *letter, sectorCount, buffer, errorCode))
    return ReportFailure(console, errorCode);
  PrintHex(console.out, std::uint64_t{firstSector} * kSectorSize, buffer);
  return kExitOk;
}

}  // namespace

void AddDumpCommand(CLI::App& app, CommandAction& chosen) {
  auto arguments = std::make_shared<DumpArguments>();
  CLI::App* command = app.add_subcommand("dump", "print raw sectors of a volume in hex");
  command->footer(HelpFooter(kHelpVolumes, "Sectors are 512 bytes (whatever the volume's own sector size), counted from the volume's start (a whole disk named alone: the disk's)."));
  AddVolumeArgument(*command, arguments->volume);
  command->add_option("--sector", arguments->firstSector, "the first sector (decimal, or hex with 0x)")
      ->check(CLI::Range(std::uint64_t{0}, UINT64_MAX / kSectorSize - 1));  // its byte offset must exist
  command->add_option("--count", arguments->sectorCount, "how many sectors")->check(CLI::Range(1, 65535));
  command->callback([=, &chosen] { chosen = [=](Console& console) { return RunDump(*arguments, console); }; });
}

}  // namespace corvanel::cli
