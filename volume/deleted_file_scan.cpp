// The deleted-file scan.
#include "volume/deleted_file_scan.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "app/message_catalogue.h"
#include "app/progress_meter.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "volume/chain_guard.h"
#include "volume/raw_volume.h"

namespace corvanel {

std::vector<MftRecord> NtfsDeletedFiles;
std::map<std::int32_t, MftRecord> NtfsDeletedFileIndex;
std::vector<FatDeletedEntry> FatDeletedFiles;
std::map<std::int32_t, FatDeletedEntry> FatDeletedFileIndex;
std::uint32_t ScanDamagedDirectories = 0;
std::vector<UnreadableStretch> ScanUnreadableStretches;
BootSectorFacts ScannedVolume;
char ScannedDriveLetter = 0;

namespace {

constexpr std::uint64_t kFirstUserRecordSector = 48;  // record 24, after the system records
constexpr std::uint64_t kSectorsPerRecord = kFileRecordSize / kSectorSize;
constexpr int kBlankRecordsAtEnd = 1000;
constexpr std::uint64_t kBatchSectors = 2048;  // 1 MiB of records per read
constexpr std::size_t kMaxFolderDepth = 1024;
constexpr std::uint64_t kLargestAttributeList = 1 << 20;

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

void AddNtfsEntry(const MftRecord& parsed, DeletedFilesView& view, TreeItem root) {
  NtfsDeletedFiles.push_back(parsed);
  auto key = static_cast<std::int32_t>(NtfsDeletedFileIndex.size());
  NtfsDeletedFileIndex.emplace(key, parsed);
  view.InsertItem(parsed.name, kImageFile, kImageFile, root, NtfsDeletedFiles.size());
  if (NtfsDeletedFiles.size() == 1) view.Invalidate();
}

// Whether a record read for a file reference is still that file: its sequence
// number is the reference's, or one more after the file was deleted.
bool IsReferencedRecord(std::span<const std::uint8_t, kFileRecordSize> record, std::uint64_t reference) {
  const std::uint16_t sequence = *ByteReader(record).U16(ntfs::kRecordSequence);
  const std::uint16_t was = ntfs::SequenceOf(reference);
  const bool inUse = record[ntfs::kRecordFlags] & ntfs::kRecordInUse;
  return was == 0 || sequence == was || (!inUse && ntfs::SequenceFollows(sequence, was));
}

// The folders of the deleted files, from their parent references; each
// folder is read once per scan.
class FolderPaths {
 public:
  explicit FolderPaths(MftRecordSource& source) : source_(source) {}

  // "a/b" for a file whose parent is folder b in folder a in the root, ""
  // for the root; "?/" before the part that could be followed when a folder
  // on the way was reused since or is not a folder.
  std::u16string PathOf(std::uint64_t parentReference) {
    std::vector<std::uint64_t> chain;
    std::uint64_t reference = parentReference;
    std::u16string path;
    for (;;) {
      if (ntfs::RecordNumberOf(reference) == ntfs::kRootDirectoryRecord) break;
      if (auto known = paths_.find(reference); known != paths_.end()) {
        path = known->second;
        break;
      }
      std::optional<Folder> folder = Read(reference);
      if (!folder || chain.size() >= kMaxFolderDepth ||
          std::find(chain.begin(), chain.end(), reference) != chain.end()) {
        path.assign(1, u'?');
        break;
      }
      chain.push_back(reference);
      names_[reference] = folder->name;
      reference = folder->parent;
    }
    // Down again from where the walk stopped, remembering each folder's path.
    for (auto at = chain.rbegin(); at != chain.rend(); ++at) {
      if (!path.empty()) path += u'/';
      path += names_[*at];
      paths_[*at] = path;
    }
    if (path.size() == 1 && path[0] == u'?') path += u'/';
    return path;
  }

 private:
  struct Folder {
    std::u16string name;
    std::uint64_t parent = 0;
  };

  std::optional<Folder> Read(std::uint64_t reference) {
    std::array<std::uint8_t, kFileRecordSize> record{};
    std::int32_t ignored = 0;
    if (source_.Read(ntfs::RecordNumberOf(reference), record, ignored) != MftRecordSource::Outcome::Read)
      return std::nullopt;
    if (!(record[ntfs::kRecordFlags] & ntfs::kRecordIsDirectory) || !IsReferencedRecord(record, reference))
      return std::nullopt;
    MftRecord folder;
    ParseFileRecord(record, folder);  // a folder has no data: only its name is wanted
    if (folder.name.empty()) return std::nullopt;
    return Folder{folder.name, folder.parentReference};
  }

  MftRecordSource& source_;
  std::map<std::uint64_t, std::u16string> names_;
  std::map<std::uint64_t, std::u16string> paths_;
};

// Follows a deleted file's attribute list to the records that hold the
// pieces of its unnamed data, and puts the whole run list together. A piece
// in a record that was reused since (now in use, or another file's), or that
// cannot be read, ends the list there: the file is then partial.
void CompleteFromExtensions(RawVolume& volume, const BootSectorFacts& facts, MftRecordSource& source,
                            std::span<const std::uint8_t, kFileRecordSize> base, MftRecord& record) {
  std::vector<std::uint8_t> list = record.attributeList;
  if (list.empty() && record.attributeListSize > 0 && record.attributeListSize <= kLargestAttributeList)
    ReadRunBytes(volume, facts.geometry.sectorsPerCluster, record.attributeListRuns, record.attributeListSize, list);
  bool complete = true;
  std::vector<AttributeListEntry> entries = ReadAttributeList(list, complete);
  std::array<std::uint8_t, kFileRecordSize> bytes{};
  // The record an entry names, when it is still this file's: the base itself,
  // or an extension record not in use whose base is this record.
  auto holderOf = [&](const AttributeListEntry& entry) -> std::optional<std::span<const std::uint8_t, kFileRecordSize>> {
    if (ntfs::RecordNumberOf(entry.record) == record.recordNumber) return base;
    std::int32_t ignored = 0;
    if (source.Read(ntfs::RecordNumberOf(entry.record), bytes, ignored) != MftRecordSource::Outcome::Read ||
        (bytes[ntfs::kRecordFlags] & ntfs::kRecordInUse) ||
        ntfs::RecordNumberOf(*ByteReader(bytes).U64(ntfs::kBaseRecord)) != record.recordNumber)
      return std::nullopt;
    return bytes;
  };
  // A name moved out of a full base record: the first that is not a DOS alias.
  for (const AttributeListEntry& entry : entries) {
    if (!record.name.empty() || entry.type != ntfs::kTypeFileName) continue;
    std::optional<std::span<const std::uint8_t, kFileRecordSize>> holder = holderOf(entry);
    if (!holder) continue;
    ForEachAttribute(*holder, [&](const AttributeView& attribute) {
      if (attribute.type != ntfs::kTypeFileName || attribute.Id() != entry.attributeId) return true;
      std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue();
      std::optional<FileNameValue> name = value ? ReadFileNameValue(*value) : std::nullopt;
      if (name && name->nameSpace != ntfs::kDosNamespace) {
        record.name = name->name;
        record.parentReference = name->parent;
      }
      return false;
    });
  }
  std::vector<AttributeListEntry> pieces;
  for (AttributeListEntry& entry : entries)
    if (entry.type == ntfs::kTypeData && entry.name.empty()) pieces.push_back(std::move(entry));
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const AttributeListEntry& a, const AttributeListEntry& b) { return a.firstVcn < b.firstVcn; });
  if (pieces.empty()) {  // a list that cannot be read: what the base record holds is all there is
    record.extensionsMissing = !complete || !record.dataInBase;
    return;
  }
  std::vector<DataRun> runs;
  std::uint64_t nextVcn = 0;
  bool missing = !complete;
  for (const AttributeListEntry& entry : pieces) {
    std::optional<std::span<const std::uint8_t, kFileRecordSize>> found = holderOf(entry);
    if (!found) {
      missing = true;
      break;
    }
    std::span<const std::uint8_t, kFileRecordSize> holder = *found;
    std::optional<std::size_t> at;
    ForEachAttribute(holder, [&](const AttributeView& attribute) {
      if (attribute.type == ntfs::kTypeData && attribute.Id() == entry.attributeId && attribute.Name().empty())
        at = attribute.offset;
      return !at;
    });
    MftRecord piece;
    if (!at || !ParseDataAttribute(holder, static_cast<std::uint16_t>(*at), piece)) {
      missing = true;
      break;
    }
    if (piece.isResident) {  // small data, moved out of a full base record
      record.isResident = 1;
      record.residentData = std::move(piece.residentData);
      record.residentLength = piece.residentLength;
      record.realSize = piece.realSize;
      record.extensionsMissing = false;
      return;
    }
    if (ByteReader(holder).U64(*at + ntfs::kFirstVcn) != nextVcn) {
      missing = true;
      break;
    }
    if (nextVcn == 0) {  // the first piece carries the sizes
      record.realSize = piece.realSize;
      record.initializedSize = piece.initializedSize;
      record.dataSize = piece.dataSize;
      record.compressionUnit = piece.compressionUnit;
    }
    for (const DataRun& run : piece.runs) {
      runs.push_back(run);
      nextVcn += run.clusterCount;
    }
    if (!piece.runsComplete) {
      missing = true;
      break;
    }
  }
  record.isResident = 0;
  record.runs = std::move(runs);
  record.runStart.fill(0);
  record.runLength.fill(0);
  for (std::size_t i = 0; i < kMaxDataRuns && i < record.runs.size(); ++i) {
    record.runStart[i] = static_cast<std::uint32_t>(record.runs[i].startCluster);
    record.runLength[i] = static_cast<std::uint32_t>(record.runs[i].clusterCount);
  }
  record.extensionsMissing = missing;
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
  MftRecordSource source(volume, layout);
  FolderPaths folders(source);
  int blank = 0;
  std::array<std::uint8_t, kFileRecordSize> record;
  MftRecord parsed;
  SetProgressTotal((limit - kFirstUserRecordSector) / kSectorsPerRecord);  // records
  for (std::uint64_t offset = kFirstUserRecordSector; offset < limit;) {
    if (view.StopRequested()) return false;
    if (blank >= kBlankRecordsAtEnd) return true;
    const std::uint8_t* bytes = reader.Read(offset, limit, errorCode);
    if (!bytes) return false;
    switch (ClassifyRecord(std::span<const std::uint8_t, kFileRecordSize>(bytes, kFileRecordSize))) {
      case RecordClass::File:
        if (bytes[ntfs::kRecordFlags] == 0) {  // neither in use nor a directory
          std::memcpy(record.data(), bytes, record.size());
          FixUpRecordSector(record);
          if (ParseFileRecord(record, parsed)) {
            parsed.recordNumber = offset / kSectorsPerRecord;
            if (parsed.hasAttributeList)
              CompleteFromExtensions(volume, facts, source, record, parsed);
            parsed.path = folders.PathOf(parsed.parentReference);
            // A name that lay in an extension record cleared since: "?" and
            // the record number stand for it (the recovery writes the "?" as "Recover").
            if (parsed.name.empty()) {
              for (char c : std::to_string(parsed.recordNumber)) parsed.name += char16_t(c);
              parsed.name.insert(0, 1, u'?');
            }
            AddNtfsEntry(parsed, view, root);
          }
        }
        break;
      case RecordClass::PassOver:
        break;
      case RecordClass::Blank:
        ++blank;
        break;
      case RecordClass::LogRecords:
        offset += 4 * kSectorsPerRecord;
        AdvanceProgress(4);
        continue;
      case RecordClass::EndOfMft:
        return true;
    }
    offset += kSectorsPerRecord;
    AdvanceProgress(1);
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
  if (record[ntfs::kNeverWrittenMark] == 0xFF && record[ntfs::kNeverWrittenMark + 1] == 0xFF)
    return RecordClass::Blank;
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
    if (sectorsPerCluster == 0 || run.clusterCount > UINT64_MAX / sectorsPerCluster ||
        (!run.sparse && run.startCluster > UINT64_MAX / sectorsPerCluster))
      break;  // no volume holds that many sectors
    std::uint64_t sectors = run.clusterCount * sectorsPerCluster;
    if (sectors > UINT64_MAX - mappedSectors_) break;
    bool sparse = run.sparse;
    std::uint64_t start = sparse ? 0 : run.startCluster * sectorsPerCluster;
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

std::optional<std::uint32_t> MftRecordSource::SectorOf(std::uint64_t record) const {
  if (record > UINT64_MAX / 4) return std::nullopt;
  MftLayout::Place place = layout_.Locate(record * kSectorsPerRecord);
  if (place.sparse || place.contiguous < kSectorsPerRecord || place.sector + kSectorsPerRecord > 0x100000000ull)
    return std::nullopt;
  return static_cast<std::uint32_t>(place.sector);
}

MftRecordSource::Outcome MftRecordSource::Read(std::uint64_t record, std::span<std::uint8_t, kFileRecordSize> bytes,
                                               std::int32_t& errorCode) {
  std::optional<std::uint32_t> sector = SectorOf(record);
  if (!sector) return Outcome::NotThere;
  if (!volume_.ReadSectors(*sector, kSectorsPerRecord, bytes, errorCode)) return Outcome::Failed;
  if (!ByteReader(bytes).Matches(0, "FILE") || FixUpRecordSector(bytes) != FixUpResult::Fixed)
    return Outcome::NotThere;
  return Outcome::Read;
}

bool ReadRunBytes(RawVolume& volume, std::uint32_t sectorsPerCluster, const std::vector<DataRun>& runs,
                  std::uint64_t bytes, std::vector<std::uint8_t>& out) {
  out.clear();
  const std::uint64_t clusterBytes = std::uint64_t{sectorsPerCluster} * kSectorSize;
  if (clusterBytes == 0) return false;
  std::vector<std::uint8_t> buffer;
  for (const DataRun& run : runs) {
    if (out.size() >= bytes) break;
    if (run.sparse) return false;
    for (std::uint64_t done = 0; done < run.clusterCount && out.size() < bytes;) {
      std::uint64_t count = std::min<std::uint64_t>(run.clusterCount - done, std::max<std::uint64_t>(1, kBatchSectors * kSectorSize / clusterBytes));
      if (run.startCluster >= 0x100000000ull || done >= 0x100000000ull) return false;  // past any sector number
      std::uint64_t sector = (run.startCluster + done) * sectorsPerCluster;
      if (sector + count * sectorsPerCluster > 0x100000000ull) return false;
      buffer.resize(count * clusterBytes);
      std::int32_t code = 0;
      if (!volume.ReadSectors(static_cast<std::uint32_t>(sector), static_cast<std::uint16_t>(count * sectorsPerCluster),
                              buffer, code))
        return false;
      out.insert(out.end(), buffer.begin(), buffer.end());
      done += count;
    }
  }
  if (out.size() < bytes) return false;
  out.resize(bytes);
  return true;
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
  ScanUnreadableStretches.clear();
  RawVolume volume(driveLetter);
  if (facts->kind == kFileSystemNtfs) {
    NtfsDeletedFileIndex.clear();
    NtfsDeletedFiles.clear();
    ScanNtfs(volume, *facts, view, root, errorCode);
  } else {
    FatDeletedFileIndex.clear();
    FatDeletedFiles.clear();
    SetProgressTotal(0);  // directory sectors: how many is known only at the end
    WalkFatDirectory(volume, *facts, facts->metadataStart, facts->rootCluster, view, root, errorCode,
                     ScanDamagedDirectories);
  }
  // An abort is no failure of the volume: it ends without a code.
  return errorCode == error_code::kNone;
}

}  // namespace corvanel
