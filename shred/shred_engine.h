// The shred engine: deletes a located file and overwrites, on the raw volume,
// what the deletion leaves behind (NTFS: data clusters with zeros and the
// file record with 0x01 bytes; FAT32: data clusters with zeros and the
// directory entries scrubbed; exFAT: data clusters, the stream extension and
// the name entries with zeros).
//
// Nothing but the file's own bytes is ever written: right before each raw
// write the volume's allocation data is read again ($Bitmap, the record's
// in-use flag and sequence number, the FAT, exFAT's allocation bitmap, the
// entries' deleted mark), and
// whatever another file has taken since the deletion is passed over and
// reported. Where the system gives a volume lock, it is held from the first
// check to the last write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel {

// The largest NTFS file that is shredded (1.5 GiB).
inline constexpr std::uint64_t MaxShredFileSize = 1'610'612'736;

// What a raw write put where, so that it can be read back.
struct OverwrittenRange {
  enum class Fill : std::uint8_t { Zeros, RecordOnes, FatEntryScrub, ExfatEntryZeros };
  std::uint64_t offset = 0;  // bytes from the volume's start
  std::uint64_t length = 0;
  Fill fill = Fill::Zeros;
};

struct ShredReport {
  std::uint64_t zeroedInPlace = 0;  // bytes zeroed through the file before its deletion
  bool cutInPlace = false;          // NTFS compressed data: cut to nothing through the file, not zeroed
  bool inPlaceFailed = false;
  bool deleted = false;
  bool deletedWithoutOverwrite = false;  // the data was not located and the user said Yes
  bool declined = false;                 // ... and the user said No: nothing was done
  bool volumeLocked = false;
  std::uint64_t clustersZeroed = 0;
  std::uint64_t clustersTaken = 0;       // taken by another file by the time of the write
  std::uint64_t clustersNotLocated = 0;  // FAT32: a broken chain; NTFS: outside the volume
  bool recordOverwritten = false;
  bool recordTaken = false;
  std::uint32_t extensionRecordsOverwritten = 0;  // records its attribute list named
  std::uint32_t extensionRecordsTaken = 0;
  std::uint32_t entriesScrubbed = 0;
  std::uint32_t entriesTaken = 0;
  bool rawPassSkipped = false;  // only the in-place pass was asked for
  bool interrupted = false;     // the raw pass stopped for AbortRequested (leaving the program)
  std::vector<OverwrittenRange> written;

  // Whether everything asked for was done: nothing the raw pass was to
  // overwrite was left (the in-place-only mode asks for no raw pass, and its
  // in-place pass is then all there is).
  bool Complete() const {
    return deleted && !deletedWithoutOverwrite && !interrupted && clustersTaken == 0 && clustersNotLocated == 0 &&
           !recordTaken && extensionRecordsTaken == 0 && entriesTaken == 0 && !(rawPassSkipped && inPlaceFailed);
  }
};

enum class ShredMode {
  Full,         // in place, deletion, then the raw volume
  InPlaceOnly,  // in place and deletion only: for volumes that refuse raw writes
};

// Shreds ShredFilePath after a successful LocateFileClusters. True when it
// ended with errorCode 0; report says how far it got: the file deleted and,
// where it was located, overwritten; report->declined when the user declined
// to delete a file whose data was not located (nothing is done);
// report->interrupted when leaving the program stopped the raw pass. False
// with errorCode 11 (no NTFS, FAT32 or exFAT locate to work from; nothing done), 16
// (too large; nothing done) or 19 (LastSystemErrorText says why). Before
// anything is written the file is checked against what the locate found (one
// name only, the same record and size) and the raw volume is opened for
// writing (unless mode is InPlaceOnly); a file that fails is refused with 19
// and left untouched.
bool ShredLocatedFile(char driveLetter, std::int32_t& errorCode, ShredReport* report = nullptr,
                      ShredMode mode = ShredMode::Full);

// The steps, each after the deletion; each true when it ended with errorCode
// 0, report->interrupted when leaving the program stopped it. NTFS:
bool OverwriteNtfsData(char driveLetter, std::int32_t& errorCode, ShredReport& report);
bool ZeroNtfsRuns(char driveLetter, std::int32_t& errorCode, ShredReport& report);
// FAT32:
bool ShredFatFile(char driveLetter, std::int32_t& errorCode, ShredReport& report);
bool ZeroFatData(char driveLetter, std::int32_t& errorCode, ShredReport& report);
bool ScrubFatDirectoryEntries(char driveLetter, std::int32_t& errorCode, ShredReport& report);
// exFAT:
bool ShredExfatFile(char driveLetter, std::int32_t& errorCode, ShredReport& report);
bool ZeroExfatData(char driveLetter, std::int32_t& errorCode, ShredReport& report);
bool ZeroExfatEntrySet(char driveLetter, std::int32_t& errorCode, ShredReport& report);

// The 32 bytes a directory entry becomes: deleted mark, 0x01 over the name,
// times and high cluster word, zeros over the size; attributes, the bytes
// after them and the low cluster word kept.
void ScrubFatEntry(std::span<std::uint8_t, 32> entry);

// exFAT: whether an entry as it lies now is the one the locate read (in use
// or not): a name entry's bytes, a stream extension's name length and hash.
bool ExfatEntryNamesTheFile(std::span<const std::uint8_t, 32> now, std::span<const std::uint8_t, 32> located);
// ... and is left as the deletion leaves it: its in-use bit cleared.
bool ExfatEntryLeftAsDeleted(std::span<const std::uint8_t, 32> now, std::span<const std::uint8_t, 32> located);
// The 32 bytes a deleted stream extension or name entry becomes: its type
// kept, zeros after it; a stream extension's name length the units its set's
// nameEntries hold.
void ZeroExfatEntry(std::span<std::uint8_t, 32> entry, std::size_t nameEntries);

// Reads every range of report.written back; gives the ranges that do not
// hold their fill bytes. False with errorCode when a read failed.
bool VerifyOverwrite(char driveLetter, const ShredReport& report, std::vector<OverwrittenRange>& mismatched,
                     std::int32_t& errorCode);

// NTFS, after the shred: how many copies of the file's names its folder's
// record and index blocks still hold (past their entries too); nothing when
// the folder cannot be read.
std::optional<std::uint32_t> CountNameTraces(char driveLetter, std::int32_t& errorCode);

}  // namespace corvanel
