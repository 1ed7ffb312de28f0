// What one scan for deleted files found. The scan (ScanDeletedFiles) alone
// writes it; the listing, the recovery and the command line read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "volume/fat_directory.h"
#include "volume/file_times.h"
#include "volume/scan_filter.h"
#include "volume/volume_geometry.h"

namespace corvanel {

struct MftRecord;
struct ExfatEntrySet;
struct ExfatFacts;
class AllocationMap;

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

// What the scan keeps of one listed file: enough to show it, filter it and
// find it again on the volume. An NTFS file's runs and attributes are read
// again from its record when it is recovered; its name lies in the result's
// name pool and its folder in the folder table.
struct ListedFile {
  enum Flag : std::uint8_t {
    kResident = 1,  // NTFS: the data lies in the record
    kPartial = 2,   // NTFS: pieces of the data are lost (records reused since, a broken run list, a damaged attribute)
    kNoFatChain = 4,   // exFAT: the clusters follow each other, the FAT holds no chain
    kDamaged = 8,      // exFAT: the entry set's checksum or fields fail: name, size and place may be wrong
    kCreatedUtc = 16,  // exFAT: the time is UTC (its entry gave the zone's offset), else local as stored
    kModifiedUtc = 32,
    kAccessedUtc = 64,
  };
  std::uint64_t size = 0;
  FileTimes times{};
  std::uint64_t record = 0;     // NTFS: the record number; exFAT: the valid data length
  std::uint64_t nameAt = 0;     // where the name starts in the pool
  std::uint32_t folder = 0;     // in the folder table (0: the root, "")
  std::uint16_t nameLength = 0;
  std::uint16_t sequence = 0;   // NTFS: the record's sequence number when it was scanned
  std::uint8_t flags = 0;
  std::int8_t free = -1;        // the share of its clusters still free, -1 when not known
  // FAT32: the short entry's place and what the recovery needs of it.
  // exFAT: the file entry's place, the set's entries, the first cluster's
  // sector, and in clusterHigh the whole first cluster.
  std::uint16_t entryIndex = 0;
  std::uint16_t slotCount = 0;
  std::uint32_t dirSector = 0;
  std::uint32_t firstDataSector = 0;
  std::uint32_t clusterHigh = 0;

  bool Resident() const { return flags & kResident; }
  bool Damaged() const { return flags & kDamaged; }
  std::optional<int> FreeShare() const { return free < 0 ? std::nullopt : std::optional<int>(free); }
};

// Told of each file as the scan lists it, in the order listed: the command
// line prints it there and then.
class ScanListener {
 public:
  virtual ~ScanListener() = default;
  virtual void OnListed(ScanKey key, std::size_t index, const ListedFile& file, std::u16string_view name,
                        std::u16string_view path) = 0;
};

struct ScanResult {
  // The volume the scan read: the recovery works from these facts, whatever
  // another volume's boot sector said since.
  BootSectorFacts ScannedVolume;
  // FAT32: the directories read only up to where their cluster chain looped
  // or ran into clusters already read.
  std::uint32_t ScanDamagedDirectories = 0;
  // exFAT: the main boot region was damaged and its backup was read.
  bool ScanBootFromBackup = false;
  std::vector<UnreadableStretch> ScanUnreadableStretches;
  // NTFS: the deleted extension records, by the base record their header
  // names (only bases that have some): the recovery gathers a file's pieces
  // from them again.
  std::map<std::uint64_t, std::vector<std::uint64_t>> Extensions;

  // The files to list (none: all), set by the scan from its caller's. Files
  // turned down are counted, not kept: Indexes holds each listed file's
  // index among all the scan found (filled only when there is a filter).
  const ScanFilter* Filter = nullptr;
  std::vector<std::size_t> Indexes;
  std::size_t Found = 0;  // deleted files found, listed or not
  // Set by the scan from its caller's: the free share of each file is taken
  // from Allocation as it is listed; Listener hears of each; with KeepFiles
  // false nothing of a file is kept past that (a listing with no recovery).
  const AllocationMap* Allocation = nullptr;
  ScanListener* Listener = nullptr;
  bool KeepFiles = true;

  // Lists a deleted file the scan found, unless Filter turns it down: its
  // key, or nothing. An NTFS file's name is its record's; folder comes from FolderId.
  std::optional<ScanKey> Add(const MftRecord& file, std::uint32_t folder, std::uint16_t sequence);
  std::optional<ScanKey> Add(const FatDeletedEntry& file);
  // An exFAT file, with the share of its clusters still free (-1 not known).
  std::optional<ScanKey> Add(const ExfatEntrySet& file, const ExfatFacts& facts, std::int8_t free);
  // The id of a folder path in the folder table, added when new.
  std::uint32_t FolderId(std::u16string_view path);
  // The index of a listed file, by its key.
  std::size_t IndexOf(ScanKey key) const { return Filter ? Indexes.at(key) : key; }

  // Notes a record or cluster that could not be read, joined to the last
  // stretch where it follows on.
  void NoteUnreadable(UnreadableStretch::Unit unit, std::uint64_t at);

  // The name and folder of a listed file, by its key ("" when it names none).
  std::u16string_view Name(ScanKey key) const;
  std::u16string_view Path(ScanKey key) const;
  std::size_t Count() const { return listed_; }
  // The listed file behind a key; null when it names none (or files are not kept).
  const ListedFile* File(ScanKey key) const {
    return key < kept_ ? &files_[key / kFileChunk][key % kFileChunk] : nullptr;
  }

 private:
  std::optional<ScanKey> Keep(ListedFile& file, std::u16string_view name, std::u16string_view path);

  static constexpr std::size_t kPoolChunk = 1 << 16;  // characters; a name never spans two
  // In chunks: a million files never get copied to a larger block.
  static constexpr std::size_t kFileChunk = 4096;
  std::vector<std::unique_ptr<ListedFile[]>> files_;
  std::size_t kept_ = 0;
  std::vector<std::unique_ptr<char16_t[]>> pool_;
  std::size_t poolUsed_ = kPoolChunk;  // in the last chunk
  std::vector<std::u16string> folders_{std::u16string()};
  std::unordered_map<std::u16string, std::uint32_t> folderIds_{{std::u16string(), 0}};
  std::size_t listed_ = 0;
};

// The last scan's result.
extern ScanResult LastScan;

}  // namespace corvanel
