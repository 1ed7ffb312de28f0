// exFAT read from the raw volume: the boot region (the backup taken when the
// main one is damaged), the FAT's chains, the allocation bitmap, the up-case
// table, the directory entry sets (live and deleted, each checked against its
// own checksum), a walk over every set of a tree and the live set a path
// names. Nothing here writes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "volume/file_times.h"
#include "volume/raw_volume.h"

namespace corvanel {

// Why a boot region was not taken.
enum class ExfatBootProblem {
  kNone,
  kNotExfat,               // no "EXFAT   " name, FAT's fields not zero, or no 0x55AA
  kUnsupportedSectorSize,  // sectors other than 512..4096 bytes
  kBadGeometry,            // FAT, cluster heap or root outside the volume, or overlapping
  kChecksumMismatch,       // sectors 0..10 do not sum to sector 11's value
};

// What the boot sector says, sizes in bytes where the volume's sectors are
// not the unit.
struct ExfatFacts {
  std::uint32_t bytesPerSector = 0;  // 512..4096
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t volumeSectors = 0;
  std::uint32_t fatOffset = 0;  // in the volume's sectors
  std::uint32_t fatLength = 0;
  std::uint32_t clusterHeapOffset = 0;
  std::uint32_t clusterCount = 0;
  std::uint32_t rootCluster = 0;
  std::uint32_t volumeSerial = 0;
  std::uint8_t numberOfFats = 1;
  // The main boot region was damaged (mainProblem says how) and its backup
  // at sector 12 was taken: worth a warning.
  bool fromBackup = false;
  ExfatBootProblem mainProblem = ExfatBootProblem::kNone;

  std::uint64_t ClusterBytes() const { return std::uint64_t{bytesPerSector} * sectorsPerCluster; }
  // Whether a cluster number lies in the cluster heap.
  bool HasCluster(std::uint64_t cluster) const { return cluster >= 2 && cluster - 2 < clusterCount; }
  // A cluster's first byte on the volume, nothing outside the heap.
  std::optional<std::uint64_t> ClusterOffset(std::uint64_t cluster) const;
};

// Parses the boot sector alone (its first 512 bytes): the fields, the
// geometry's checks, no checksum.
std::optional<ExfatFacts> ParseExfatBootSector(std::span<const std::uint8_t> sector, ExfatBootProblem& problem);

// Parses a boot region: the twelve sectors from its first (for a sector size
// the first sector itself gives). Nullopt with the problem otherwise; a
// region shorter than its twelve sectors is kNotExfat.
std::optional<ExfatFacts> ParseExfatBootRegion(std::span<const std::uint8_t> region, ExfatBootProblem& problem);

// The stream extension of a file's entry set.
struct ExfatStream {
  std::uint8_t flags = 0;
  std::uint8_t nameLength = 0;
  std::uint16_t nameHash = 0;
  std::uint64_t validDataLength = 0;
  std::uint32_t firstCluster = 0;
  std::uint64_t dataLength = 0;

  bool NoFatChain() const;
  bool AllocationPossible() const;
};

// Why a set cannot be trusted as read.
enum class ExfatSetProblem {
  kNone,
  kChecksumMismatch,  // the set checksum fails
  kPastEnd,           // its secondary count runs past the directory's end
  kBrokenSet,         // no stream extension or name entries where they belong, or entries of another state
  kBadName,           // a name length of 0, or more units than the name entries hold
  kStreamPastVolume,  // first cluster or length outside the cluster heap
};

// One file entry set as it lies in a directory.
struct ExfatEntrySet {
  bool deleted = false;        // the in-use bit clear in the file entry
  bool inDeletedFolder = false;  // under a deleted folder (its own bits may still say in use)
  ExfatSetProblem problem = ExfatSetProblem::kNone;
  std::uint8_t secondaryCount = 0;
  std::uint16_t attributes = 0;
  std::u16string name;  // as far as it could be read
  std::u16string path;  // the folder it lies in: "a/b", "" for the root
  ExfatStream stream;
  // Times converted to UTC where the entry gives its offset (the matching
  // flag set); otherwise the local time as stored.
  FileTimes times{};
  bool createdUtc = false, modifiedUtc = false, accessedUtc = false;
  // The volume byte offset of each entry of the set, the file entry first:
  // a set may cross from one cluster into another anywhere.
  std::vector<std::uint64_t> entryOffsets;

  bool Damaged() const { return problem != ExfatSetProblem::kNone; }
  bool IsDirectory() const;
};

// Parses the set whose file entry opens `entries` (the directory's bytes from
// there to its end); offsetOf gives each entry's place on the volume by its
// index in `entries`. Checks what needs no more reading (checksum, counts,
// name, the stream within the cluster heap). Never reads past `entries`.
ExfatEntrySet ParseExfatEntrySet(std::span<const std::uint8_t> entries, const ExfatFacts& facts,
                                 const std::function<std::uint64_t(std::size_t)>& offsetOf);

// A chain of clusters; `complete` when it ended at the end mark (or at the
// length asked for) rather than at a loop, a free or bad link or a link
// outside the heap.
struct ExfatChain {
  std::vector<std::uint32_t> clusters;
  bool complete = false;
};

// Where a directory's entries are: its first cluster, and for a
// subdirectory its stream (length, no-FAT-chain); the root has a chain alone.
struct ExfatDirectory {
  std::uint32_t firstCluster = 0;
  std::optional<ExfatStream> stream;
};

// The volume opened for reading: its boot facts, the allocation bitmap and
// the up-case table, read once.
class ExfatVolume {
 public:
  // Reads the boot region (falling back to the backup), then the root
  // directory's bitmap and up-case entries. Nullopt with errorCode set: the
  // read's code, 21 when its sectors are not 512..4096 bytes, or 11 when
  // neither boot region is exFAT (bootProblem says why the main one was not).
  static std::optional<ExfatVolume> Open(SectorReader& reader, std::int32_t& errorCode,
                                         ExfatBootProblem* bootProblem = nullptr);

  const ExfatFacts& Facts() const { return facts_; }

  // From the allocation bitmap; nullopt outside the heap or without a bitmap.
  std::optional<bool> ClusterInUse(std::uint32_t cluster) const;
  bool HasBitmap() const { return !bitmap_.empty(); }
  // Where the bitmap lies: its clusters in order (a shred reads it afresh there).
  const std::vector<std::uint32_t>& BitmapClusters() const { return bitmapClusters_; }
  // The bitmap's bytes: bit n (of byte n / 8, lowest bit first) is cluster n + 2.
  std::span<const std::uint8_t> Bitmap() const { return bitmap_; }

  // The up-case table: loaded, or missing or damaged (names then fold ASCII
  // letters alone).
  enum class UpcaseState { kLoaded, kMissing, kChecksumMismatch };
  UpcaseState Upcase() const { return upcaseState_; }
  char16_t UpCase(char16_t unit) const;
  bool SameName(std::u16string_view a, std::u16string_view b) const;
  // The hash a stream extension keeps of its name.
  std::uint16_t NameHash(std::u16string_view name) const;

  // The FAT's chain from `first`, at most maxClusters long (each cluster once).
  ExfatChain ReadChain(std::uint32_t first, std::uint64_t maxClusters);
  // The clusters of a stream: contiguous with no FAT chain, else its chain;
  // as many as its data length needs, fewer when the chain breaks off.
  ExfatChain StreamClusters(const ExfatStream& stream);

  // Reads bytes at a volume offset; both a multiple of 512.
  bool ReadBytes(std::uint64_t offset, std::span<std::uint8_t> bytes, std::int32_t& errorCode);

 private:
  explicit ExfatVolume(SectorReader& reader) : reader_(&reader) {}
  std::optional<std::uint32_t> FatEntry(std::uint32_t cluster);
  bool LoadSystemEntries(std::int32_t& errorCode);

  SectorReader* reader_;
  ExfatFacts facts_;
  std::vector<std::uint8_t> bitmap_;
  std::vector<std::uint32_t> bitmapClusters_;
  std::vector<char16_t> upcase_;
  UpcaseState upcaseState_ = UpcaseState::kMissing;
  std::vector<std::uint8_t> fatSector_;
  std::uint64_t fatSectorNumber_ = UINT64_MAX;
};

// Expands an up-case table as stored (0xFFFF n: n units that map to
// themselves) into 65536 units; nullopt when it runs past 65536.
std::optional<std::vector<char16_t>> ExpandUpcaseTable(std::span<const std::uint8_t> stored);
std::uint32_t UpcaseTableChecksum(std::span<const std::uint8_t> stored);

// What a walk met besides sets.
struct ExfatWalkReport {
  std::uint32_t damagedDirectories = 0;  // chains that looped or broke off
  std::vector<std::uint32_t> unreadableClusters;
  bool stopped = false;  // the visitor asked to stop
};

// Calls visit for every file entry set of the tree under `directory` (the
// root when not given), live and deleted, damaged ones included, in
// directory order; a folder's own set comes before its contents. Live
// folders are entered, and deleted ones whose first cluster the bitmap still
// shows free; each directory cluster is read once in the walk, so a chain
// that loops or a folder that contains itself ends. visit returns false to
// stop. False with errorCode when the walk could not start (the root's first
// cluster unreadable).
using ExfatSetVisitor = std::function<bool(const ExfatEntrySet&)>;
bool WalkExfatTree(ExfatVolume& volume, const ExfatSetVisitor& visit, ExfatWalkReport& report,
                   std::int32_t& errorCode);

// The live set a path names ("dir\sub\file", components compared through the
// up-case table), through live folders; a damaged set names nothing. False
// with errorCode 6 when nothing matches or a folder stands where the file
// should (or a file where a folder should); or with the read's code.
bool FindExfatPath(ExfatVolume& volume, std::u16string_view path, ExfatEntrySet& found, std::int32_t& errorCode);

// The number The Sleuth Kit (fls, istat) gives the entry at a volume byte
// offset: entries counted from the cluster heap's start, after three.
std::uint64_t ExfatEntryNumber(const ExfatFacts& facts, std::uint64_t entryOffset);

}  // namespace corvanel
