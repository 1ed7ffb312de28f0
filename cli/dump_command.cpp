// corvanel-cli dump: raw sectors of a volume as hex and text.
#include <charconv>
#include <cstdio>
#include <vector>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "platform/volume_device.h"
#include "volume/raw_volume.h"

namespace corvanel::cli {
namespace {

template <typename Number>
bool ParseNumber(std::string_view text, Number& value) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

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

}  // namespace

int RunDump(std::span<const std::string> args, Console& console) {
  std::string volumeName;
  std::uint32_t firstSector = 0;
  std::uint16_t sectorCount = 1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool hasValue = i + 1 < args.size();
    if (arg == "--sector" && hasValue) {
      if (!ParseNumber(args[++i], firstSector)) return ReportUsage(console, "--sector takes a sector number");
    } else if (arg == "--count" && hasValue) {
      if (!ParseNumber(args[++i], sectorCount) || sectorCount == 0)
        return ReportUsage(console, "--count takes a number from 1 to 65535");
    } else if (arg.starts_with("--")) {
      return ReportUsage(console, "dump: unknown or incomplete option '" + arg + "'");
    } else if (volumeName.empty()) {
      volumeName = arg;
    } else {
      return ReportUsage(console, "dump: one volume only");
    }
  }
  if (volumeName.empty()) return ReportUsage(console, "dump: which volume?");

  std::int32_t errorCode = error_code::kNone;
  platform::SystemError error;
  std::optional<char> letter = platform::DriveLetterForVolume(volumeName, error);
  if (!letter) {
    ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
    return ReportFailure(console, errorCode);
  }
  std::vector<std::uint8_t> buffer(std::size_t{sectorCount} * kSectorSize);
  if (!RawVolume::ReadSectors(firstSector, *letter, sectorCount, buffer, errorCode))
    return ReportFailure(console, errorCode);
  PrintHex(console.out, std::uint64_t{firstSector} * kSectorSize, buffer);
  return kExitOk;
}

}  // namespace corvanel::cli
