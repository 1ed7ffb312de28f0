// What one scan for deleted files found. The scan (ScanDeletedFiles) alone
// writes it; the listing, the recovery and the command line read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "volume/fat_directory.h"
#include "volume/mft_record.h"
#include "volume/scan_filter.h"
#include "volume/volume_geometry.h"

namespace corvanel {

// A stretch the scan could not read: MFT records on NTFS, directory clusters
// on FAT32. The files there are missing from the list; the rest is listed.
struct UnreadableStretch {
  enum class Unit { Records, Clusters };
  Unit unit;
  std::uint64_t first;
  std::uint64_t count;
};

// A listed file's key: its place in the scan's list (0, 1, 2 ...). The tree
// item of a file carries key + 1 as its item data (0 is no file). Without a
// filter it is also the file's index, what the command line numbers it by.
using ScanKey = std::size_t;
inline constexpr std::uintptr_t ItemDataForKey(ScanKey key) { return key + 1; }

struct ScanResult {
  // The volume the scan read: the recovery works from these facts, whatever
  // another volume's boot sector said since.
  BootSectorFacts ScannedVolume;
  // The deleted files in the order found, each once; a file's key is its
  // place. Only the list of the scanned volume's file system is filled.
  std::vector<MftRecord> NtfsDeletedFiles;
  std::vector<FatDeletedEntry> FatDeletedFiles;
  // FAT32: the directories read only up to where their cluster chain looped
  // or ran into clusters already read.
  std::uint32_t ScanDamagedDirectories = 0;
  std::vector<UnreadableStretch> ScanUnreadableStretches;

  // The files to list (none: all), set by the scan from its caller's. Files
  // turned down are counted, not kept: Indexes holds each listed file's
  // index among all the scan found (filled only when there is a filter).
  const ScanFilter* Filter = nullptr;
  std::vector<std::size_t> Indexes;
  std::size_t Found = 0;  // deleted files found, listed or not

  // Lists a deleted file the scan found, unless Filter turns it down: its key, or nothing.
  std::optional<ScanKey> Add(MftRecord&& file) { return Keep(NtfsDeletedFiles, std::move(file)); }
  std::optional<ScanKey> Add(FatDeletedEntry&& file) { return Keep(FatDeletedFiles, std::move(file)); }
  // The index of a listed file, by its key.
  std::size_t IndexOf(ScanKey key) const { return Filter ? Indexes.at(key) : key; }

  // Notes a record or cluster that could not be read, joined to the last
  // stretch where it follows on.
  void NoteUnreadable(UnreadableStretch::Unit unit, std::uint64_t at);

  // The name of a listed file, by its key ("" when it names none).
  std::u16string_view Name(ScanKey key) const {
    // (A view of the stored name, not of a copy the conditional would make.)
    if (ScannedVolume.kind == kFileSystemNtfs)
      return key < NtfsDeletedFiles.size() ? std::u16string_view(NtfsDeletedFiles[key].name) : u"";
    return key < FatDeletedFiles.size() ? std::u16string_view(FatDeletedFiles[key].name) : u"";
  }
  std::size_t Count() const {
    return ScannedVolume.kind == kFileSystemNtfs ? NtfsDeletedFiles.size() : FatDeletedFiles.size();
  }
  // The listed file behind a tree item's data; null when it names none.
  const MftRecord* NtfsFile(std::uintptr_t itemData) const { return At(NtfsDeletedFiles, itemData); }
  const FatDeletedEntry* FatFile(std::uintptr_t itemData) const { return At(FatDeletedFiles, itemData); }

 private:
  template <typename Entry>
  std::optional<ScanKey> Keep(std::vector<Entry>& files, Entry&& file) {
    const std::size_t index = Found++;
    if (Filter && !Filter->Admits(file)) return std::nullopt;
    files.push_back(std::move(file));
    if (Filter) Indexes.push_back(index);
    return files.size() - 1;
  }
  template <typename Entry>
  static const Entry* At(const std::vector<Entry>& files, std::uintptr_t itemData) {
    return itemData >= 1 && itemData <= files.size() ? &files[itemData - 1] : nullptr;
  }
};

// The last scan's result.
extern ScanResult LastScan;

}  // namespace corvanel
