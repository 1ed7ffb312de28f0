// corvanel-cli info and scan.
#include <cstdio>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "platform/text_encoding.h"
#include "platform/volume_device.h"
#include "volume/allocation_map.h"
#include "volume/deleted_file_scan.h"
#include "volume/raw_volume.h"
#include "volume/volume_geometry.h"

namespace corvanel::cli {
namespace {

struct VolumeArguments {
  std::string volume;
  bool json = false;
};

std::optional<int> Parse(std::span<const std::string> args, Console& console, std::string_view command,
                         bool allowJson, VolumeArguments& parsed) {
  for (const std::string& arg : args) {
    if (allowJson && arg == "--json") {
      parsed.json = true;
    } else if (arg.starts_with("--")) {
      return ReportUsage(console, std::string(command) + ": unknown option '" + arg + "'");
    } else if (parsed.volume.empty()) {
      parsed.volume = arg;
    } else {
      return ReportUsage(console, std::string(command) + ": one volume only");
    }
  }
  if (parsed.volume.empty()) return ReportUsage(console, std::string(command) + ": which volume?");
  return std::nullopt;
}

// The drive letter of a volume argument, or nullopt after printing why not.
std::optional<char> Letter(const std::string& volume, Console& console, int& status) {
  platform::SystemError error;
  std::optional<char> letter = platform::DriveLetterForVolume(volume, error);
  if (!letter) {
    std::int32_t errorCode = 0;
    ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
    status = ReportFailure(console, errorCode);
  }
  return letter;
}

void AppendJsonString(std::string& line, std::u16string_view text) {
  line += '"';
  for (char c : platform::Utf16ToUtf8(text)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      line += '\\';
      line += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
  line += '"';
}

// One line per entry, written whole.
void PrintEntry(std::ostream& out, bool json, std::size_t index, std::u16string_view name, std::uint64_t size,
                std::optional<bool> resident, const char* fileSystem, std::optional<int> free) {
  std::string line;
  if (json) {
    line = "{\"index\":" + std::to_string(index) + ",\"name\":";
    AppendJsonString(line, name);
    line += ",\"size\":" + std::to_string(size);
    if (resident) line += *resident ? ",\"resident\":true" : ",\"resident\":false";
    line += ",\"fs\":\"";
    line += fileSystem;
    line += '"';
    if (free) line += ",\"free\":" + std::to_string(*free);
    line += "}\n";
  } else {
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "%6zu %14llu %4s  ", index, static_cast<unsigned long long>(size),
                  free ? (std::to_string(*free) + "%").c_str() : "?");
    line = prefix + platform::Utf16ToUtf8(name) + '\n';
  }
  out.write(line.data(), static_cast<std::streamsize>(line.size()));
}

}  // namespace

int RunInfo(std::span<const std::string> args, Console& console) {
  VolumeArguments arguments;
  if (std::optional<int> usage = Parse(args, console, "info", false, arguments)) return *usage;
  int status = kExitOk;
  std::optional<char> letter = Letter(arguments.volume, console, status);
  if (!letter) return status;
  std::int32_t errorCode = 0;
  std::optional<BootSectorFacts> facts = ReadBootSector(*letter, errorCode);
  if (!facts) return ReportFailure(console, errorCode);
  bool ntfs = facts->kind == kFileSystemNtfs;
  console.out << "file system:         " << (ntfs ? "NTFS" : "FAT32") << '\n'
              << "sectors per cluster: " << facts->geometry.sectorsPerCluster << '\n'
              << "volume sectors:      " << facts->volumeSectors << '\n'
              << "metadata start:      " << facts->metadataStart << (ntfs ? " (MFT)" : " (root directory)") << '\n';
  if (!ntfs) console.out << "first data sector:   " << facts->geometry.fatFirstDataSector << '\n';
  return kExitOk;
}

int RunScan(std::span<const std::string> args, Console& console) {
  VolumeArguments arguments;
  if (std::optional<int> usage = Parse(args, console, "scan", true, arguments)) return *usage;
  int status = kExitOk;
  std::optional<char> letter = Letter(arguments.volume, console, status);
  if (!letter) return status;
  ListedFilesView view;
  std::int32_t errorCode = 0;
  ScanDeletedFiles(*letter, view, errorCode);
  if (AbortRequested) {
    console.err << "corvanel-cli: interrupted\n";
    return kExitFailed;
  }
  if (errorCode != error_code::kNone) return ReportFailure(console, errorCode);
  // How much of each file's data the volume still shows free.
  RawVolume volume(*letter);
  std::optional<AllocationMap> allocation = AllocationMap::Read(volume, ScannedVolume);
  auto freeShare = [&](const auto& entry) -> std::optional<int> {
    if (!allocation) return std::nullopt;
    return allocation->FreeShare(entry);
  };
  if (!arguments.json) console.out << " index           size free  name\n";
  std::size_t count = 0;
  if (ScannedVolume.kind == kFileSystemNtfs) {
    for (const auto& [key, record] : NtfsDeletedFileIndex)
      PrintEntry(console.out, arguments.json, static_cast<std::size_t>(key), record.name, record.Size(),
                 record.isResident != 0, "ntfs", freeShare(record));
    count = NtfsDeletedFileIndex.size();
  } else {
    for (const auto& [key, entry] : FatDeletedFileIndex)
      PrintEntry(console.out, arguments.json, static_cast<std::size_t>(key), entry.name, entry.fileSize,
                 std::nullopt, "fat32", freeShare(entry));
    count = FatDeletedFileIndex.size();
  }
  if (!arguments.json) console.out << count << " deleted file" << (count == 1 ? "" : "s") << " found\n";
  if (ScanDamagedDirectories > 0)
    console.err << "corvanel-cli: warning: " << ScanDamagedDirectories << " damaged director"
                << (ScanDamagedDirectories == 1 ? "y was" : "ies were")
                << " read only up to where its cluster chain loops or runs into another directory\n";
  return kExitOk;
}

}  // namespace corvanel::cli
