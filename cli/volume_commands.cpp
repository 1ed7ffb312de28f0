// corvanel-cli info and scan.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

#include <nlohmann/json.hpp>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "cli/progress_line.h"
#include "cli/scan_listing.h"
#include "cli/volume_argument.h"
#include "platform/text_encoding.h"
#include "platform/volume_device.h"
#include "volume/allocation_map.h"
#include "volume/deleted_file_scan.h"
#include "volume/file_times.h"
#include "volume/raw_volume.h"
#include "volume/scan_filter.h"
#include "volume/volume_geometry.h"

namespace corvanel::cli {
namespace {

struct VolumeArguments {
  VolumeArgument volume;
  bool json = false;
  FilterArguments filters;
};

int RunInfo(const VolumeArguments& arguments, Console& console) {
  int status = kExitOk;
  std::optional<DiskListing> disk;
  std::optional<char> letter = ResolveVolume(arguments.volume, console, status, &disk);
  if (!letter) return status;
  if (disk) {
    PrintDiskListing(*disk, arguments.json, console);
    return kExitOk;
  }
  std::int32_t errorCode = 0;
  std::optional<BootSectorFacts> facts = ReadBootSector(*letter, errorCode);
  if (!facts) return ReportFailure(console, errorCode);
  const bool ntfs = facts->kind == kFileSystemNtfs;
  const bool exfat = facts->kind == kFileSystemExfat;
  char serial[16];
  std::snprintf(serial, sizeof serial, "%04X-%04X", facts->volumeSerial >> 16, facts->volumeSerial & 0xFFFF);
  if (arguments.json) {
    nlohmann::ordered_json info = {{"fs", ntfs ? "ntfs" : exfat ? "exfat" : "fat32"},
                                   {"bytesPerSector", facts->bytesPerSector},
                                   {"sectorsPerCluster", facts->geometry.sectorsPerCluster},
                                   {"volumeSectors", facts->volumeSectors},
                                   {"metadataStart", facts->metadataStart}};
    if (!ntfs) info["firstDataSector"] = facts->geometry.fatFirstDataSector;
    if (exfat) {
      info["clusterBytes"] = ClusterBytes(*facts);
      info["serial"] = serial;
    }
    console.out << info.dump() << '\n';
    return kExitOk;
  }
  // The counts below are in 512-byte units, whatever the volume's own sector size.
  console.out << "file system:         " << (ntfs ? "NTFS" : exfat ? "exFAT" : "FAT32") << '\n'
              << "bytes per sector:    " << facts->bytesPerSector << '\n'
              << "sectors per cluster: " << facts->geometry.sectorsPerCluster << '\n';
  if (exfat) console.out << "cluster size:        " << ClusterBytes(*facts) << " bytes\n"
                         << "volume serial:       " << serial << '\n';
  console.out << "volume sectors:      " << facts->volumeSectors << '\n'
              << "metadata start:      " << facts->metadataStart << (ntfs ? " (MFT)" : " (root directory)") << '\n';
  if (!ntfs) console.out << "first data sector:   " << facts->geometry.fatFirstDataSector << '\n';
  return kExitOk;
}

// Takes the listed items the scan inserts and keeps none: the listing is
// printed as the files are found.
class UnkeptFilesView final : public DeletedFilesView {
 public:
  TreeItem InsertItem(std::u16string_view, int, int, TreeItem, std::uintptr_t) override { return ++items_; }
  void Invalidate() override {}
  TreeItem FirstChild(TreeItem) const override { return 0; }
  TreeItem NextSibling(TreeItem) const override { return 0; }
  bool IsChecked(TreeItem) const override { return false; }
  std::uintptr_t ItemData(TreeItem) const override { return 0; }

 private:
  TreeItem items_ = 0;
};

int RunScan(const VolumeArguments& arguments, Console& console) {
  int status = kExitOk;
  std::optional<char> letter = ResolveVolume(arguments.volume, console, status);
  if (!letter) return status;
  UnkeptFilesView view;
  ListingPrinter printer(console, arguments.json);
  if (std::optional<int> status = ScanForDeletedFiles(*letter, view, console, arguments.filters, &printer, false))
    return *status;
  printer.Finish();
  printer.Header();
  const std::size_t count = LastScan.Count();
  if (!arguments.json) {
    console.out << count << " deleted file" << (count == 1 ? "" : "s");
    if (LastScan.Filter) console.out << " of " << LastScan.Found;
    console.out << " found\n";
  }
  if (printer.damaged > 0)
    console.err << "corvanel-cli: warning: " << printer.damaged << " file" << (printer.damaged == 1 ? " is" : "s are")
                << " listed from damaged entry sets (checksum or fields fail): names, sizes and places may be wrong\n";
  if (LastScan.ScanBootFromBackup)
    console.err << "corvanel-cli: warning: the main boot region is damaged; its backup was read\n";
  const std::uint32_t damaged = LastScan.ScanDamagedDirectories;
  if (damaged > 0)
    console.err << "corvanel-cli: warning: " << damaged << " damaged director" << (damaged == 1 ? "y was" : "ies were")
                << " read only up to where its cluster chain loops or runs into another directory\n";
  return ReportUnreadable(console, arguments.json) ? kExitFailed : kExitOk;
}

}  // namespace

namespace {

// "10", "10K", "1.5M", "2GiB": bytes, in units of 1024.
std::optional<std::uint64_t> ParseSize(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && ((text[digits] >= '0' && text[digits] <= '9') || text[digits] == '.')) ++digits;
  if (digits == 0) return std::nullopt;
  std::string unit = text.substr(digits);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (unit.ends_with("IB")) unit.resize(unit.size() - 2);
  else if (unit.ends_with("B")) unit.pop_back();
  static const std::string kUnits = "KMGT";
  int shift = 0;
  if (unit.size() == 1 && kUnits.find(unit[0]) != std::string::npos) shift = 10 * (1 + static_cast<int>(kUnits.find(unit[0])));
  else if (!unit.empty()) return std::nullopt;
  try {
    std::size_t used = 0;
    const long double value = std::stold(text.substr(0, digits), &used);
    if (used != digits || value < 0) return std::nullopt;
    const long double bytes = value * static_cast<long double>(std::uint64_t{1} << shift);
    if (bytes >= 18446744073709551615.0L) return std::nullopt;
    return static_cast<std::uint64_t>(bytes);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::u16string Wide(const std::string& text) { return platform::Utf8ToUtf16(text); }

// The filter the last scan holds on to (LastScan.Filter points here), and
// the volume's free clusters, read before the scan for each file's free share.
ScanFilter activeFilter;
std::optional<AllocationMap> scanAllocation;

// Builds the filter; nothing to filter by gives nullptr.
const ScanFilter* MakeFilter(const FilterArguments& arguments, char letter, Console& console, std::optional<int>& status) {
  activeFilter = ScanFilter{};
  ScanFilter& filter = activeFilter;
  for (const std::string& name : arguments.names) filter.names.push_back(Wide(name));
  for (const std::string& list : arguments.extensions) {
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = std::min(list.find(',', start), list.size());
      std::string extension = list.substr(start, end - start);
      while (!extension.empty() && extension.front() == '.') extension.erase(0, 1);
      if (!extension.empty()) filter.extensions.push_back(Wide(extension));
      start = end + 1;
    }
  }
  if (!arguments.minSize.empty()) filter.minSize = ParseSize(arguments.minSize);
  if (!arguments.maxSize.empty()) filter.maxSize = ParseSize(arguments.maxSize);
  if (!arguments.modifiedAfter.empty()) filter.modifiedAfter = ParseIsoTime(arguments.modifiedAfter);
  if (!arguments.modifiedBefore.empty()) filter.modifiedBefore = ParseIsoTime(arguments.modifiedBefore);
  scanAllocation.reset();
  std::int32_t errorCode = error_code::kNone;
  if (std::optional<BootSectorFacts> facts = ReadBootSector(letter, errorCode)) {
    RawVolume volume(letter);
    scanAllocation = AllocationMap::Read(volume, *facts);
  } else if (arguments.recoverable) {
    status = ReportFailure(console, errorCode);
    return nullptr;
  }
  if (arguments.recoverable) {
    if (!scanAllocation) {
      console.err << "corvanel-cli: --recoverable: the volume's record of free clusters cannot be read\n";
      status = kExitFailed;
      return nullptr;
    }
    filter.recoverableOnly = true;
  }
  const bool any = !filter.names.empty() || !filter.extensions.empty() || filter.minSize || filter.maxSize ||
                   filter.modifiedAfter || filter.modifiedBefore || arguments.recoverable;
  return any ? &filter : nullptr;
}

}  // namespace

void AddFilterOptions(CLI::App& command, FilterArguments& filters) {
  const std::string group = "Filters (a file must pass each one given)";
  auto size = [](const std::string& text) {
    return ParseSize(text) ? std::string() : "not a size: '" + text + "' (bytes, or with K, M, G, T)";
  };
  auto date = [](const std::string& text) {
    return ParseIsoTime(text) ? std::string() : "not a date: '" + text + "' (YYYY-MM-DD or ISO 8601)";
  };
  command.add_option("--name", filters.names,
                     "a file name pattern (* ? [..], any case); with a '/' it is matched against folder/name "
                     "(may be given more than once)")
      ->group(group)->allow_extra_args(false);
  command.add_option("--ext", filters.extensions, "extensions, comma-separated (jpg,png)")
      ->group(group)->allow_extra_args(false);
  command.add_option("--min-size", filters.minSize, "at least this size (bytes, or K, M, G)")->check(size)->group(group);
  command.add_option("--max-size", filters.maxSize, "at most this size")->check(size)->group(group);
  command.add_option("--modified-after", filters.modifiedAfter, "modified at or after this date or time")
      ->check(date)->group(group);
  command.add_option("--modified-before", filters.modifiedBefore, "modified before this date or time")
      ->check(date)->group(group);
  command.add_flag("--recoverable", filters.recoverable, "only files none of whose clusters another file has taken")
      ->group(group);
}

std::optional<int> ScanForDeletedFiles(char letter, DeletedFilesView& view, Console& console,
                                       const FilterArguments& filters, ScanListener* listener, bool keepFiles) {
  std::optional<int> status;
  const ScanFilter* filter = MakeFilter(filters, letter, console, status);
  if (status) return status;
  std::int32_t errorCode = error_code::kNone;
  {
    ProgressLine progress(console, ProgressLine::Work::Scan);
    const ScanOptions options{filter, scanAllocation ? &*scanAllocation : nullptr, listener, keepFiles};
    if (ScanDeletedFiles(letter, view, errorCode, options) && !AbortRequested) progress.Complete();
  }
  if (AbortRequested) {
    console.err << "corvanel-cli: interrupted\n";
    return kExitFailed;
  }
  if (errorCode != error_code::kNone) return ReportFailure(console, errorCode);
  return std::nullopt;
}

bool ReportUnreadable(Console& console, bool json) {
  for (const UnreadableStretch& stretch : LastScan.ScanUnreadableStretches) {
    const bool records = stretch.unit == UnreadableStretch::Unit::Records;
    console.err << "corvanel-cli: warning: " << (records ? "MFT records " : "directory clusters ") << stretch.first;
    if (stretch.count > 1) console.err << '-' << stretch.first + stretch.count - 1;
    console.err << " could not be read; files there are not listed\n";
    if (json)
      console.out << nlohmann::ordered_json{{"unreadable", records ? "records" : "clusters"},
                                            {"first", stretch.first},
                                            {"count", stretch.count}}
                         .dump()
                  << '\n';
  }
  return !LastScan.ScanUnreadableStretches.empty();
}

void AddVolumeCommands(CLI::App& app, CommandAction& chosen) {
  for (bool scan : {false, true}) {
    auto arguments = std::make_shared<VolumeArguments>();
    CLI::App* command = app.add_subcommand(scan ? "scan" : "info", scan
                                                                     ? "list the deleted files of an NTFS, FAT32 or exFAT volume"
                                                                     : "show the file system and geometry of a volume");
    AddVolumeArgument(*command, arguments->volume);
    command->add_flag("--json", arguments->json, scan ? "one JSON object per deleted file" : "as one JSON object");
    command->footer(HelpFooter(
        kHelpVolumes,
        scan ? "Times are UTC on NTFS; on FAT32 they are the local time of the machine that wrote them\n"
               "(\"localTime\": true); on exFAT UTC (ending in Z) where the entry gave its zone's offset.\n"
               "With --json each file also has its record (NTFS) or its entry's sector, entry and inode\n"
               "(FAT32, exFAT), as The Sleuth Kit's istat takes them; exFAT files whose entry set fails\n"
               "its checksum are \"damaged\": true."
             : std::string_view{}));
    if (scan) AddFilterOptions(*command, arguments->filters);
    command->callback([=, &chosen] {
      chosen = [=](Console& console) { return scan ? RunScan(*arguments, console) : RunInfo(*arguments, console); };
    });
  }
}

}  // namespace corvanel::cli
