// The shred engine over the located file.
#include "shred/shred_engine.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/progress_meter.h"
#include "app/prompter.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "platform/file_system.h"
#include "platform/volume_device.h"
#include "volume/exfat_layout.h"
#include "volume/fat_directory.h"
#include "volume/fat_layout.h"
#include "volume/file_locate.h"
#include "volume/mft_record.h"
#include "volume/raw_volume.h"
#include "volume/run_reader.h"

namespace corvanel {
namespace {

using fat::kDeletedMark;
using fat::kFatEntryMask;
constexpr std::size_t kFatEntrySize = fat::kEntrySize;
constexpr std::uint8_t kRecordFill = 0x01;
constexpr std::size_t kWriteBlock = std::size_t{4} << 20;  // zeros go out in blocks this large

// The raw volume for the whole overwrite: one handle for every check and
// write, so a lock (where the system grants one) covers them all.
class RawSession final : public SectorReader {
 public:
  bool Open(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
    platform::SystemError error;
    device_ = platform::VolumeDevice::Open(driveLetter, platform::DeviceAccess::ReadWrite, error);
    if (!device_.IsOpen()) {
      ReportSystemError(error, error_code::kShredSystemError, errorCode);
      return false;
    }
    report.volumeLocked = device_.Lock();
    device_.Dismount();
    device_.DeferFlushes();
    // The deletion's own metadata must be on the volume before it is read.
    device_.Flush(error);
    return true;
  }

  bool Read(std::uint64_t offset, std::span<std::uint8_t> bytes, std::int32_t& errorCode) {
    platform::SystemError error;
    if (device_.ReadAt(offset, bytes, error)) return true;
    ReportSystemError(error, error_code::kShredSystemError, errorCode);
    return false;
  }

  bool ReadSectors(std::uint64_t firstSector, std::uint64_t sectorCount, std::span<std::uint8_t> buffer,
                   std::int32_t& errorCode) override {
    if (sectorCount > buffer.size() / kSectorSize || firstSector > UINT64_MAX / kSectorSize - sectorCount) {
      ReportSystemError(platform::InvalidArgumentError(), error_code::kShredSystemError, errorCode);
      return false;
    }
    return Read(firstSector * kSectorSize, buffer.first(static_cast<std::size_t>(sectorCount * kSectorSize)),
                errorCode);
  }

  bool Write(std::uint64_t offset, std::span<const std::uint8_t> bytes, std::int32_t& errorCode) {
    platform::SystemError error;
    if (device_.WriteAt(offset, bytes, error)) return true;
    ReportSystemError(error, error_code::kShredSystemError, errorCode);
    return false;
  }

  bool Finish(std::int32_t& errorCode) {
    platform::SystemError error;
    if (device_.Flush(error)) return true;
    ReportSystemError(error, error_code::kShredSystemError, errorCode);
    return false;
  }

 private:
  platform::VolumeDevice device_;
};

const std::vector<std::uint8_t>& ZeroBlock() {
  static const std::vector<std::uint8_t> zeros(kWriteBlock, 0);
  return zeros;
}

// Zeros over a byte range, in large blocks. False when the raw pass ends
// here: a write failed (errorCode says why), or leaving the program stopped
// it (report.interrupted, no code).
bool WriteZeros(RawSession& session, std::uint64_t offset, std::uint64_t length, ShredReport& report,
                std::int32_t& errorCode) {
  while (length > 0) {
    // Between writes the window may hold the worker while it asks whether to
    // leave; on Yes the raw pass ends here (errorCode stays 0).
    if (WorkerGate.Pass()) {
      report.interrupted = true;
      return false;
    }
    std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, kWriteBlock));
    if (!session.Write(offset, std::span(ZeroBlock()).first(chunk), errorCode)) return false;
    report.written.push_back({offset, chunk, OverwrittenRange::Fill::Zeros});
    AdvanceProgress(chunk);
    offset += chunk;
    length -= chunk;
  }
  return true;
}

// $Bitmap: one bit per cluster, set while a file holds it. Read afresh for
// every question, so each answer is as current as the volume.
class ClusterBitmap {
 public:
  bool Load(RawSession& session, const BootSectorFacts& facts, std::int32_t& errorCode) {
    sectorsPerCluster_ = facts.geometry.sectorsPerCluster;
    volumeSectors_ = facts.volumeSectors;
    std::vector<std::uint8_t> record(facts.fileRecordBytes);
    // The first sixteen records always lie at the MFT's start.
    if (!session.Read(std::uint64_t{facts.metadataStart} * kSectorSize + ntfs::kBitmapRecord * record.size(), record,
                      errorCode))
      return false;
    // A torn $Bitmap record is not trusted: then no cluster counts as free.
    if (!ByteReader(record).Matches(0, "FILE") || FixUpRecordSector(record) != FixUpResult::Fixed) return true;
    MftRecord bitmap;
    if (!ParseFileRecord(record, bitmap)) return true;
    resident_ = bitmap.isResident;
    residentBits_ = bitmap.residentData;
    runs_ = bitmap.runs;
    loaded_ = true;
    return true;
  }

  // Whether each of count clusters from first is free; nullopt when $Bitmap
  // cannot tell (then nothing counts as free).
  std::optional<std::vector<bool>> FreeClusters(RawSession& session, std::uint64_t first, std::uint64_t count,
                                                std::int32_t& errorCode) {
    if (!loaded_ || count == 0) return std::nullopt;
    const std::uint64_t firstByte = first / 8;
    const std::uint64_t lastByte = (first + count - 1) / 8;
    std::vector<std::uint8_t> bytes(lastByte - firstByte + 1);
    if (resident_) {
      if (lastByte >= residentBits_.size()) return std::nullopt;
      std::copy_n(residentBits_.begin() + static_cast<std::ptrdiff_t>(firstByte), bytes.size(), bytes.begin());
    } else if (!ReadBitmapBytes(session, firstByte, bytes, errorCode)) {
      return std::nullopt;
    }
    std::vector<bool> free(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t bit = first + i - firstByte * 8;
      free[i] = !(bytes[bit / 8] & (1u << (bit % 8)));
    }
    return free;
  }

 private:
  // Bytes of the bitmap's data through its extents. A hole or an extent
  // off the volume leaves the answer unknown (nothing is free).
  bool ReadBitmapBytes(RawSession& session, std::uint64_t firstByte, std::span<std::uint8_t> out,
                       std::int32_t& errorCode) {
    return ReadThroughRuns(session, {runs_, sectorsPerCluster_, volumeSectors_}, firstByte, out, errorCode,
                           Holes::Refused) == RunRead::Read;
  }

  bool loaded_ = false;
  bool resident_ = false;
  std::vector<std::uint8_t> residentBits_;
  std::vector<DataRun> runs_;
  std::uint32_t sectorsPerCluster_ = 0;
  std::uint64_t volumeSectors_ = 0;
};

// Zeros the clusters among count from first that $Bitmap shows free, in
// stretches of free clusters; counts the ones another file holds. False as
// for WriteZeros.
bool ZeroFreeClusters(RawSession& session, ClusterBitmap& bitmap, const BootSectorFacts& facts, std::uint64_t first,
                      std::uint64_t count, ShredReport& report, std::int32_t& errorCode) {
  const std::uint64_t clusterBytes = ClusterBytes(facts);
  constexpr std::uint64_t kClustersPerCheck = 1 << 18;  // 32 KiB of $Bitmap at a time
  for (std::uint64_t start = first; start < first + count;) {
    std::uint64_t span = std::min(kClustersPerCheck, first + count - start);
    std::optional<std::vector<bool>> free = bitmap.FreeClusters(session, start, span, errorCode);
    if (errorCode != error_code::kNone) return false;
    for (std::uint64_t i = 0; i < span;) {
      if (!free || !(*free)[i]) {
        ++report.clustersTaken;
        ++i;
        continue;
      }
      std::uint64_t run = i;
      while (run < span && (*free)[run]) ++run;
      if (!WriteZeros(session, (start + i) * clusterBytes, (run - i) * clusterBytes, report, errorCode)) return false;
      report.clustersZeroed += run - i;
      i = run;
    }
    start += span;
  }
  return true;
}

// The located record, if it is still the deleted file's: not in use, a base
// record, its sequence number the one it had or the one deletion gave it.
bool StillOurRecord(std::span<const std::uint8_t> record) {
  ByteReader reader(record);
  if (!reader.Matches(0, "FILE") || (record[ntfs::kRecordFlags] & ntfs::kRecordInUse) ||
      reader.U64(ntfs::kBaseRecord) != 0)
    return false;
  return ntfs::SequenceFollows(*reader.U16(ntfs::kRecordSequence), LocatedFile.sequenceNumber);
}

// An extension record, if it is still the deleted file's: not in use, its
// base our record, its sequence number the one it had or one more.
bool StillOurExtension(std::span<const std::uint8_t> record, const ExtensionRecordPlace& place) {
  ByteReader reader(record);
  if (!reader.Matches(0, "FILE") || (record[ntfs::kRecordFlags] & ntfs::kRecordInUse) ||
      ntfs::RecordNumberOf(*reader.U64(ntfs::kBaseRecord)) != LocatedFile.recordNumber)
    return false;
  return ntfs::SequenceFollows(*reader.U16(ntfs::kRecordSequence), place.sequenceNumber);
}

bool OverwriteExtensionRecord(RawSession& session, const ExtensionRecordPlace& place, ShredReport& report,
                              std::int32_t& errorCode) {
  std::vector<std::uint8_t> record(LocatedFile.volume.fileRecordBytes);
  const std::uint64_t offset = std::uint64_t{place.sector} * kSectorSize;
  if (!session.Read(offset, record, errorCode)) return false;
  if (!StillOurExtension(record, place)) {
    ++report.extensionRecordsTaken;
    return true;
  }
  std::fill(record.begin(), record.end(), kRecordFill);
  if (!session.Write(offset, record, errorCode)) return false;
  report.written.push_back({offset, record.size(), OverwrittenRange::Fill::RecordOnes});
  ++report.extensionRecordsOverwritten;
  return true;
}

// The clusters of runs, each once, in order: the extents before and after the
// in-place pass may share clusters. Sparse runs have none.
std::vector<DataRun> DistinctClusters(const std::vector<DataRun>& runs) {
  std::vector<DataRun> sorted;
  for (const DataRun& run : runs)
    if (!run.sparse && run.clusterCount > 0) sorted.push_back(run);
  std::sort(sorted.begin(), sorted.end(),
            [](const DataRun& a, const DataRun& b) { return a.startCluster < b.startCluster; });
  std::vector<DataRun> merged;
  for (const DataRun& run : sorted) {
    const std::uint64_t end = run.clusterCount > UINT64_MAX - run.startCluster ? UINT64_MAX : run.startCluster + run.clusterCount;
    if (!merged.empty() && run.startCluster <= merged.back().startCluster + merged.back().clusterCount) {
      DataRun& last = merged.back();
      last.clusterCount = std::max(last.clusterCount, end - last.startCluster);
    } else {
      merged.push_back({run.startCluster, end - run.startCluster, false});
    }
  }
  return merged;
}

bool OverwriteRecord(RawSession& session, ShredReport& report, std::int32_t& errorCode) {
  std::vector<std::uint8_t> record(LocatedFile.volume.fileRecordBytes);
  const std::uint64_t offset = std::uint64_t{LocatedFile.recordSector} * kSectorSize;
  if (!session.Read(offset, record, errorCode)) return false;
  if (!StillOurRecord(record)) {
    report.recordTaken = true;
    return true;
  }
  std::fill(record.begin(), record.end(), kRecordFill);
  if (!session.Write(offset, record, errorCode)) return false;
  report.written.push_back({offset, record.size(), OverwrittenRange::Fill::RecordOnes});
  report.recordOverwritten = true;
  return true;
}

// Whether an entry still names the located file: all of a long-name slot;
// of a short entry its name, its directory bit and its first cluster. Its
// times and archive bit may change after the locate (the in-place pass
// writes the file, and a driver may put that on the volume late), which
// makes it no other file's.
bool NamesTheLocatedFile(std::span<const std::uint8_t> now, const FatEntryPlace& place) {
  using fat::kAttributes, fat::kClusterHigh, fat::kClusterLow;
  constexpr std::uint8_t kLongNameSlot = fat::kAttributeLongName, kDirectory = fat::kAttributeDirectory;
  auto same = [&](std::size_t from, std::size_t to) {
    return std::equal(now.begin() + from, now.begin() + to, place.bytes.begin() + from);
  };
  if (place.bytes[kAttributes] == kLongNameSlot) return same(1, kFatEntrySize);
  return same(1, kAttributes) && ((now[kAttributes] ^ place.bytes[kAttributes]) & kDirectory) == 0 &&
         now[kAttributes] != kLongNameSlot && same(kClusterHigh, kClusterHigh + 2) && same(kClusterLow, kClusterLow + 2);
}

// Deleted: the mark, or a zero as some drivers leave (an end of the directory).
bool IsLeftAsDeleted(std::span<const std::uint8_t> now, const FatEntryPlace& place) {
  return (now[0] == kDeletedMark || now[0] == 0) && NamesTheLocatedFile(now, place);
}

// Reads a directory sector once the deletion shows in it. A file system may
// put the deletion on the volume a little after it has answered that the file
// is gone (a FUSE daemon that keeps sectors in a cache of its own writes them
// when it next flushes it, which may be while it answers a later request): an
// entry that still names the located file and is not marked deleted is read
// again for a while before it counts as another file's.
// `pending` tells, of the sector as read, whether an entry still waits for
// the deletion.
bool ReadDeletedEntries(RawSession& session, std::uint64_t offset, std::span<std::uint8_t, kSectorSize> sector,
                        const std::function<bool(std::span<const std::uint8_t>)>& pending, std::int32_t& errorCode) {
  constexpr auto kPause = std::chrono::milliseconds(20);
  constexpr int kTries = 500;  // ten seconds: a daemon on a loaded machine may take that long
  for (int attempt = 0;; ++attempt) {
    if (!session.Read(offset, sector, errorCode)) return false;
    if (!pending(sector) || attempt == kTries) return true;
    std::this_thread::sleep_for(kPause);
  }
}

// One sector of the allocation data (the FAT, exFAT's bitmap), kept between
// questions until another sector is asked for or it is forgotten.
class AllocationSector {
 public:
  std::optional<std::span<const std::uint8_t>> Get(RawSession& session, std::uint64_t sector,
                                                   std::int32_t& errorCode) {
    if (sector != number_) {
      if (!session.Read(sector * kSectorSize, bytes_, errorCode)) return std::nullopt;
      number_ = sector;
    }
    return std::span<const std::uint8_t>(bytes_);
  }
  void Forget() { number_ = UINT64_MAX; }

 private:
  std::array<std::uint8_t, kSectorSize> bytes_{};
  std::uint64_t number_ = UINT64_MAX;
};

// Zeros the clusters (in file order) that the allocation data shows free, in
// stretches that follow each other on the volume, the allocation data read
// afresh before each stretch; counts those in use as taken and those with no
// place on the volume as not located. isFree gives nullopt when its read
// failed (errorCode set). False as for WriteZeros, or when a read failed.
bool ZeroFreeStretches(RawSession& session, const std::vector<std::uint32_t>& clusters, std::uint64_t clusterBytes,
                       AllocationSector& allocation, const std::function<std::optional<bool>(std::uint32_t)>& isFree,
                       const std::function<std::optional<std::uint64_t>(std::uint32_t)>& offsetOf,
                       ShredReport& report, std::int32_t& errorCode) {
  for (std::size_t i = 0; i < clusters.size();) {
    allocation.Forget();
    std::optional<bool> free = isFree(clusters[i]);
    if (!free) return false;
    if (!*free) {
      ++report.clustersTaken;
      ++i;
      continue;
    }
    // A stretch of clusters that follow each other on the volume, all free.
    std::size_t end = i + 1;
    while (end < clusters.size() && clusters[end] == clusters[end - 1] + 1) {
      std::optional<bool> next = isFree(clusters[end]);
      if (!next) return false;
      if (!*next) break;
      ++end;
    }
    // A cluster with no place on the volume is reported, not written; the
    // rest of the file still is.
    std::optional<std::uint64_t> offset = offsetOf(clusters[i]);
    if (!offset) {
      report.clustersNotLocated += end - i;
      i = end;
      continue;
    }
    if (!WriteZeros(session, *offset, (end - i) * clusterBytes, report, errorCode)) return false;
    report.clustersZeroed += end - i;
    i = end;
  }
  return true;
}

// The clusters a file's length needs that the locate did not find.
std::uint64_t MissingClusters(std::uint64_t length, std::uint64_t clusterBytes, std::size_t located) {
  if (clusterBytes == 0) return 0;
  const std::uint64_t needed = length / clusterBytes + (length % clusterBytes != 0);
  return needed - std::min<std::uint64_t>(needed, located);
}

// The file's size, for the size limit; 0 when it cannot be measured (a file
// that cannot be opened has no length to refuse).
std::uint64_t MeasuredSize(std::u16string_view path) {
  platform::SystemError ignored;
  return platform::FileSizeAt(path, ignored).value_or(0);
}

// Zeros the file's bytes through the file system before it is deleted: where
// the raw volume refuses writes (a system volume), this pass is what remains.
// On NTFS only the stretches that have clusters are written; writing into a
// sparse stretch would allocate clusters the file never had.
std::vector<platform::ByteRange> AllocatedRanges(const MftRecord& data) {
  const std::uint64_t clusterBytes = ClusterBytes(LocatedFile.volume);
  std::vector<platform::ByteRange> ranges;
  std::uint64_t fileOffset = 0;
  for (const DataRun& run : data.runs) {
    if (clusterBytes == 0 || run.clusterCount > (UINT64_MAX - fileOffset) / clusterBytes) break;  // past any file
    const std::uint64_t bytes = run.clusterCount * clusterBytes;
    if (!run.sparse) ranges.push_back({fileOffset, bytes});
    fileOffset += bytes;
  }
  return ranges;
}

// What the in-place pass writes of NTFS data: the stretches that have
// clusters.
std::optional<std::vector<platform::ByteRange>> InPlaceRanges(const MftRecord& data) {
  if (data.isResident) return std::nullopt;
  return AllocatedRanges(data);
}

// Compressed data is not overwritten through the file system but cut to
// nothing: a write into a compression unit has the unit decompressed and
// written out afresh into clusters that are free again once it is
// compressed, so zeros written in place leave copies of the data where no
// locate finds them. Cut, the clusters are given back as they are, and the
// raw pass overwrites them.
bool IsCompressed(const MftRecord& data) { return !data.isResident && data.compressionUnit != 0; }

void ZeroInPlace(const std::u16string& path, ShredReport& report) {
  platform::SystemError ignored;
  const bool ntfs = LocatedFile.volume.kind == kFileSystemNtfs;
  if (ntfs && IsCompressed(LocatedFile.record)) {
    report.cutInPlace = platform::TruncateFileAt(path, ignored);
    report.inPlaceFailed = !report.cutInPlace;
  } else {
    std::optional<std::uint64_t> zeroed =
        platform::OverwriteWithZeros(path, ntfs ? InPlaceRanges(LocatedFile.record) : std::nullopt, ignored);
    report.zeroedInPlace = zeroed.value_or(0);
    report.inPlaceFailed = !zeroed;
  }
  // Named streams, where the file system shows them as "file:stream" (Windows,
  // ntfs-3g with streams_interface=windows). Only a path that opens the same
  // file is written: elsewhere "file:stream" may name another file. The raw
  // pass covers them either way.
  std::optional<platform::FileIdentity> file = platform::IdentifyFile(path, ignored);
  for (const MftRecord& stream : LocatedFile.namedStreams) {
    const std::u16string streamPath = path + u":" + stream.name;
    std::optional<platform::FileIdentity> opened = platform::IdentifyFile(streamPath, ignored);
    if (!file || !opened || opened->fileIndex != file->fileIndex) continue;
    if (IsCompressed(stream)) platform::TruncateFileAt(streamPath, ignored);
    else report.zeroedInPlace += platform::OverwriteWithZeros(streamPath, InPlaceRanges(stream), ignored).value_or(0);
  }
}

// The extents of the data and the named streams.
std::vector<DataRun> AllRuns(const LocatedFileData& file) {
  std::vector<DataRun> runs = file.record.runs;
  for (const MftRecord& stream : file.namedStreams) runs.insert(runs.end(), stream.runs.begin(), stream.runs.end());
  return runs;
}

// Where the data lies after the in-place pass: a file system may have
// written it into new clusters rather than over the old ones (ntfs-3g does
// with compressed data), and the raw pass overwrites both.
void LocateAfterInPlace(char driveLetter) {
  std::int32_t ignored = error_code::kNone;
  std::optional<LocatedFileData> now = LocateAgain(driveLetter, ignored);
  if (now && now->recordNumber == LocatedFile.recordNumber) LocatedFile.laterRuns = AllRuns(*now);
}

// Gives the file a few random names as long as its own before it is deleted:
// the folder's index keeps, past its entries, copies of names its entries
// had, and those are then not the file's. The path the file has at the end.
std::u16string RenameAway(const std::u16string& path) {
  constexpr int kRenames = 3;
  constexpr std::u16string_view kLetters = u"abcdefghijklmnopqrstuvwxyz0123456789";
  const std::size_t folderEnd = path.find_last_of(u'\\') + 1;
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
  std::u16string current = path;
  for (int i = 0; i < kRenames; ++i) {
    std::u16string next = path.substr(0, folderEnd);
    for (std::size_t n = folderEnd; n < path.size(); ++n) next += kLetters[pick(random)];
    platform::SystemError ignored;
    if (platform::RenameFileAt(current, next, ignored)) current = std::move(next);
  }
  return current;
}

// Whether the file open under the path is the one the locate found, with no
// other name that still shows its data; code 19 with the reason when not.
bool IsTheLocatedFile(const std::u16string& path, std::int32_t& errorCode) {
  platform::SystemError error;
  std::optional<platform::FileIdentity> file = platform::IdentifyFile(path, error);
  if (!file) {
    ReportSystemError(error, error_code::kShredSystemError, errorCode);
    return false;
  }
  const std::uint16_t language = UiLanguage;
  auto refuse = [&](std::u16string_view why) {
    LastSystemErrorText.Set(std::u16string(why));
    errorCode = error_code::kShredSystemError;
    return false;
  };
  if (LocatedFile.volume.kind == kFileSystemNtfs) {
    // The record's own names count the links: a system may count a long
    // name's DOS alias as one more (ntfs-3g does).
    if (LocatedFile.linkNames > 1) return refuse(OtherNamesRefusal(language));
    // The file index of an NTFS file is its file reference; its low 48 bits
    // are the record number (and the inode number under ntfs-3g).
    if (ntfs::RecordNumberOf(file->fileIndex) != LocatedFile.recordNumber || file->size != LocatedFile.record.realSize)
      return refuse(NotTheLocatedFileRefusal(language));
  } else {
    const std::uint64_t located = LocatedFile.volume.kind == kFileSystemExfat ? LocatedFile.exfatStream.dataLength
                                                                              : LocatedFile.fileSize;
    if (file->linkCount > 1) return refuse(OtherNamesRefusal(language));
    if (file->size != located) return refuse(NotTheLocatedFileRefusal(language));
  }
  return true;
}

// Whether the raw volume opens for writing; code 19 with the system's text
// when it does not. Asked before the file is touched, so that a user who may
// not write the volume keeps the file rather than losing it half-shredded.
bool CanWriteVolume(char driveLetter, std::int32_t& errorCode) {
  platform::SystemError error;
  platform::VolumeDevice device = platform::VolumeDevice::Open(driveLetter, platform::DeviceAccess::ReadWrite, error);
  if (device.IsOpen()) return true;
  ReportSystemError(error, error_code::kShredSystemError, errorCode);
  LastSystemErrorText.Set(LastSystemErrorText.Get() + std::u16string(VolumeNotWritableRefusal(UiLanguage)));
  return false;
}

// Deletes the file through its file system; code 19 with the system's text
// when it cannot.
bool DeleteChosenFile(const std::u16string& path, ShredReport& report, std::int32_t& errorCode) {
  platform::SystemError error;
  if (!platform::DeleteFileAt(path, error)) {
    ReportSystemError(error, error_code::kShredSystemError, errorCode);
    return false;
  }
  report.deleted = true;
  return true;
}

}  // namespace

void ScrubFatEntry(std::span<std::uint8_t, 32> entry) {
  entry[0] = kDeletedMark;
  std::fill(entry.begin() + 1, entry.begin() + fat::kAttributes, 0x01);  // the 8.3 name
  // The times and the high cluster word; attributes, case flags and the low cluster word stay.
  std::fill(entry.begin() + fat::kCreatedTime, entry.begin() + fat::kClusterLow, 0x01);
  std::fill(entry.begin() + fat::kFileSize, entry.end(), 0x00);
}

bool ExfatEntryNamesTheFile(std::span<const std::uint8_t, 32> now, std::span<const std::uint8_t, 32> located) {
  using exfat::kInUse;
  if ((now[0] | kInUse) != (located[0] | kInUse)) return false;
  auto same = [&](std::size_t from, std::size_t to) {
    return std::equal(now.begin() + from, now.begin() + to, located.begin() + from);
  };
  // A stream extension's lengths and flags may change with the in-place
  // pass and the deletion; its name's length and hash stay.
  if ((located[0] | kInUse) == exfat::kTypeStream) return same(exfat::kNameLength, exfat::kNameHash + 2);
  return same(1, exfat::kEntrySize);
}

bool ExfatEntryLeftAsDeleted(std::span<const std::uint8_t, 32> now, std::span<const std::uint8_t, 32> located) {
  return (now[0] & exfat::kInUse) == 0 && ExfatEntryNamesTheFile(now, located);
}

void ZeroExfatEntry(std::span<std::uint8_t, 32> entry, std::size_t nameEntries) {
  // The type stays: a zero there would end the directory, and the entries
  // after it (other files') with it.
  std::fill(entry.begin() + 1, entry.end(), 0x00);
  // A stream extension keeps a name length, the units its name entries hold,
  // as the set's size already tells: readers stop at a name of none (The
  // Sleuth Kit aborts).
  if ((entry[0] | exfat::kInUse) == exfat::kTypeStream)
    entry[exfat::kNameLength] =
        static_cast<std::uint8_t>(std::min(exfat::kMaxNameLength, nameEntries * exfat::kUnitsPerNameEntry));
}

bool ShredLocatedFile(char driveLetter, std::int32_t& errorCode, ShredReport* reportOut, ShredMode mode) {
  ShredReport scratch;
  ShredReport& report = reportOut ? *reportOut : scratch;
  report = {};
  const std::u16string path = ShredFilePath.Get();
  const FileSystem kind = LocatedFile.volume.kind;
  // No locate, or one of another file system: nothing may be written.
  if (kind != kFileSystemNtfs && kind != kFileSystemFat32 && kind != kFileSystemExfat) {
    errorCode = error_code::kUnrecognizedFileSystem;
    return false;
  }
  if (kind == kFileSystemNtfs) {
    if (MeasuredSize(path) > MaxShredFileSize) {
      errorCode = error_code::kFileTooLargeToShred;
      return false;
    }
    const bool notLocated = LocatedFile.dataNotLocated == 1;
    LocatedFile.dataNotLocated = 0;
    if (notLocated) {
      const std::uint16_t language = UiLanguage;
      int answer = ShowPrompt(ShredPageWindow, NotLocatedQuestion(language), NotLocatedCaption(language),
                              PromptButtons::YesNo);
      if (answer != kPromptYes) {
        report.declined = true;  // the caller goes back to before a file was chosen
        return true;
      }
      if (!DeleteChosenFile(path, report, errorCode)) return false;
      report.deletedWithoutOverwrite = true;
      return true;
    }
  }
  // Nothing is written until the file proves to be the located one and the
  // raw volume may be written.
  if (!IsTheLocatedFile(path, errorCode)) return false;
  if (mode == ShredMode::Full && !CanWriteVolume(driveLetter, errorCode)) return false;
  // Its result is report.inPlaceFailed (the named streams' are best effort:
  // the raw pass writes their clusters).
  ZeroInPlace(path, report);
  std::u16string finalPath = path;
  if (kind == kFileSystemNtfs) {
    // Best effort, both: without the second locate the raw pass writes the
    // clusters the first one found; a rename that fails leaves the name the
    // file has, which the deletion then takes.
    if (mode == ShredMode::Full) LocateAfterInPlace(driveLetter);
    // FAT32 and exFAT keep their entries where they are: the located ones are scrubbed.
    finalPath = RenameAway(path);
  }
  // A file that is still there still owns its clusters and entries: the
  // overwrite would find nothing of its own to write, and no shred happened.
  if (!DeleteChosenFile(finalPath, report, errorCode)) return false;
  if (mode == ShredMode::InPlaceOnly) {
    report.rawPassSkipped = true;
    return true;
  }
  // The raw pass ends early with a code (a failure), or without one when
  // leaving the program stopped it (report.interrupted); what it passed over
  // is counted in the report.
  if (kind == kFileSystemNtfs) OverwriteNtfsData(driveLetter, errorCode, report);
  else if (kind == kFileSystemExfat) ShredExfatFile(driveLetter, errorCode, report);
  else ShredFatFile(driveLetter, errorCode, report);
  return errorCode == error_code::kNone;
}

bool OverwriteNtfsData(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  // Resident data, and resident streams, go with the record.
  ZeroNtfsRuns(driveLetter, errorCode, report);
  if (errorCode == error_code::kNone) return true;
  LastSystemErrorText.Set(std::u16string(OverwriteFailurePrefix(UiLanguage)) + LastSystemErrorText.Get());
  return false;
}

namespace {
bool ZeroNamesPastFolderEntries(char driveLetter, RawSession& session, ShredReport& report, std::int32_t& errorCode);
}  // namespace

bool ZeroNtfsRuns(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  const BootSectorFacts& facts = LocatedFile.volume;
  RawSession session;
  if (!session.Open(driveLetter, errorCode, report)) return false;
  ClusterBitmap bitmap;
  if (!bitmap.Load(session, facts, errorCode)) return false;
  const std::uint64_t volumeClusters = facts.geometry.totalSectors / std::max<std::uint32_t>(1, facts.geometry.sectorsPerCluster);
  std::vector<DataRun> runs = AllRuns(LocatedFile);
  runs.insert(runs.end(), LocatedFile.laterRuns.begin(), LocatedFile.laterRuns.end());
  for (const DataRun& run : DistinctClusters(runs)) {
    std::uint64_t first = run.startCluster;
    std::uint64_t count = run.clusterCount;
    if (first >= volumeClusters) {
      report.clustersNotLocated += count;
      continue;
    }
    if (count > volumeClusters - first) {
      report.clustersNotLocated += count - (volumeClusters - first);
      count = volumeClusters - first;
    }
    if (!ZeroFreeClusters(session, bitmap, facts, first, count, report, errorCode))
      return errorCode == error_code::kNone;  // stopped (report.interrupted): the record is left
  }
  if (!session.Finish(errorCode)) return false;
  if (!OverwriteRecord(session, report, errorCode)) return false;
  for (const ExtensionRecordPlace& place : LocatedFile.extensionRecords)
    if (!OverwriteExtensionRecord(session, place, report, errorCode)) return false;
  if (!session.Finish(errorCode)) return false;
  return ZeroNamesPastFolderEntries(driveLetter, session, report, errorCode);
}

namespace {

// Deleting the file's entry (and the renames before it) moves the folder's
// other entries over it, and its bytes are left past the entries that
// remain, where whoever reads the index blocks whole finds its name.
bool ZeroNamesPastFolderEntries(char driveLetter, RawSession& session, ShredReport& report, std::int32_t& errorCode) {
  std::int32_t code = error_code::kNone;
  std::optional<std::vector<IndexSectorPatch>> patches = NamesPastFolderEntries(
      driveLetter, LocatedFile.volume, LocatedFile.parentRecord, LocatedFile.names, code);
  if (!patches) return true;  // the count after the shred tells what is left
  std::vector<std::uint8_t> now(kSectorSize);
  for (const IndexSectorPatch& patch : *patches) {
    if (!session.Read(patch.offset, now, errorCode)) return false;
    if (now != patch.before) continue;  // the file system changed the block since: not ours to write
    if (!session.Write(patch.offset, patch.after, errorCode)) return false;
    ++report.entriesScrubbed;
  }
  return session.Finish(errorCode);
}

}  // namespace

bool ShredFatFile(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  if (!ZeroFatData(driveLetter, errorCode, report)) return false;
  if (report.interrupted) return true;
  return ScrubFatDirectoryEntries(driveLetter, errorCode, report);
}

bool ZeroFatData(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  const BootSectorFacts& facts = LocatedFile.volume;
  const std::uint64_t clusterBytes = ClusterBytes(facts);
  report.clustersNotLocated += MissingClusters(LocatedFile.fileSize, clusterBytes, LocatedFile.clusters.size());
  if (LocatedFile.clusters.empty()) return true;  // an empty file has no data
  RawSession session;
  if (!session.Open(driveLetter, errorCode, report)) return false;
  AllocationSector fatSector;
  // Whether the first FAT now shows a cluster free, as the deletion left it.
  auto isFree = [&](std::uint32_t cluster) -> std::optional<bool> {
    const std::optional<fat::FatLinkPlace> place = fat::FatLinkPlaceOf(facts, cluster);
    if (!place) return false;
    std::optional<std::span<const std::uint8_t>> sector = fatSector.Get(session, place->sector, errorCode);
    if (!sector) return std::nullopt;
    return (*ByteReader(*sector).U32(place->offset) & kFatEntryMask) == 0;
  };
  auto offsetOf = [&](std::uint32_t cluster) -> std::optional<std::uint64_t> {
    std::optional<std::uint32_t> sector = FatClusterSector(facts, cluster);
    if (!sector) return std::nullopt;
    return std::uint64_t{*sector} * kSectorSize;
  };
  if (!ZeroFreeStretches(session, LocatedFile.clusters, clusterBytes, fatSector, isFree, offsetOf, report, errorCode))
    return errorCode == error_code::kNone;  // stopped: report.interrupted
  return session.Finish(errorCode);
}

bool ScrubFatDirectoryEntries(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  std::map<std::uint32_t, std::vector<const FatEntryPlace*>> bySector;
  for (const FatEntryPlace& place : LocatedFile.entries) bySector[place.sector].push_back(&place);
  if (bySector.empty()) return true;
  RawSession session;
  if (!session.Open(driveLetter, errorCode, report)) return false;
  for (const auto& group : bySector) {
    // Named, not bound: lambdas below capture them (clang 14 takes no bindings).
    const auto sectorNumber = group.first;
    const auto& places = group.second;
    std::array<std::uint8_t, kSectorSize> sector{};
    const std::uint64_t offset = std::uint64_t{sectorNumber} * kSectorSize;
    auto pending = [&](std::span<const std::uint8_t> now) {
      return std::any_of(places.begin(), places.end(), [&](const FatEntryPlace* place) {
        std::span<const std::uint8_t> entry = now.subspan(place->index * kFatEntrySize, kFatEntrySize);
        return entry[0] == place->bytes[0] && NamesTheLocatedFile(entry, *place);
      });
    };
    if (!ReadDeletedEntries(session, offset, sector, pending, errorCode)) return false;
    std::vector<std::uint16_t> scrubbed;
    for (const FatEntryPlace* place : places) {
      std::span<std::uint8_t, kFatEntrySize> entry(sector.data() + place->index * kFatEntrySize, kFatEntrySize);
      // An entry that is not left as the deletion left it belongs to a file
      // made since.
      if (!IsLeftAsDeleted(entry, *place)) {
        ++report.entriesTaken;
        continue;
      }
      ScrubFatEntry(entry);
      scrubbed.push_back(place->index);
    }
    if (scrubbed.empty()) continue;
    if (!session.Write(offset, sector, errorCode)) return false;
    for (std::uint16_t index : scrubbed)
      report.written.push_back({offset + std::uint64_t{index} * kFatEntrySize, kFatEntrySize,
                                OverwrittenRange::Fill::FatEntryScrub});
    report.entriesScrubbed += static_cast<std::uint32_t>(scrubbed.size());
  }
  return session.Finish(errorCode);
}

bool ShredExfatFile(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  if (!ZeroExfatData(driveLetter, errorCode, report)) return false;
  if (report.interrupted) return true;
  return ZeroExfatEntrySet(driveLetter, errorCode, report);
}

bool ZeroExfatData(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  const ExfatFacts& facts = LocatedFile.exfatVolume;
  const std::uint64_t clusterBytes = facts.ClusterBytes();
  report.clustersNotLocated +=
      MissingClusters(LocatedFile.exfatStream.dataLength, clusterBytes, LocatedFile.clusters.size());
  if (LocatedFile.clusters.empty()) return true;  // an empty file has no data
  RawSession session;
  if (!session.Open(driveLetter, errorCode, report)) return false;
  const std::vector<std::uint32_t>& bitmapClusters = LocatedFile.exfatBitmapClusters;
  AllocationSector bitmapSector;
  // Whether the allocation bitmap now shows a cluster free; without a
  // bitmap nothing is.
  auto isFree = [&](std::uint32_t cluster) -> std::optional<bool> {
    if (!facts.HasCluster(cluster)) return false;
    const std::uint64_t bit = exfat::ClusterIndex(cluster);
    const std::uint64_t byte = bit / 8;
    if (byte / clusterBytes >= bitmapClusters.size()) return false;
    const std::uint64_t at = *facts.ClusterOffset(bitmapClusters[byte / clusterBytes]) + byte % clusterBytes;
    std::optional<std::span<const std::uint8_t>> sector = bitmapSector.Get(session, at / kSectorSize, errorCode);
    if (!sector) return std::nullopt;
    return ((*sector)[at % kSectorSize] >> (bit % 8) & 1) == 0;
  };
  auto offsetOf = [&](std::uint32_t cluster) { return facts.ClusterOffset(cluster); };
  if (!ZeroFreeStretches(session, LocatedFile.clusters, clusterBytes, bitmapSector, isFree, offsetOf, report,
                         errorCode))
    return errorCode == error_code::kNone;  // stopped: report.interrupted
  return session.Finish(errorCode);
}

bool ZeroExfatEntrySet(char driveLetter, std::int32_t& errorCode, ShredReport& report) {
  // The stream extension and the name entries; the file entry holds neither
  // a name nor a cluster, and is left as the deletion left it.
  std::map<std::uint64_t, std::vector<const ExfatEntryPlace*>> bySector;
  const std::vector<ExfatEntryPlace>& entries = LocatedFile.exfatEntries;
  for (std::size_t i = 1; i < entries.size(); ++i) bySector[entries[i].offset / kSectorSize].push_back(&entries[i]);
  if (bySector.empty()) return true;
  RawSession session;
  if (!session.Open(driveLetter, errorCode, report)) return false;
  for (const auto& group : bySector) {
    // Named, not bound: lambdas below capture them (clang 14 takes no bindings).
    const auto sectorNumber = group.first;
    const auto& places = group.second;
    std::array<std::uint8_t, kSectorSize> sector{};
    const std::uint64_t offset = sectorNumber * kSectorSize;
    auto entryAt = [&](std::span<std::uint8_t> bytes, const ExfatEntryPlace* place) {
      return std::span<std::uint8_t, exfat::kEntrySize>(bytes.data() + (place->offset - offset), exfat::kEntrySize);
    };
    auto pending = [&](std::span<const std::uint8_t> now) {
      return std::any_of(places.begin(), places.end(), [&](const ExfatEntryPlace* place) {
        std::span<const std::uint8_t, exfat::kEntrySize> entry(now.data() + (place->offset - offset),
                                                               exfat::kEntrySize);
        return entry[0] == place->bytes[0] && ExfatEntryNamesTheFile(entry, place->bytes);
      });
    };
    if (!ReadDeletedEntries(session, offset, sector, pending, errorCode)) return false;
    std::vector<const ExfatEntryPlace*> zeroed;
    for (const ExfatEntryPlace* place : places) {
      std::span<std::uint8_t, exfat::kEntrySize> entry = entryAt(sector, place);
      // An entry in use again, or holding another name, is another file's.
      if (!ExfatEntryLeftAsDeleted(entry, place->bytes)) {
        ++report.entriesTaken;
        continue;
      }
      ZeroExfatEntry(entry, entries.size() - 2);
      zeroed.push_back(place);
    }
    if (zeroed.empty()) continue;
    if (!session.Write(offset, sector, errorCode)) return false;
    for (const ExfatEntryPlace* place : zeroed)
      report.written.push_back({place->offset, exfat::kEntrySize, OverwrittenRange::Fill::ExfatEntryZeros});
    report.entriesScrubbed += static_cast<std::uint32_t>(zeroed.size());
  }
  return session.Finish(errorCode);
}

bool VerifyOverwrite(char driveLetter, const ShredReport& report, std::vector<OverwrittenRange>& mismatched,
                     std::int32_t& errorCode) {
  platform::SystemError error;
  platform::VolumeDevice device = platform::VolumeDevice::Open(driveLetter, platform::DeviceAccess::Read, error);
  if (!device.IsOpen()) {
    ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
    return false;
  }
  std::array<std::uint8_t, kFatEntrySize> scrub{};
  ScrubFatEntry(scrub);
  std::vector<std::uint8_t> bytes;
  for (const OverwrittenRange& range : report.written) {
    bool good = true;
    for (std::uint64_t done = 0; done < range.length && good;) {
      const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(range.length - done, kWriteBlock));
      bytes.resize(chunk);
      if (!device.ReadAt(range.offset + done, bytes, error)) {
        ReportSystemError(error, error_code::kSectorReadFailed, errorCode);
        return false;
      }
      switch (range.fill) {
        case OverwrittenRange::Fill::Zeros:
          good = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
          break;
        case OverwrittenRange::Fill::RecordOnes:
          good = std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == kRecordFill; });
          break;
        case OverwrittenRange::Fill::FatEntryScrub:
          for (std::size_t i = 0; i < bytes.size() && i < scrub.size(); ++i) {
            const bool kept = (i >= fat::kAttributes && i < fat::kCreatedTime) ||
                              (i >= fat::kClusterLow && i < fat::kFileSize);  // left as they were
            if (!kept && bytes[i] != scrub[i]) good = false;
          }
          break;
        case OverwrittenRange::Fill::ExfatEntryZeros: {
          const bool stream = (bytes[0] | exfat::kInUse) == exfat::kTypeStream;
          good = (bytes[0] & exfat::kInUse) == 0 && bytes[0] != 0;
          for (std::size_t i = 1; i < bytes.size(); ++i)
            if (bytes[i] != 0 && !(stream && i == exfat::kNameLength)) good = false;
          break;
        }
      }
      done += chunk;
    }
    if (!good) mismatched.push_back(range);
  }
  return true;
}

std::optional<std::uint32_t> CountNameTraces(char driveLetter, std::int32_t& errorCode) {
  return CountNamesInFolder(driveLetter, LocatedFile.volume, LocatedFile.parentRecord, LocatedFile.names, errorCode);
}

}  // namespace corvanel
