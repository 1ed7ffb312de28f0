// The deleted-file scan.
#include "volume/deleted_file_scan.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "volume/byte_reader.h"
#include "volume/chain_guard.h"
#include "volume/raw_volume.h"

namespace corvanel {

std::vector<MftRecord> NtfsDeletedFiles;
std::map<std::int32_t, MftRecord> NtfsDeletedFileIndex;
std::vector<FatDeletedEntry> FatDeletedFiles;
std::map<std::int32_t, FatDeletedEntry> FatDeletedFileIndex;
std::uint32_t ScanDamagedDirectories = 0;
MftRecord ScanCurrentRecord;
BootSectorFacts ScannedVolume;
char ScannedDriveLetter = 0;

namespace {

constexpr std::uint64_t kFirstUserRecordSector = 48;  // record 24, after the system records
constexpr std::uint64_t kSectorsPerRecord = kFileRecordSize / kSectorSize;
constexpr int kBlankRecordsAtEnd = 1000;
constexpr std::uint64_t kBatchSectors = 2048;  // 1 MiB of records per read
constexpr std::size_t kRecordFlags = 0x16;

// Reads MFT records in large batches, record by record in effect: every
// record comes out as a read of its own two sectors would give it.
class RecordReader {
 public:
  RecordReader(RawVolume& volume, const MftLayout& layout) : volume_(volume), layout_(layout) {}

  // The record at an MFT sector offset, or nullptr with errorCode set.
  const std::uint8_t* Read(std::uint64_t mftSector, std::uint64_t limit, std::int32_t& errorCode) {
    if (mftSector >= first_ && mftSector + kSectorsPerRecord <= first_ + count_)
      return buffer_.data() + (mftSector - first_) * kSectorSize;
    MftLayout::Place place = layout_.Locate(mftSector);
    std::uint64_t wanted = std::min({kBatchSectors, place.contiguous, std::max(limit - mftSector, kSectorsPerRecord)});
    wanted = std::max(wanted, kSectorsPerRecord);
    buffer_.resize(wanted * kSectorSize);
    first_ = mftSector;
    count_ = 0;
    if (place.sparse) {
      std::fill(buffer_.begin(), buffer_.end(), 0);
    } else if (!ReadRun(place.sector, wanted, errorCode)) {
      // The batch may reach past the volume's end where the record does not.
      if (wanted == kSectorsPerRecord || !ReadRun(place.sector, kSectorsPerRecord, errorCode)) return nullptr;
      wanted = kSectorsPerRecord;
    }
    count_ = wanted;
    return buffer_.data();
  }

 private:
  bool ReadRun(std::uint64_t sector, std::uint64_t sectors, std::int32_t& errorCode) {
    if (sector + sectors > 0x100000000ull) {
      errorCode = error_code::kSectorReadFailed;
      return false;
    }
    std::int32_t code = error_code::kNone;
    if (!volume_.ReadSectors(static_cast<std::uint32_t>(sector), static_cast<std::uint16_t>(sectors), buffer_,
                             code)) {
      errorCode = code;
      return false;
    }
    return true;
  }

  RawVolume& volume_;
  const MftLayout& layout_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t first_ = 0;
  std::uint64_t count_ = 0;
};

// What record 0 ($MFT) says of the MFT itself.
struct MftSelf {
  std::vector<DataRun> runs;     // none when record 0 cannot be read or parsed
  std::uint64_t sizeSectors = 0;
};

MftSelf ReadMftSelf(RawVolume& volume, std::uint32_t mftStart) {
  std::array<std::uint8_t, kFileRecordSize> record{};
  std::int32_t ignored = 0;
  if (!volume.ReadSectors(mftStart, kSectorsPerRecord, record, ignored)) return {};
  if (ClassifyRecord(record) != RecordClass::File) return {};
  FixUpRecordSector(record);
  MftRecord mft;
  if (!ParseFileRecord(record, mft) || mft.isResident) return {};
  return {mft.runs, mft.realSize / kSectorSize};
}

void AddNtfsEntry(DeletedFilesView& view, TreeItem root) {
  NtfsDeletedFiles.push_back(ScanCurrentRecord);
  auto key = static_cast<std::int32_t>(NtfsDeletedFileIndex.size());
  NtfsDeletedFileIndex.emplace(key, ScanCurrentRecord);
  view.InsertItem(ScanCurrentRecord.name, kImageFile, kImageFile, root, NtfsDeletedFiles.size());
  if (NtfsDeletedFiles.size() == 1) view.Invalidate();
}

bool ScanNtfs(RawVolume& volume, const BootSectorFacts& facts, DeletedFilesView& view, TreeItem root,
              std::int32_t& errorCode) {
  MftSelf mft = ReadMftSelf(volume, facts.metadataStart);
  // An eighth of the volume stands in for the MFT's size; an MFT known to be
  // larger is read to its own end, which then ends the scan normally.
  std::uint64_t limit = facts.volumeSectors / 8;
  const bool endsWithTheMft = mft.sizeSectors > limit;
  if (endsWithTheMft) limit = mft.sizeSectors;
  if (limit <= kFirstUserRecordSector) {
    errorCode = error_code::kNoFileRecordFound;
    return false;
  }
  MftLayout layout(facts.metadataStart, facts.geometry.sectorsPerCluster, std::move(mft.runs));
  RecordReader reader(volume, layout);
  int blank = 0;
  std::array<std::uint8_t, kFileRecordSize> record;
  for (std::uint64_t offset = kFirstUserRecordSector; offset < limit;) {
    if (view.StopRequested()) return false;
    if (blank >= kBlankRecordsAtEnd) return true;
    const std::uint8_t* bytes = reader.Read(offset, limit, errorCode);
    if (!bytes) return false;
    switch (ClassifyRecord(std::span<const std::uint8_t, kFileRecordSize>(bytes, kFileRecordSize))) {
      case RecordClass::File:
        if (bytes[kRecordFlags] == 0) {  // neither in use nor a directory
          std::memcpy(record.data(), bytes, record.size());
          FixUpRecordSector(record);
          if (ParseFileRecord(record, ScanCurrentRecord)) AddNtfsEntry(view, root);
        }
        break;
      case RecordClass::PassOver:
        break;
      case RecordClass::Blank:
        ++blank;
        break;
      case RecordClass::LogRecords:
        offset += 4 * kSectorsPerRecord;
        continue;
      case RecordClass::EndOfMft:
        return true;
    }
    offset += kSectorsPerRecord;
  }
  if (endsWithTheMft) return true;
  errorCode = error_code::kNoFileRecordFound;
  return false;
}

}  // namespace

RecordClass ClassifyRecord(std::span<const std::uint8_t, kFileRecordSize> record) {
  ByteReader bytes(record);
  if (bytes.Matches(0, "FILE")) return RecordClass::File;
  const std::uint32_t head = *bytes.U32(0);
  if (head == 0x00000001 || bytes.Matches(0, "BAAD") || (record[0] == 0xFF && record[1] == 0xFF))
    return RecordClass::PassOver;
  if (record[0x39] == 0xFF && record[0x3A] == 0xFF) return RecordClass::Blank;
  if (head == 0x01010101) return RecordClass::PassOver;
  if (bytes.Matches(0, "RCRD")) return RecordClass::LogRecords;
  if (head == 0) return RecordClass::Blank;
  return RecordClass::EndOfMft;
}

MftLayout::MftLayout(std::uint64_t firstSector, std::uint32_t sectorsPerCluster, std::vector<DataRun> runs) {
  afterLast_ = firstSector;
  // A run list that leads back to sectors it mapped already is damaged from
  // there on: the MFT would be read round again.
  ChainGuard mapped(UINT64_MAX);
  for (const DataRun& run : runs) {
    std::uint64_t sectors = std::uint64_t{run.clusterCount} * sectorsPerCluster;
    if (sectors == 0) continue;
    bool sparse = run.startCluster == 0;
    std::uint64_t start = std::uint64_t{run.startCluster} * sectorsPerCluster;
    if (!sparse && !mapped.Take(start, sectors)) break;
    extents_.push_back({mappedSectors_, start, sectors, sparse});
    mappedSectors_ += sectors;
    if (!sparse) afterLast_ = start + sectors;
  }
  // An MFT whose extents do not begin where the boot sector says is not one
  // to trust: read it in one piece from the boot sector's place, as if no
  // extents were known.
  if (!extents_.empty() && (extents_.front().sparse || extents_.front().volumeSector != firstSector)) {
    extents_.clear();
    mappedSectors_ = 0;
    afterLast_ = firstSector;
  }
}

MftLayout::Place MftLayout::Locate(std::uint64_t mftSector) const {
  if (mftSector >= mappedSectors_) {
    return {afterLast_ + (mftSector - mappedSectors_), UINT64_MAX, false};
  }
  auto extent = std::upper_bound(extents_.begin(), extents_.end(), mftSector,
                                 [](std::uint64_t sector, const Extent& e) { return sector < e.mftSector; }) - 1;
  std::uint64_t into = mftSector - extent->mftSector;
  std::uint64_t left = extent->sectors - into;
  // The last extent runs on into what follows it, as the unfragmented MFT does.
  if (extent + 1 == extents_.end() && !extent->sparse) left = UINT64_MAX;
  return {extent->sparse ? 0 : extent->volumeSector + into, left, extent->sparse};
}

MftLayout ReadMftLayout(RawVolume& volume, const BootSectorFacts& facts) {
  return MftLayout(facts.metadataStart, facts.geometry.sectorsPerCluster, ReadMftSelf(volume, facts.metadataStart).runs);
}

bool ScanDeletedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode) {
  std::int32_t code = error_code::kNone;
  std::optional<BootSectorFacts> facts = ReadBootSector(driveLetter, code);
  TreeItem root = view.InsertItem(std::u16string(1, static_cast<char16_t>(driveLetter)), kImageVolume,
                                  kImageVolume, 0, 0);
  if (!facts) {
    if (code == error_code::kSectorReadFailed) {
      // Code 18 shows the system's text: give it the read's reason.
      ReportSystemError(RawVolume::LastReadFailure(), error_code::kScanSystemError, errorCode);
    } else {
      // An open failure's text is already there; a refused volume keeps its code.
      errorCode = code == error_code::kVolumeOpenFailed ? error_code::kScanSystemError : code;
    }
    return false;
  }
  ScannedVolume = *facts;
  ScannedDriveLetter = driveLetter;
  ScanDamagedDirectories = 0;
  RawVolume volume(driveLetter);
  if (facts->kind == kFileSystemNtfs) {
    NtfsDeletedFileIndex.clear();
    NtfsDeletedFiles.clear();
    ScanNtfs(volume, *facts, view, root, errorCode);
  } else {
    FatDeletedFileIndex.clear();
    FatDeletedFiles.clear();
    WalkFatDirectory(volume, *facts, facts->metadataStart, facts->rootCluster, view, root, errorCode,
                     ScanDamagedDirectories);
  }
  // An abort is no failure of the volume: it ends without a code.
  return errorCode == error_code::kNone;
}

}  // namespace corvanel
