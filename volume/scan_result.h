// What one scan for deleted files found. The scan (ScanDeletedFiles) alone
// writes it; the listing, the recovery and the command line read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "volume/fat_directory.h"
#include "volume/mft_record.h"
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

// A listed file's key: its place in the scan's order (0, 1, 2 ...). The tree
// item of a file carries key + 1 as its item data (0 is no file).
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

  // Notes a record or cluster that could not be read, joined to the last
  // stretch where it follows on.
  void NoteUnreadable(UnreadableStretch::Unit unit, std::uint64_t at);

  std::size_t Count() const {
    return ScannedVolume.kind == kFileSystemNtfs ? NtfsDeletedFiles.size() : FatDeletedFiles.size();
  }
  // The listed file behind a tree item's data; null when it names none.
  const MftRecord* NtfsFile(std::uintptr_t itemData) const { return At(NtfsDeletedFiles, itemData); }
  const FatDeletedEntry* FatFile(std::uintptr_t itemData) const { return At(FatDeletedFiles, itemData); }

 private:
  template <typename Entry>
  static const Entry* At(const std::vector<Entry>& files, std::uintptr_t itemData) {
    return itemData >= 1 && itemData <= files.size() ? &files[itemData - 1] : nullptr;
  }
};

// The last scan's result.
extern ScanResult LastScan;

}  // namespace corvanel
