// The scan for deleted files: NTFS file records of deleted files, or deleted
// FAT32 directory entries, listed in a DeletedFilesView.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "volume/deleted_files_view.h"
#include "volume/fat_directory.h"
#include "volume/mft_record.h"
#include "volume/scan_result.h"
#include "volume/volume_geometry.h"

namespace corvanel {

// Lists the deleted files of a volume under a new root item (the drive
// letter). False with errorCode 11 (not FAT32 or NTFS), 18 (boot sector
// unreadable), 6 (no end of the MFT found), 1 or 4 (a later read failed), or
// with no code when the view's StopRequested (AbortRequested) stopped it. MFT
// records that cannot be read do not end it: they go to LastScan's
// ScanUnreadableStretches. LastScan holds what it found: with a filter, only
// the files it admits (which must outlive LastScan's use of it).
bool ScanDeletedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode,
                      const ScanFilter* filter = nullptr);

// The same with more said: each file's free share from allocation, each
// listed file told to listener, and (keepFiles false) nothing kept of the
// files beyond their count, for a listing that no recovery follows.
struct ScanOptions {
  const ScanFilter* filter = nullptr;
  const AllocationMap* allocation = nullptr;
  ScanListener* listener = nullptr;
  bool keepFiles = true;
};
bool ScanDeletedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode, const ScanOptions& options);

// Whether a record's signature is "FILE", or one bit away from it.
bool HasFileSignature(std::span<const std::uint8_t> record);

// How the NTFS scan treats a file record, by its first bytes.
enum class RecordClass {
  File,         // "FILE": a deleted file when its flags byte is 0
  PassOver,     // damaged or unused, the MFT goes on
  Blank,        // counts towards the end of an MFT of unknown size
  LogRecords,   // "RCRD": this record and the next three are passed over
  EndOfMft,     // ends an MFT of unknown size; passed over in one of known size
};
RecordClass ClassifyRecord(std::span<const std::uint8_t> record);

// Where the MFT's records lie: through $MFT's own extents, then on from the
// end of the last one (which is the whole story for an MFT in one piece).
class MftLayout {
 public:
  MftLayout(std::uint64_t firstSector, std::uint32_t sectorsPerCluster, std::vector<DataRun> runs);

  struct Place {
    std::uint64_t sector;      // absolute
    std::uint64_t contiguous;  // sectors from there that follow on the volume
    bool sparse;               // no sectors at all: reads as zeros
  };
  // The place of a sector counted from the start of the MFT.
  Place Locate(std::uint64_t mftSector) const;

  // Whether $MFT's own extents are known (and begin where the boot sector says).
  bool Mapped() const { return !extents_.empty(); }

 private:
  struct Extent {
    std::uint64_t mftSector;     // where the extent starts, counted in the MFT
    std::uint64_t volumeSector;  // and on the volume; 0 when sparse
    std::uint64_t sectors;
    bool sparse;
  };
  std::vector<Extent> extents_;
  std::uint64_t mappedSectors_ = 0;
  std::uint64_t afterLast_ = 0;  // the volume sector right after the last extent
};

// Reads records by number through the MFT's own extents.
class MftRecordSource {
 public:
  MftRecordSource(RawVolume& volume, MftLayout layout, std::uint64_t volumeSectors,
                  std::uint32_t recordBytes = kFileRecordSize)
      : volume_(volume), layout_(std::move(layout)), volumeSectors_(volumeSectors), recordBytes_(recordBytes) {}

  // The volume's file record size: what Read takes.
  std::uint32_t RecordBytes() const { return recordBytes_; }

  // The sector of a record whose sectors lie together on the volume.
  std::optional<std::uint64_t> SectorOf(std::uint64_t record) const;

  enum class Outcome { Read, NotThere, Failed };
  // Reads and fixes up a record (bytes holds RecordBytes()). NotThere: no sectors for it, no "FILE", or
  // a torn or malformed update sequence; Failed: the read failed (errorCode).
  Outcome Read(std::uint64_t record, std::span<std::uint8_t> bytes, std::int32_t& errorCode);

 private:
  RawVolume& volume_;
  MftLayout layout_;
  std::uint64_t volumeSectors_;
  std::uint32_t recordBytes_;
};

// Reads a listed NTFS file's record again, as the scan read it (its pieces
// gathered from the extension records the scan noted): Same, or Changed when
// the record is no longer the deleted file listed (in use, another sequence
// number, not a deleted file's base, another name), or Unreadable.
class ListedRecordReader {
 public:
  ListedRecordReader(RawVolume& volume, const ScanResult& result);
  enum class State { Same, Changed, Unreadable };
  State Read(ScanKey key, MftRecord& out);

 private:
  RawVolume& volume_;
  const ScanResult& result_;
  MftRecordSource source_;
};

// The layout of a volume's MFT from its record 0 (in one piece from the boot
// sector's place when that record cannot be read).
MftLayout ReadMftLayout(RawVolume& volume, const BootSectorFacts& facts);

}  // namespace corvanel
