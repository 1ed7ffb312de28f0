// FAT32 directory walks over the raw volume.
#include "volume/fat_directory.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <utility>

#include "app/message_catalogue.h"
#include "app/progress_meter.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "platform/text_encoding.h"
#include "volume/chain_guard.h"
#include "volume/deleted_file_scan.h"
#include "volume/fat_layout.h"
#include "volume/file_names.h"
#include "volume/raw_volume.h"
#include "volume/scan_result.h"

namespace corvanel {
namespace {

using namespace fat;

constexpr std::uint8_t kLastSlotOrder = kLastSlotMark | kMaxSlotOrder;  // the last part of a 255-unit name
constexpr std::size_t kMaxLongName = 255;
constexpr int kMaxDirectoryDepth = 128;

using Entry = std::span<const std::uint8_t, kEntrySize>;

bool IsDeleted(Entry entry) { return entry[0] == kDeletedMark; }

// A folder is any entry with the directory bit, whatever else is set
// (read-only, hidden, system, archive); volume labels and long-name slots
// carry the label bit and are none.
bool IsDirectory(std::uint8_t attributes) {
  return (attributes & kAttributeDirectory) != 0 && (attributes & kAttributeVolumeLabel) == 0;
}

// Whether a byte may stand anywhere in a stored 8.3 name: any but control
// bytes and the ones FAT names may not hold (a code page's bytes above 0x7F
// are names too).
bool LegalShortNameByte(std::uint8_t byte) {
  return byte >= 0x20 && std::string_view("\"*+,./:;<=>?[\\]|").find(static_cast<char>(byte)) == std::string_view::npos;
}

// Whether a byte may stand first in a stored 8.3 name as Windows writes one
// (0x05 stands for a name's leading 0xE5).
bool LegalFirstShortNameByte(std::uint8_t byte) {
  if (byte <= 0x20 || byte == kDeletedMark || byte == 0x7F) return byte == 0x05;
  if (byte >= 'a' && byte <= 'z') return false;
  return LegalShortNameByte(byte);
}

// Whether 32 bytes can be a short entry as FAT writes one: attribute bits FAT
// knows, legal 8.3 bytes with spaces only as padding at the end of the base
// and of the extension, and a first cluster the volume holds.
// The bytes of a file written over a folder's cluster, or of damage, seldom
// pass; they are passed over, never listed nor taken for the folder's end.
bool PlausibleShortEntry(Entry entry, const BootSectorFacts& facts) {
  if (entry[kAttributes] > kLastAttribute || entry[0] == ' ') return false;
  for (std::size_t i = entry[0] == kDeletedMark || entry[0] == 0x05 ? 1 : 0; i < 11; ++i)
    if (!LegalShortNameByte(entry[i])) return false;
  if (!(entry[kAttributes] & kAttributeVolumeLabel))  // a label may hold spaces anywhere
    for (std::size_t i = 1; i < 10; ++i)
      if (i != 7 && entry[i] == ' ' && entry[i + 1] != ' ') return false;
  // A size past the volume is left to the recovery, which writes what the
  // volume holds of the file and says it is partial.
  const std::uint32_t cluster = FirstCluster(entry);
  if (cluster == 0) return *ByteReader(entry).U32(kFileSize) == 0;
  return cluster >= 2 && cluster - 2 < FatClusterCount(facts);
}

// Whether a long-name slot's order byte is one FAT writes: a part's number
// (1..20, the last part's marked 0x40), or the deleted mark.
bool PlausibleSlot(Entry entry) { return entry[0] <= kLastSlotOrder || entry[0] == kDeletedMark; }

// Whether a slot goes on the name being gathered: a plausible one, or one
// whose order byte alone is damaged but that names the same short entry as
// the slots before it (its part of the name is still there).
bool ContinuesName(Entry entry, const LongNameCollector& names) {
  return PlausibleSlot(entry) || (names.Pending() && names.Checksum() == entry[kSlotChecksum]);
}

// Whether long-name slots carrying `checksum` are a short entry's. A deleted
// entry lost its first byte to the deleted mark, and any checksum can be
// reached through some first byte: that byte must be the one the long name's
// first character would have become.
bool SlotsBelongTo(Entry entry, std::uint8_t checksum, std::u16string_view longName) {
  if (!IsDeleted(entry)) return ShortNameChecksum(entry) == checksum;
  std::array<std::uint8_t, kEntrySize> bytes;
  std::copy(entry.begin(), entry.end(), bytes.begin());
  unsigned first = 0;
  for (; first < 256; ++first) {
    bytes[0] = static_cast<std::uint8_t>(first);
    if (ShortNameChecksum(bytes) == checksum) break;
  }
  if (first == 256 || !LegalFirstShortNameByte(static_cast<std::uint8_t>(first))) return false;
  const std::size_t at = longName.find_first_not_of(u" .");  // not carried into the short name
  if (at == std::u16string_view::npos) return false;
  const char16_t c = longName[at];
  if (c >= 0x80 || first == '_') return true;  // a code page's byte, or the stand-in for what has none
  const char16_t upper = c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
  return first == upper;
}

// A short entry as damage may have left it, repaired where long-name slots
// right before it carry the checksum of the repaired name: attribute bits
// FAT leaves unused (0x40, 0x80) cleared, and the blanks that pad its 8.3
// base and extension restored (a padding byte turned into another makes a
// name no FAT writes). Its name, cluster and size then still say which file
// it is, as they do to fls; without such slots those bytes mark what is no
// entry. Nullopt when there is nothing to repair or no slots vouch for it.
std::optional<std::array<std::uint8_t, kEntrySize>> RepairedBySlots(Entry entry, const LongNameCollector& names) {
  const std::optional<std::uint8_t> checksum = names.Checksum();
  if (!checksum || (entry[kAttributes] & kLastAttribute) == kAttributeLongName) return std::nullopt;
  std::array<std::uint8_t, kEntrySize> repaired;
  std::copy(entry.begin(), entry.end(), repaired.begin());
  repaired[kAttributes] &= kLastAttribute;
  auto restorePadding = [&](std::size_t from, std::size_t end) {
    std::fill(std::find(repaired.begin() + from, repaired.begin() + end, ' '), repaired.begin() + end, ' ');
  };
  if (!(repaired[kAttributes] & kAttributeVolumeLabel)) {  // a label may hold blanks anywhere
    restorePadding(1, 8);
    restorePadding(8, 11);
  }
  if (std::equal(repaired.begin(), repaired.end(), entry.begin())) return std::nullopt;
  LongNameCollector copy = names;
  if (!SlotsBelongTo(repaired, *checksum, copy.Take())) return std::nullopt;
  return repaired;
}

// The entry's long name when the slots gathered are its own, else its short
// name; empties the collector.
std::u16string TakeName(LongNameCollector& names, Entry entry) {
  if (!names.Pending()) return ShortName(entry);
  const std::optional<std::uint8_t> checksum = names.Checksum();
  std::u16string longName = names.Take();
  if (checksum && SlotsBelongTo(entry, *checksum, longName)) return longName;
  return ShortName(entry);
}

// Entries of the first FAT, one cached sector at a time.
class FatTable {
 public:
  FatTable(RawVolume& volume, const BootSectorFacts& facts) : volume_(volume), facts_(facts) {}

  // The FAT's entry for a cluster, or nullopt when it lies outside the FAT
  // or cannot be read.
  std::optional<std::uint32_t> Entry(std::uint32_t cluster) {
    const std::optional<FatLinkPlace> place = FatLinkPlaceOf(facts_, cluster);
    if (!place) return std::nullopt;
    if (place->sector != sectorNumber_) {
      std::int32_t ignored = 0;
      if (!volume_.ReadSectors(place->sector, 1, bytes_, ignored)) return std::nullopt;
      sectorNumber_ = place->sector;
    }
    return *ByteReader(bytes_).U32(place->offset) & kFatEntryMask;
  }

 private:
  RawVolume& volume_;
  const BootSectorFacts& facts_;
  std::array<std::uint8_t, kSectorSize> bytes_{};
  std::uint64_t sectorNumber_ = UINT64_MAX;
};

// Reads a directory sector after sector. Within a cluster the sectors follow
// each other; from one cluster to the next the FAT's chain is followed while
// it holds one (a live directory), and the next sector on the volume is taken
// when it does not (a deleted directory, whose chain was freed). Each cluster
// the chain leads to is taken from `clusters`: one taken before (the chain
// loops, or runs into another directory's clusters) ends the directory as
// damaged. With `unreadable` given, a cluster that cannot be read is noted
// there and passed over along the chain (a directory without one ends
// there); without it a failed read ends the reading with its code.
class DirectoryReader {
 public:
  DirectoryReader(RawVolume& volume, const BootSectorFacts& facts, ChainGuard& clusters,
                  ScanResult* unreadable = nullptr)
      : volume_(volume), facts_(facts), fat_(volume, facts), clusters_(clusters), unreadable_(unreadable) {}

  // As Next, for the directory's first sector.
  bool Start(std::uint32_t firstSector, std::uint32_t cluster, std::int32_t& errorCode, bool& ended) {
    ended = false;
    sector_ = firstSector;
    cluster_ = cluster;
    sectorInCluster_ = 0;
    return Load(errorCode, ended);
  }

  // False at the end of the directory's chain (ended is set; Damaged() when
  // the chain broke off there) or when a read failed (errorCode set).
  bool Next(std::int32_t& errorCode, bool& ended) {
    ended = false;
    ++sectorInCluster_;
    if (sectorInCluster_ < facts_.geometry.sectorsPerCluster || cluster_ == 0) {
      ++sector_;
      if (cluster_ == 0 && StartsClusterInUse(sector_)) {
        ended = true;
        return false;
      }
    } else if (!NextCluster()) {
      ended = true;
      return false;
    }
    if (!Load(errorCode, ended)) return false;
    if (cluster_ == 0 && StartsAnotherFolder()) {
      ended = true;
      return false;
    }
    return true;
  }

  std::uint32_t Sector() const { return sector_; }
  // Whether the sector read is the last of its cluster.
  bool EndsCluster() const {
    const std::uint32_t first = facts_.geometry.fatFirstDataSector;
    const std::uint32_t perCluster = std::max<std::uint32_t>(facts_.geometry.sectorsPerCluster, 1);
    return sector_ >= first && (sector_ - first) % perCluster == perCluster - 1;
  }
  bool Damaged() const { return damaged_; }
  Entry EntryAt(std::size_t index) const { return Entry(sectorBytes_.data() + index * kEntrySize, kEntrySize); }

 private:
  // On to the next cluster of the chain, or along the volume when there is
  // none; false at the chain's end.
  bool NextCluster() {
    sectorInCluster_ = 0;
    std::optional<std::uint32_t> next = fat_.Entry(cluster_);
    if (next && *next >= kFirstEndOfChain) return false;
    if (next && *next >= 2 && *next < kBadCluster && ClusterSector(*next)) {
      if (!clusters_.Take(*next)) {
        damaged_ = true;
        return false;
      }
      cluster_ = *next;
      sector_ = *ClusterSector(*next);
    } else {
      cluster_ = 0;  // no chain to follow: on along the volume
      ++sector_;
      if (StartsClusterInUse(sector_)) return false;
    }
    return true;
  }

  // Read on along the volume, a folder ends where another folder's first
  // cluster begins (its "." entry): those entries are that folder's, listed
  // when it is walked.
  bool StartsAnotherFolder() const {
    const std::uint32_t first = facts_.geometry.fatFirstDataSector;
    const std::uint32_t perCluster = std::max<std::uint32_t>(facts_.geometry.sectorsPerCluster, 1);
    if (sector_ < first || (sector_ - first) % perCluster != 0) return false;
    Entry dot = EntryAt(0);
    return ShortName(dot) == u"." && IsDirectory(dot[kAttributes]);
  }

  // Read on along the volume, a folder (a deleted one: its chain is freed)
  // ends where a cluster in use begins: that one is another file's or
  // folder's, whose entries are not this folder's.
  bool StartsClusterInUse(std::uint64_t sector) {
    const std::uint32_t first = facts_.geometry.fatFirstDataSector;
    const std::uint32_t perCluster = std::max<std::uint32_t>(facts_.geometry.sectorsPerCluster, 1);
    if (sector < first || (sector - first) % perCluster != 0) return false;
    const std::uint64_t cluster = (sector - first) / perCluster + 2;
    if (cluster > kFatEntryMask) return false;
    std::optional<std::uint32_t> link = fat_.Entry(static_cast<std::uint32_t>(cluster));
    return link && *link != 0;
  }

  bool Load(std::int32_t& errorCode, bool& ended) {
    for (;;) {
      std::int32_t code = error_code::kNone;
      if (volume_.ReadSectors(sector_, 1, sectorBytes_, code)) return true;
      if (!unreadable_) {
        errorCode = code;
        return false;
      }
      NoteUnreadable();
      if (cluster_ == 0 || !NextCluster() || cluster_ == 0) {
        ended = true;
        return false;
      }
    }
  }

  void NoteUnreadable() {
    const std::uint32_t first = facts_.geometry.fatFirstDataSector;
    const std::uint32_t perCluster = std::max<std::uint32_t>(facts_.geometry.sectorsPerCluster, 1);
    const std::uint64_t cluster = sector_ < first ? 0 : (sector_ - first) / perCluster + 2;
    unreadable_->NoteUnreadable(UnreadableStretch::Unit::Clusters, cluster);
  }

  std::optional<std::uint32_t> ClusterSector(std::uint32_t cluster) const { return FatClusterSector(facts_, cluster); }

  RawVolume& volume_;
  const BootSectorFacts& facts_;
  std::uint32_t sector_ = 0;
  std::uint32_t cluster_ = 0;  // 0 once the chain is lost
  std::uint32_t sectorInCluster_ = 0;
  std::array<std::uint8_t, kSectorSize> sectorBytes_{};
  FatTable fat_;
  ChainGuard& clusters_;
  ScanResult* unreadable_;  // where unreadable clusters are noted; none: a failed read ends the reading
  bool damaged_ = false;
};

// What 32 bytes of a directory are. Both walks read entries by these rules,
// the scan for deleted files and the locate for a live one.
enum class EntryKind {
  EndOfDirectory,  // first byte 0: the folder's entries end here
  Dot,             // "." or "..": the folder itself or its parent
  WipedSlot,       // 0xE5 0xFF...: a deleted long-name slot whose name was wiped
  LongNameSlot,    // a part of the long name of the short entry that follows
  NotAnEntry,      // bytes no entry holds (damage, a file written over a deleted folder): passed over
  VolumeLabel,     // the volume's name, not a file's
  Directory,
  File,
};

// One directory entry: what it is, where it lies and its bytes as read.
struct DirectoryEntry {
  EntryKind kind = EntryKind::NotAnEntry;
  FatEntryPlace place;
  std::array<std::uint8_t, kEntrySize> judged{};  // the bytes it was judged by: as read, or repaired by its slots

  Entry Bytes() const { return judged; }
  bool Deleted() const { return IsDeleted(place.bytes); }
  bool EndsSector() const { return place.index == kEntriesPerSector - 1; }
};

// The kind of an entry (repaired by RepairedBySlots where its slots vouch
// for it), judged with the long-name slots gathered right before it (names):
// a slot whose order byte alone is damaged still continues them. endsSector:
// the entry is its sector's last (0xE5 0xFF there is read as an entry, not as
// a wiped slot).
EntryKind KindOf(Entry entry, bool endsSector, const LongNameCollector& names, const BootSectorFacts& facts) {
  const std::uint8_t attributes = entry[kAttributes];
  if (entry[0] == kEndOfDirectory) return EntryKind::EndOfDirectory;
  if (entry[0] == '.') return EntryKind::Dot;
  if (entry[0] == kDeletedMark && entry[1] == 0xFF && !endsSector) return EntryKind::WipedSlot;
  if (attributes == kAttributeLongName && ContinuesName(entry, names)) return EntryKind::LongNameSlot;
  // Bytes that are no entry (a small file written over a deleted folder's
  // first entries, damage) are passed over: the entries after them are
  // still the folder's.
  if (attributes == kAttributeLongName || !PlausibleShortEntry(entry, facts)) return EntryKind::NotAnEntry;
  if (attributes & kAttributeVolumeLabel) return EntryKind::VolumeLabel;
  return IsDirectory(attributes) ? EntryKind::Directory : EntryKind::File;
}

// A directory's entries in order, each read by KindOf. Beyond the end mark
// and the end of its chain, a directory ends at a cluster that held nothing
// an entry could be: a deleted folder is read on along the volume, into
// others' data.
class DirectoryEntries {
 public:
  DirectoryEntries(RawVolume& volume, const BootSectorFacts& facts, ChainGuard& clusters,
                   ScanResult* unreadable = nullptr)
      : facts_(facts), reader_(volume, facts, clusters, unreadable) {}

  // False when the directory's first sector could not be had: ended is set
  // (every cluster was unreadable or the chain broke off), or errorCode says
  // why.
  bool Start(std::uint32_t firstSector, std::uint32_t cluster, std::int32_t& errorCode, bool& ended) {
    next_ = 0;
    clusterHeldEntries_ = false;
    return reader_.Start(firstSector, cluster, errorCode, ended);
  }

  // The next entry, judged with the slots gathered before it; none at the
  // directory's end (ended is set; Damaged() when its chain broke off) or
  // when a read failed (errorCode says why).
  std::optional<DirectoryEntry> Next(const LongNameCollector& names, std::int32_t& errorCode, bool& ended) {
    ended = false;
    if (next_ == kEntriesPerSector) {
      if (reader_.EndsCluster()) {
        if (!clusterHeldEntries_) {
          ended = true;
          return std::nullopt;
        }
        clusterHeldEntries_ = false;
      }
      if (!reader_.Next(errorCode, ended)) return std::nullopt;
      next_ = 0;
    }
    DirectoryEntry entry;
    entry.place.sector = reader_.Sector();
    entry.place.index = static_cast<std::uint16_t>(next_);
    Entry bytes = reader_.EntryAt(next_++);
    std::copy(bytes.begin(), bytes.end(), entry.place.bytes.begin());
    entry.judged = RepairedBySlots(bytes, names).value_or(entry.place.bytes);
    entry.kind = KindOf(entry.judged, entry.EndsSector(), names, facts_);
    if (entry.kind != EntryKind::EndOfDirectory && entry.kind != EntryKind::NotAnEntry) clusterHeldEntries_ = true;
    return entry;
  }

  bool Damaged() const { return reader_.Damaged(); }

 private:
  const BootSectorFacts& facts_;
  DirectoryReader reader_;
  std::size_t next_ = 0;  // the index of the next entry in the sector read
  bool clusterHeldEntries_ = false;
};

// The first sector of a data cluster, as a directory entry's first cluster
// gives it (32-bit, as the entries store sectors).
std::uint32_t EntryDataSector(const BootSectorFacts& facts, std::uint32_t cluster) {
  return facts.geometry.fatFirstDataSector + facts.geometry.sectorsPerCluster * (cluster - 2);
}

class DeletedFileWalk {
 public:
  DeletedFileWalk(RawVolume& volume, const BootSectorFacts& facts, DeletedFilesView& view, TreeItem parent,
                  ScanResult& result)
      : volume_(volume), facts_(facts), view_(view), parent_(parent), result_(result), fat_(volume, facts),
        clusters_(FatClusterCount(facts)) {}

  bool Walk(std::uint32_t firstSector, std::uint32_t cluster, std::int32_t& errorCode) {
    // A directory whose cluster was read already in this scan is not walked
    // again: on a damaged volume one may contain itself or an ancestor, or
    // many entries may name one child, and the walk must stay linear in the
    // directory clusters.
    if (depth_ >= kMaxDirectoryDepth || !clusters_.Take(cluster)) return true;
    ++depth_;
    bool result = WalkDirectory(firstSector, cluster, errorCode);
    --depth_;
    return result;
  }

  std::uint32_t DamagedDirectories() const { return damaged_; }

 private:
  bool WalkDirectory(std::uint32_t firstSector, std::uint32_t cluster, std::int32_t& errorCode) {
    slotCounter_ = 1;
    DirectoryEntries entries(volume_, facts_, clusters_, &result_);
    bool ended = false;
    if (!entries.Start(firstSector, cluster, errorCode, ended)) return ended;
    while (std::optional<DirectoryEntry> entry = entries.Next(names_, errorCode, ended)) {
      if (entry->place.index == 0) AdvanceProgress(1);  // a directory sector read
      if (view_.StopRequested()) return false;
      switch (entry->kind) {
        case EntryKind::EndOfDirectory:
          return true;
        case EntryKind::Dot:
          break;
        case EntryKind::WipedSlot:
          names_.Clear();
          break;
        case EntryKind::LongNameSlot:
          names_.AddSlot(entry->Bytes());
          ++slotCounter_;
          break;
        case EntryKind::NotAnEntry:
        case EntryKind::VolumeLabel:
          names_.Clear();
          slotCounter_ = 1;
          break;
        case EntryKind::Directory:
          if (!EnterDirectory(entry->Bytes(), cluster, errorCode)) return false;
          if (errorCode != error_code::kNone) return false;
          break;
        case EntryKind::File:
          TakeFile(*entry);
          break;
      }
    }
    damaged_ += entries.Damaged();
    return ended;
  }

  // Walks a subdirectory; the files of a deleted one count as deleted until
  // a walk inside it returns.
  bool EnterDirectory(Entry entry, std::uint32_t ownCluster, std::int32_t& errorCode) {
    // The long name gathered so far is the folder's own: taken here, it can
    // never pass to the first file inside.
    const std::u16string name = TakeName(names_, entry);
    std::uint32_t subdirectory = FirstCluster(entry);
    if (subdirectory == lastEnteredDirCluster_) return true;
    if (IsDeleted(entry) && InUseElsewhere(subdirectory)) {
      slotCounter_ = 1;
      return true;
    }
    lastEnteredDirCluster_ = subdirectory;
    slotCounter_ = 1;
    if (subdirectory == ownCluster) return true;
    if (IsDeleted(entry)) inDeletedDirectory_ = true;
    std::uint64_t sector =
        facts_.geometry.fatFirstDataSector + std::uint64_t{subdirectory - 2} * facts_.geometry.sectorsPerCluster;
    if (subdirectory >= 2 && sector < facts_.volumeSectors) {
      const std::size_t pathLength = path_.size();
      path_ += path_.empty() ? name : u"/" + name;
      bool walked = Walk(static_cast<std::uint32_t>(sector), subdirectory, errorCode);
      path_.resize(pathLength);
      if (!walked) return false;
    }
    inDeletedDirectory_ = false;
    names_.Clear();
    return true;
  }

  void TakeFile(const DirectoryEntry& file) {
    Entry entry = file.Bytes();
    if (!file.Deleted() && !inDeletedDirectory_) {
      names_.Clear();
      slotCounter_ = 1;
      return;
    }
    if (entry[1] == 0xFF && entry[2] == 0xFF && !file.EndsSector()) return;
    FatDeletedEntry found;
    found.name = TakeName(names_, entry);
    found.dirSector = file.place.sector;
    found.entryIndex = file.place.index;
    found.slotCount = slotCounter_;
    found.firstDataSector = EntryDataSector(facts_, FirstCluster(entry));
    found.fileSize = *ByteReader(entry).U32(kFileSize);
    found.clusterHigh = *ByteReader(entry).U16(kClusterHigh);
    found.path = path_;
    found.times = ReadFatEntryTimes(entry);
    slotCounter_ = 1;
    // An entry of 0xE5 and ten 0xFF bytes is a wiped slot, not a file.
    bool wiped = std::all_of(entry.begin() + 1, entry.begin() + 11, [](std::uint8_t b) { return b == 0xFF; });
    if (found.name.empty() || found.name == u"." || wiped) return;
    if (found.firstDataSector >= facts_.volumeSectors || found.dirSector >= facts_.volumeSectors) return;
    std::optional<ScanKey> key = result_.Add(found);
    if (!key) return;
    view_.InsertItem(found.name, kImageFile, kImageFile, parent_, ItemDataForKey(*key));
    if (*key == 0) view_.Invalidate();
  }

  // Whether a deleted folder's first cluster is in use: the FAT holds it,
  // where a deletion frees the chain. A live folder there, be it one made
  // since or the same folder under a new name (a rename or move may leave
  // the old entry behind, deleted, with the folder's own cluster), is
  // walked through its own entry; a file's data there is no folder at all.
  bool InUseElsewhere(std::uint32_t cluster) {
    std::optional<std::uint32_t> link = fat_.Entry(cluster);
    return link && *link != 0;
  }

  RawVolume& volume_;
  const BootSectorFacts& facts_;
  DeletedFilesView& view_;
  TreeItem parent_;
  ScanResult& result_;
  FatTable fat_;
  LongNameCollector names_;
  std::uint16_t slotCounter_ = 1;
  std::uint32_t lastEnteredDirCluster_ = 0;
  bool inDeletedDirectory_ = false;
  std::u16string path_;  // the folder being walked, "" for the root, "/" between names
  ChainGuard clusters_;  // every directory cluster read in this scan
  int depth_ = 0;
  std::uint32_t damaged_ = 0;
};

// ---- the locate: a path followed down to a live file's entry --------------

// Where a directory's entries begin.
struct DirectoryStart {
  std::uint32_t sector = 0;
  std::uint32_t cluster = 0;
};

// The long-name slots read since the last short entry, and where they lie.
class GatheredSlots {
 public:
  void Add(const DirectoryEntry& slot) {
    names_.AddSlot(slot.Bytes());
    places_.push_back(slot.place);
  }
  void Forget() {
    names_.Clear();
    places_.clear();
  }
  const LongNameCollector& Names() const { return names_; }

  // Whether a short entry's name, its long name when these slots are its
  // own and else its 8.3 name, is the component, letter case aside. The
  // name is taken either way; the slots' places are kept for a match.
  bool MatchName(Entry entry, std::u16string_view component) {
    const bool same = SameNameIgnoringCase(TakeName(names_, entry), component);
    if (!same) places_.clear();
    return same;
  }

  std::vector<FatEntryPlace> TakePlaces() { return std::exchange(places_, {}); }

 private:
  LongNameCollector names_;
  std::vector<FatEntryPlace> places_;
};

// A live entry that a path component names, with the long-name slots read
// right before it.
struct NamedEntry {
  DirectoryEntry entry;
  std::vector<FatEntryPlace> slots;
};

// The live entry of a directory that names the component, read by the same
// rules as the scan's; deleted entries and their slots name nothing. None,
// with code 6 when no entry names it, or with the read's code.
std::optional<NamedEntry> FindInDirectory(RawVolume& volume, const BootSectorFacts& facts, ChainGuard& clusters,
                                          DirectoryStart directory, std::u16string_view component,
                                          std::int32_t& errorCode) {
  DirectoryEntries entries(volume, facts, clusters);
  bool ended = false;
  if (!entries.Start(directory.sector, directory.cluster, errorCode, ended)) return std::nullopt;
  GatheredSlots slots;
  while (std::optional<DirectoryEntry> entry = entries.Next(slots.Names(), errorCode, ended)) {
    switch (entry->kind) {
      case EntryKind::EndOfDirectory:
        errorCode = error_code::kNoFileRecordFound;
        return std::nullopt;
      case EntryKind::LongNameSlot:
        if (entry->Deleted()) slots.Forget();
        else slots.Add(*entry);
        break;
      case EntryKind::Dot:
      case EntryKind::WipedSlot:
      case EntryKind::NotAnEntry:
      case EntryKind::VolumeLabel:
        slots.Forget();
        break;
      case EntryKind::Directory:
      case EntryKind::File:
        if (entry->Deleted()) slots.Forget();
        else if (slots.MatchName(entry->Bytes(), component)) return NamedEntry{*entry, slots.TakePlaces()};
        break;
    }
  }
  if (ended) errorCode = error_code::kNoFileRecordFound;
  return std::nullopt;
}

// Where the entries of the directory an entry names begin.
DirectoryStart Descend(const BootSectorFacts& facts, const DirectoryEntry& directory) {
  const std::uint32_t cluster = FirstCluster(directory.Bytes());
  return {EntryDataSector(facts, cluster), cluster};
}

// The located file: its short entry, and the long-name slots before it that
// carry its checksum (slots of another short name are not its own).
FatLocation LocationOf(const BootSectorFacts& facts, const NamedEntry& found, std::u16string_view component) {
  Entry entry = found.entry.Bytes();
  const std::uint32_t cluster = FirstCluster(entry);
  FatLocation located{std::u16string(component),
                      found.entry.place.sector,
                      found.entry.place.index,
                      static_cast<std::uint16_t>(1 + found.slots.size()),
                      EntryDataSector(facts, cluster),
                      *ByteReader(entry).U32(kFileSize),
                      {},
                      cluster};
  const std::uint8_t checksum = ShortNameChecksum(entry);
  for (const FatEntryPlace& slot : found.slots)
    if (slot.bytes[kSlotChecksum] == checksum) located.entries.push_back(slot);
  located.entries.push_back(found.entry.place);
  return located;
}

}  // namespace

void LongNameCollector::AddSlot(std::span<const std::uint8_t, 32> slot) {
  std::u16string part;
  for (std::size_t offset : kSlotUnitOffsets) {
    auto unit = static_cast<char16_t>(slot[offset] | slot[offset + 1] << 8);
    if (unit == 0 || unit == 0xFFFF) break;
    part += unit;
  }
  slots_.push_back(std::move(part));
  if (slots_.size() == 1) {
    checksum_ = slot[kSlotChecksum];
  } else if (checksum_ != slot[kSlotChecksum]) {
    checksum_.reset();
  }
}

std::u16string LongNameCollector::Take() {
  std::u16string name;
  for (auto part = slots_.rbegin(); part != slots_.rend(); ++part) name += *part;
  Clear();
  if (name.size() > kMaxLongName) name.resize(kMaxLongName);
  return name;
}

std::u16string ShortName(std::span<const std::uint8_t, 32> entry, bool withExtension) {
  auto field = [&](std::size_t offset, std::size_t width) {
    std::string bytes(entry.begin() + static_cast<std::ptrdiff_t>(offset),
                      entry.begin() + static_cast<std::ptrdiff_t>(offset + width));
    return bytes.substr(0, bytes.find(' '));
  };
  // The case flags lower ASCII letters alone, as Windows NT writes them.
  auto lower = [&](std::string text, std::uint8_t flag) {
    if (entry[kCaseFlags] & flag)
      for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
  };
  std::string name = lower(field(0, 8), kLowerCaseBase);
  std::string extension = lower(field(8, 3), kLowerCaseExtension);
  if (withExtension && !extension.empty()) name += "." + extension;
  return platform::FromAnsiLossy(name);
}

bool WalkFatDirectory(RawVolume& volume, const BootSectorFacts& facts, std::uint32_t firstSector,
                      std::uint32_t firstCluster, DeletedFilesView& view, TreeItem parent, std::int32_t& errorCode,
                      ScanResult& result) {
  DeletedFileWalk walk(volume, facts, view, parent, result);
  const bool walked = walk.Walk(firstSector, firstCluster, errorCode);
  result.ScanDamagedDirectories = walk.DamagedDirectories();
  return walked;
}

bool FindFatPath(RawVolume& volume, const BootSectorFacts& facts, std::u16string_view path, FatLocation& located,
                 std::int32_t& errorCode) {
  const std::vector<std::u16string_view> components = PathComponents(path);
  if (components.empty()) {
    errorCode = error_code::kNoFileRecordFound;
    return false;
  }
  // A path that leads back into a directory already searched, or a chain
  // that loops, ends the search as not found.
  ChainGuard clusters(FatClusterCount(facts));
  DirectoryStart directory{facts.metadataStart, facts.rootCluster};
  for (std::size_t m = 0; m < components.size(); ++m) {
    if (!clusters.Take(directory.cluster)) {
      errorCode = error_code::kNoFileRecordFound;
      return false;
    }
    std::optional<NamedEntry> found = FindInDirectory(volume, facts, clusters, directory, components[m], errorCode);
    if (!found) return false;
    // A directory where the file should be, or a file on the way, names
    // nothing that can be shredded.
    const bool isDirectory = found->entry.kind == EntryKind::Directory;
    if (isDirectory == (m + 1 == components.size())) {
      errorCode = error_code::kNoFileRecordFound;
      return false;
    }
    if (isDirectory) directory = Descend(facts, found->entry);
    else located = LocationOf(facts, *found, components[m]);
  }
  return true;
}

std::uint32_t FatClusterCount(const BootSectorFacts& facts) {
  const std::uint32_t first = facts.geometry.fatFirstDataSector;
  if (facts.geometry.sectorsPerCluster == 0 || facts.volumeSectors <= first) return 0;
  return (facts.volumeSectors - first) / facts.geometry.sectorsPerCluster;
}

std::optional<std::uint32_t> FatClusterSector(const BootSectorFacts& facts, std::uint32_t cluster) {
  if (cluster < 2) return std::nullopt;
  std::uint64_t sector = facts.geometry.fatFirstDataSector + std::uint64_t{cluster - 2} * facts.geometry.sectorsPerCluster;
  if (sector + facts.geometry.sectorsPerCluster > facts.volumeSectors) return std::nullopt;
  return static_cast<std::uint32_t>(sector);
}

FatChain ReadFatChain(RawVolume& volume, const BootSectorFacts& facts, std::uint32_t firstCluster,
                      std::uint64_t maxClusters) {
  FatChain chain;
  FatTable fat(volume, facts);
  ChainGuard seen(FatClusterCount(facts));
  std::uint32_t cluster = firstCluster;
  while (chain.clusters.size() < maxClusters) {
    if (!FatClusterSector(facts, cluster) || !seen.Take(cluster)) return chain;
    std::optional<std::uint32_t> next = fat.Entry(cluster);
    // A cluster of a live file is linked on or marks the end; free (0),
    // reserved (1) and bad entries are no part of a chain.
    if (!next || *next < 2 || *next == kBadCluster) return chain;
    chain.clusters.push_back(cluster);
    if (*next >= kFirstEndOfChain) {
      chain.complete = true;
      return chain;
    }
    cluster = *next;
  }
  chain.complete = true;  // as many clusters as the size needs
  return chain;
}

std::uint8_t ShortNameChecksum(std::span<const std::uint8_t, 32> entry) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  return sum;
}

}  // namespace corvanel
