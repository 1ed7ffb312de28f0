// Partitions of whole disks as command-line volumes.
#include "cli/volume_argument.h"

#include <cstdio>
#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "platform/drive_table.h"
#include "platform/volume_device.h"
#include "volume/volume_geometry.h"

namespace corvanel::cli {
namespace {

constexpr std::uint64_t kOffsetSector = 512;  // what DISK@Ns counts

// "DISK@1048576" or "DISK@2048s": the disk and the byte offset. A file whose
// own name ends that way is taken whole.
std::optional<std::uint64_t> SplitOffset(std::string& name) {
  const std::size_t at = name.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == name.size()) return std::nullopt;
  std::string number = name.substr(at + 1);
  std::uint64_t unit = 1;
  if (number.back() == 's' || number.back() == 'S') {
    number.pop_back();
    unit = kOffsetSector;
  }
  if (number.empty() || number.size() > 19 || number.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  std::error_code ignored;
  if (std::filesystem::exists(std::filesystem::u8path(name), ignored)) return std::nullopt;
  const std::uint64_t value = std::stoull(number);
  if (value > UINT64_MAX / unit) return std::nullopt;
  name.resize(at);
  return value * unit;
}

std::string FileSystemAt(platform::VolumeDevice& device, std::uint64_t offset) {
  std::uint8_t sector[512];
  platform::SystemError error;
  if (!device.ReadAt(offset, sector, error)) return {};
  if (std::optional<BootSectorFacts> facts = ParseBootSector(sector))
    return facts->kind == kFileSystemNtfs ? "NTFS" : "FAT32";
  if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0) return "exFAT";
  return {};
}

// "1 (NTFS, sector 2048), 5 (FAT32, sector 206848)"
std::string Summary(const DiskListing& listing) {
  std::string text;
  for (std::size_t i = 0; i < listing.table.partitions.size(); ++i) {
    const partition::Partition& p = listing.table.partitions[i];
    if (!text.empty()) text += ", ";
    text += std::to_string(p.number) + " (" +
            (listing.fileSystems[i].empty() ? partition::TypeName(p, listing.table.scheme) : listing.fileSystems[i]) +
            ", sector " + std::to_string(p.firstSector) + ")";
  }
  return text.empty() ? "none" : text;
}

bool Supported(const std::string& fileSystem) { return fileSystem == "NTFS" || fileSystem == "FAT32"; }

// Narrows a letter's mapping to a byte range of its device.
void Narrow(char letter, std::uint64_t start, std::uint64_t length) {
  platform::DriveMapping mapping;
  if (std::optional<platform::DriveMapping> known = platform::LookUpDrive(letter)) mapping = *known;
  else mapping.device = std::string("\\\\.\\") + letter + ":";
  mapping.windowStart = start;
  mapping.windowLength = length;
  platform::MapDrive(letter, mapping);
}

}  // namespace

void AddVolumeArgument(CLI::App& command, VolumeArgument& argument) {
  command.add_option("VOLUME", argument.volume, "a drive (X:), block device or image file, or DISK@OFFSET")
      ->required();
  command.add_option("--partition", argument.partition, "the partition N of a whole disk (as info DISK lists them)")
      ->type_name("N")
      ->check(CLI::Range(1u, 100000u));
}

std::optional<char> ResolveVolume(const VolumeArgument& argument, Console& console, int& status,
                                  std::optional<DiskListing>* listing) {
  std::string name = argument.volume;
  const std::optional<std::uint64_t> offset = SplitOffset(name);
  if (offset && argument.partition != 0) {
    status = ReportUsage(console, "give either DISK@OFFSET or --partition, not both");
    return std::nullopt;
  }
  platform::SystemError error;
  std::optional<char> letter = platform::DriveLetterForVolume(name, error);
  if (!letter) {
    std::int32_t errorCode = 0;
    ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
    status = ReportFailure(console, errorCode);
    return std::nullopt;
  }
  platform::VolumeDevice device = platform::VolumeDevice::Open(*letter, platform::DeviceAccess::Read, error);
  const std::optional<std::uint64_t> size = device.IsOpen() ? device.Size() : std::nullopt;
  // A device that does not open, or whose size is unknown, is left to the
  // command to report as it always has.
  if (!size) {
    if (offset || argument.partition != 0) {
      std::int32_t errorCode = 0;
      ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
      status = ReportFailure(console, errorCode);
      return std::nullopt;
    }
    return letter;
  }
  const std::string shown = Printable(argument.volume);
  std::string tableError;
  const partition::DiskReader read = [&](std::uint64_t at, std::span<std::uint8_t> bytes) {
    platform::SystemError ignored;
    return device.ReadAt(at, bytes, ignored);
  };
  std::optional<partition::Table> table = partition::ReadTable(read, *size, tableError);
  if (offset) {
    // The partition that starts there bounds the volume; else the disk's end.
    if (*offset >= *size) {
      console.err << "corvanel-cli: " << shown << ": the offset lies past the end of the disk (" << *size
                  << " bytes)\n";
      status = kExitFailed;
      return std::nullopt;
    }
    std::uint64_t length = *size - *offset;
    if (table)
      for (const partition::Partition& p : table->partitions)
        if (p.firstSector * table->sectorSize == *offset) length = p.sectorCount * table->sectorSize;
    Narrow(*letter, *offset, length);
    return letter;
  }
  if (!table) {
    console.err << "corvanel-cli: " << shown << ": malformed partition table: " << tableError
                << " (DISK@OFFSET opens a partition regardless)\n";
    status = kExitFailed;
    return std::nullopt;
  }
  if (table->scheme == partition::Scheme::None) {
    if (argument.partition == 0) return letter;
    console.err << "corvanel-cli: " << shown << ": no partition table (it is not a whole disk)\n";
    status = kExitFailed;
    return std::nullopt;
  }
  if (table->fromBackup)
    console.err << "corvanel-cli: warning: " << shown << ": the primary GPT is damaged (" << table->primaryDamage
                << "); its backup is used\n";
  DiskListing found{*table, {}};
  for (const partition::Partition& p : table->partitions)
    found.fileSystems.push_back(FileSystemAt(device, p.firstSector * table->sectorSize));
  device.Close();
  std::optional<std::size_t> chosen;
  if (argument.partition != 0) {
    for (std::size_t i = 0; i < table->partitions.size(); ++i)
      if (table->partitions[i].number == argument.partition) chosen = i;
    if (!chosen) {
      console.err << "corvanel-cli: " << shown << " has no partition " << argument.partition
                  << "; its partitions: " << Summary(found) << '\n';
      status = kExitFailed;
      return std::nullopt;
    }
  } else if (listing) {
    *listing = std::move(found);
    return letter;
  } else {
    std::vector<std::size_t> supported;
    for (std::size_t i = 0; i < found.fileSystems.size(); ++i)
      if (Supported(found.fileSystems[i])) supported.push_back(i);
    if (supported.size() != 1) {
      console.err << "corvanel-cli: " << shown << " is a whole disk with "
                  << (supported.empty() ? "no NTFS or FAT32 partition" : "several volumes; choose one with --partition N")
                  << ": " << Summary(found) << '\n';
      status = kExitFailed;
      return std::nullopt;
    }
    chosen = supported.front();
    const partition::Partition& p = table->partitions[*chosen];
    console.err << "corvanel-cli: " << shown << " is a whole disk; opening its partition " << p.number << " ("
                << found.fileSystems[*chosen] << ", sector " << p.firstSector << ")\n";
  }
  const partition::Partition& p = table->partitions[*chosen];
  Narrow(*letter, p.firstSector * table->sectorSize, p.sectorCount * table->sectorSize);
  return letter;
}

void PrintDiskListing(const DiskListing& listing, bool json, Console& console) {
  const partition::Table& table = listing.table;
  const char* scheme = table.scheme == partition::Scheme::Gpt ? "gpt" : "mbr";
  if (json) {
    nlohmann::ordered_json partitions = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < table.partitions.size(); ++i) {
      const partition::Partition& p = table.partitions[i];
      std::string fs = listing.fileSystems[i];
      for (char& c : fs) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      partitions.push_back({{"number", p.number},
                            {"start", p.firstSector},
                            {"sectors", p.sectorCount},
                            {"type", partition::TypeName(p, table.scheme)},
                            {"fs", fs.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(fs)}});
    }
    nlohmann::ordered_json info = {{"table", scheme}, {"sectorSize", table.sectorSize}};
    if (table.fromBackup) info["backupTable"] = true;
    info["partitions"] = partitions;
    console.out << info.dump() << '\n';
    return;
  }
  console.out << "partition table:     " << (table.scheme == partition::Scheme::Gpt ? "GPT" : "MBR")
              << (table.fromBackup ? " (from the backup header)" : "") << '\n'
              << "sector size:         " << table.sectorSize << '\n'
              << "    #          start        sectors  type                      file system\n";
  for (std::size_t i = 0; i < table.partitions.size(); ++i) {
    const partition::Partition& p = table.partitions[i];
    char line[160];
    std::snprintf(line, sizeof line, "%5u %14llu %14llu  %-24s  %s\n", p.number,
                  static_cast<unsigned long long>(p.firstSector), static_cast<unsigned long long>(p.sectorCount),
                  partition::TypeName(p, table.scheme).c_str(),
                  listing.fileSystems[i].empty() ? "-" : listing.fileSystems[i].c_str());
    console.out << line;
  }
}

}  // namespace corvanel::cli
