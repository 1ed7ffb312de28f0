// The deleted-file scan.
#include "volume/deleted_file_scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "app/message_catalogue.h"
#include "app/progress_meter.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "volume/chain_guard.h"
#include "volume/exfat_scan.h"
#include "volume/raw_volume.h"
#include "volume/run_reader.h"

namespace corvanel {

namespace {

constexpr std::uint32_t kFileSignature = 0x454C4946;  // "FILE", little-endian
constexpr std::uint64_t kFirstUserRecord = 24;  // after the system records
constexpr std::uint64_t kLogPageBytes = 4096;   // "RCRD" pages of the log file
constexpr int kBlankRecordsAtEnd = 1000;
constexpr std::uint64_t kBatchSectors = 2048;  // 1 MiB of records per read: fewer fresh pages to fault in than larger batches
constexpr std::size_t kMaxFolderDepth = 1024;
constexpr std::uint64_t kLargestAttributeList = 1 << 20;

// Reads MFT records in large batches, record by record in effect: every
// record comes out as a read of its own two sectors would give it. While the
// records of one batch are parsed, a thread of its own (with a handle of its
// own, started at the first batch and kept to the last) reads the next one
// into the other buffer.
class RecordReader {
 public:
  RecordReader(RawVolume& volume, const MftLayout& layout, std::uint32_t recordBytes)
      : volume_(volume), ahead_(volume.DriveLetter()), layout_(layout), recordSectors_(recordBytes / kSectorSize) {}
  ~RecordReader() {
    if (!reader_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    reader_.join();
  }
  RecordReader(const RecordReader&) = delete;
  RecordReader& operator=(const RecordReader&) = delete;

  // The record at an MFT sector offset, or nullptr with errorCode set. Its
  // bytes are the caller's to fix up: each record is handed out once.
  std::uint8_t* Read(std::uint64_t mftSector, std::uint64_t limit, std::int32_t& errorCode) {
    if (mftSector >= first_ && mftSector + recordSectors_ <= first_ + count_)
      return buffer_.get() + (mftSector - first_) * kSectorSize;
    const Batch batch = Plan(mftSector, limit);
    count_ = 0;
    first_ = mftSector;
    switch (TakeReadAhead(batch)) {
      case Ahead::Read:
        count_ = batch.sectors;
        ReadAhead(mftSector + batch.sectors, limit);
        return buffer_.get();
      case Ahead::Failed:
        return ReadAlone(mftSector, batch, errorCode);
      case Ahead::None:
        break;
    }
    std::int32_t code = error_code::kNone;
    const std::span<std::uint8_t> buffer(buffer_.get(), batch.sectors * kSectorSize);
    if (batch.sparse) {
      std::fill(buffer.begin(), buffer.end(), 0);
    } else if (!volume_.ReadSectors(batch.sector, batch.sectors, buffer, code)) {
      // The batch may reach past the volume's end, or over bad sectors, where the record does not.
      if (batch.sectors == recordSectors_) {
        errorCode = code;
        return nullptr;
      }
      return ReadAlone(mftSector, batch, errorCode);
    }
    count_ = batch.sectors;
    if (batch.sectors > recordSectors_) ReadAhead(mftSector + batch.sectors, limit);
    return buffer_.get();
  }

 private:
  struct Batch {
    std::uint64_t mftSector = 0;
    std::uint64_t sector = 0;   // on the volume
    std::uint64_t sectors = 0;
    bool sparse = false;
  };

  Batch Plan(std::uint64_t mftSector, std::uint64_t limit) const {
    const MftLayout::Place place = layout_.Locate(mftSector);
    std::uint64_t wanted = std::min({kBatchSectors, place.contiguous, std::max(limit - mftSector, recordSectors_)});
    // Where a batch failed, record by record: the readable records among
    // unreadable sectors still come out, and the bad stretch is not read again per record.
    if (mftSector < singleUntil_) wanted = recordSectors_;
    return {mftSector, place.sector, std::max(wanted, recordSectors_), place.sparse};
  }

  // The one record at mftSector, its batch having failed.
  std::uint8_t* ReadAlone(std::uint64_t mftSector, const Batch& batch, std::int32_t& errorCode) {
    singleUntil_ = mftSector + batch.sectors;
    std::int32_t code = error_code::kNone;
    const std::span<std::uint8_t> record(buffer_.get(), recordSectors_ * kSectorSize);
    if (!volume_.ReadSectors(batch.sector, recordSectors_, record, code)) {
      errorCode = code;
      return nullptr;
    }
    count_ = recordSectors_;
    return buffer_.get();
  }

  // Starts reading the batch after this one, when it is a whole batch.
  void ReadAhead(std::uint64_t mftSector, std::uint64_t limit) {
    if (mftSector >= limit) return;
    const Batch batch = Plan(mftSector, limit);
    if (batch.sparse || batch.sectors <= recordSectors_) return;
    if (!reader_.joinable()) reader_ = std::thread([this] { ReadAheadLoop(); });
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return !requested_ || aheadDone_; });  // the spare buffer is free
      pending_ = batch;
      requested_ = true;
      aheadDone_ = false;
    }
    changed_.notify_all();
  }

  // The read-ahead thread: each batch asked for, into the spare buffer.
  void ReadAheadLoop() {
    for (;;) {
      Batch batch;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return stop_ || (requested_ && !aheadDone_); });
        if (stop_) return;
        batch = pending_;
      }
      std::int32_t ignored = error_code::kNone;
      const bool read =
          ahead_.ReadSectors(batch.sector, batch.sectors, std::span(spare_.get(), batch.sectors * kSectorSize), ignored);
      {
        std::lock_guard lock(mutex_);
        aheadRead_ = read;
        aheadDone_ = true;
      }
      changed_.notify_all();
    }
  }

  // The batch read ahead, when it is this one: read (it is then the current
  // buffer) or failed (read record by record from here).
  enum class Ahead { None, Read, Failed };
  Ahead TakeReadAhead(const Batch& batch) {
    bool read = false;
    {
      std::unique_lock lock(mutex_);
      if (!requested_) return Ahead::None;
      changed_.wait(lock, [this] { return aheadDone_; });
      requested_ = false;
      read = aheadRead_;
    }
    if (pending_.mftSector != batch.mftSector || pending_.sectors != batch.sectors || pending_.sector != batch.sector)
      return Ahead::None;
    if (!read) return Ahead::Failed;
    std::swap(buffer_, spare_);
    return Ahead::Read;
  }

  RawVolume& volume_;
  RawVolume ahead_;  // the read-ahead thread's own handle
  const MftLayout& layout_;
  const std::uint64_t recordSectors_;
  // A batch's room each, left as it comes: every byte handed out is read first.
  std::unique_ptr<std::uint8_t[]> buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBatchSectors * kSectorSize);
  std::unique_ptr<std::uint8_t[]> spare_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBatchSectors * kSectorSize);
  // The read ahead: asked for (pending_), done, and whether it read.
  std::mutex mutex_;
  std::condition_variable changed_;
  Batch pending_;
  bool requested_ = false;
  bool aheadDone_ = false;
  bool aheadRead_ = false;
  bool stop_ = false;
  std::thread reader_;
  std::uint64_t first_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t singleUntil_ = 0;
};

// What record 0 ($MFT) says of the MFT itself.
struct MftSelf {
  std::vector<DataRun> runs;     // none when record 0 cannot be read or parsed
  std::uint64_t sizeSectors = 0;
};

MftSelf ReadMftSelf(RawVolume& volume, const BootSectorFacts& facts) {
  std::vector<std::uint8_t> record(facts.fileRecordBytes);
  std::int32_t ignored = 0;
  if (!volume.ReadSectors(facts.metadataStart, record.size() / kSectorSize, record, ignored)) return {};
  if (ClassifyRecord(record) != RecordClass::File) return {};
  FixUpRecordSector(record);
  MftRecord mft;
  if (!ParseFileRecord(record, mft) || mft.isResident) return {};
  return {mft.runs, mft.realSize / kSectorSize};
}

// Whether a record read for a file reference is still that file: its sequence
// number is the reference's, or one more after the file was deleted.
bool IsReferencedRecord(std::span<const std::uint8_t> record, std::uint64_t reference) {
  const std::uint16_t sequence = *ByteReader(record).U16(ntfs::kRecordSequence);
  const std::uint16_t was = ntfs::SequenceOf(reference);
  const bool inUse = record[ntfs::kRecordFlags] & ntfs::kRecordInUse;
  return was == 0 || sequence == was || (!inUse && ntfs::SequenceFollows(sequence, was));
}

// Calls visit(holder) with the records that hold a file's attributes: the
// base, then each record its attribute list names or among extensions that
// is still a piece of it (its base reference names the base, in use as the
// base is). A record reused since, or unreadable, is passed over.
template <typename Visit>
void ForEachHolder(RawVolume& volume, const BootSectorFacts& facts, MftRecordSource& source,
                   std::span<const std::uint8_t> base, const MftRecord& record,
                   const std::vector<std::uint64_t>& extensions, Visit visit) {
  std::vector<std::uint8_t> list = record.attributeList;
  if (list.empty() && record.attributeListSize > 0 && record.attributeListSize <= kLargestAttributeList)
    ReadStreamBytes(volume, {record.attributeListRuns, facts.geometry.sectorsPerCluster, facts.volumeSectors},
                    record.attributeListSize, list);
  bool listComplete = true;
  std::vector<std::uint64_t> holders = extensions;
  for (const AttributeListEntry& entry : ReadAttributeList(list, listComplete))
    holders.push_back(ntfs::RecordNumberOf(entry.record));
  std::sort(holders.begin(), holders.end());
  holders.erase(std::unique(holders.begin(), holders.end()), holders.end());
  std::erase(holders, record.recordNumber);

  visit(base);
  const std::uint16_t baseSequence = *ByteReader(base).U16(ntfs::kRecordSequence);
  const std::uint8_t baseInUse = base[ntfs::kRecordFlags] & ntfs::kRecordInUse;
  std::vector<std::uint8_t> bytes(source.RecordBytes());
  for (std::uint64_t number : holders) {
    std::int32_t ignored = 0;
    if (source.Read(number, bytes, ignored) != MftRecordSource::Outcome::Read ||
        (bytes[ntfs::kRecordFlags] & ntfs::kRecordInUse) != baseInUse)
      continue;
    const std::uint64_t owner = *ByteReader(bytes).U64(ntfs::kBaseRecord);
    const std::uint16_t ownerSequence = ntfs::SequenceOf(owner);
    if (ntfs::RecordNumberOf(owner) != record.recordNumber ||
        (ownerSequence != 0 && !ntfs::SequenceFollows(baseSequence, ownerSequence)))
      continue;
    visit(std::span<const std::uint8_t>(bytes));
  }
}

// Takes a file name attribute's long name, and its parent, for a record
// that has no name yet; DOS aliases and empty names are passed over.
void TakeLongName(const AttributeView& attribute, MftRecord& record) {
  if (!record.name.empty()) return;
  std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue();
  std::optional<FileNameValue> name = value ? ReadFileNameValue(*value) : std::nullopt;
  if (name && name->nameSpace != ntfs::kDosNamespace && !name->name.empty()) {
    record.name = name->name;
    record.parentReference = name->parent;
  }
}

// The folders of the deleted files, from their parent references; each
// folder is read once per scan.
class FolderPaths {
 public:
  FolderPaths(RawVolume& volume, const BootSectorFacts& facts, MftRecordSource& source)
      : volume_(volume), facts_(facts), source_(source) {}

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
    std::vector<std::uint8_t> record(source_.RecordBytes());
    std::int32_t ignored = 0;
    if (source_.Read(ntfs::RecordNumberOf(reference), record, ignored) != MftRecordSource::Outcome::Read)
      return std::nullopt;
    if (!(record[ntfs::kRecordFlags] & ntfs::kRecordIsDirectory) || !IsReferencedRecord(record, reference))
      return std::nullopt;
    MftRecord folder;
    ParseFileRecord(record, folder);  // a folder has no data: only its name is wanted
    folder.recordNumber = ntfs::RecordNumberOf(reference);
    // A long name (a folder renamed when its record was full) may lie in an
    // extension record, named by the attribute list.
    if (folder.name.empty() && folder.hasAttributeList) {
      auto takeName = [&](std::span<const std::uint8_t> holder) {
        ForEachAttribute(holder, [&](const AttributeView& attribute) {
          if (attribute.type == ntfs::kTypeFileName) TakeLongName(attribute, folder);
          return folder.name.empty();
        });
      };
      ForEachHolder(volume_, facts_, source_, record, folder, {}, takeName);
    }
    if (folder.name.empty()) return std::nullopt;
    return Folder{folder.name, folder.parentReference};
  }

  RawVolume& volume_;
  const BootSectorFacts& facts_;
  MftRecordSource& source_;
  std::map<std::uint64_t, std::u16string> names_;
  std::map<std::uint64_t, std::u16string> paths_;
};

// Extension records not in use, under the number of the base record their
// header names: deleting a file can drop entries from its attribute list
// while the records they led to still hold their pieces.
using ExtensionsByBase = std::map<std::uint64_t, std::vector<std::uint64_t>>;

const std::vector<std::uint64_t>& ExtensionsOf(const ExtensionsByBase& extensions, std::uint64_t base) {
  static const std::vector<std::uint64_t> none;
  auto found = extensions.find(base);
  return found == extensions.end() ? none : found->second;
}

// One piece of a file's non-resident unnamed data: its extents from firstVcn on.
struct DataPiece {
  std::uint64_t firstVcn = 0;
  MftRecord data;
};

// A file's unnamed data as the records that hold it carry it: the resident
// value (small data: the whole of it), or the non-resident pieces. Parsed
// out of the records, so it owns all it holds.
struct GatheredData {
  std::optional<MftRecord> resident;
  std::vector<DataPiece> pieces;
};

// What one record holding a file's attributes adds to it: its long name while
// it has none, and a piece of its unnamed data. ForEachHolder reads every
// holder into the same buffer: nothing of holder is kept past this call.
void GatherFromHolder(std::span<const std::uint8_t> holder, MftRecord& record, GatheredData& data) {
  ForEachAttribute(holder, [&](const AttributeView& attribute) {
    if (attribute.type == ntfs::kTypeFileName) {
      TakeLongName(attribute, record);
    } else if (attribute.type == ntfs::kTypeData && attribute.Name().empty()) {
      MftRecord piece;
      if (!ParseDataAttribute(holder, static_cast<std::uint16_t>(attribute.offset), piece)) return true;
      if (piece.isResident) {
        data.resident = std::move(piece);
      } else if (std::optional<std::uint64_t> firstVcn = ByteReader(holder).U64(attribute.offset + ntfs::kFirstVcn)) {
        data.pieces.push_back({*firstVcn, std::move(piece)});
      }
    }
    return true;
  });
}

// The file's data is a resident value: whole, whatever pieces were seen.
void TakeResidentData(MftRecord& resident, MftRecord& record) {
  record.isResident = 1;
  record.residentData = std::move(resident.residentData);
  record.residentLength = resident.residentLength;
  record.realSize = resident.realSize;
  record.extensionsMissing = false;
  record.runsComplete = true;
}

// The file's data is its pieces joined by their first VCN, from VCN 0 on,
// each where the one before ended (the first one found of a stretch seen
// twice stands). A gap, a piece whose run list broke off, or pieces that end
// short of the size leave it partial; without a first piece nothing is known
// of it.
void JoinDataPieces(std::vector<DataPiece> pieces, const BootSectorFacts& facts, MftRecord& record) {
  std::stable_sort(pieces.begin(), pieces.end(),
                   [](const DataPiece& a, const DataPiece& b) { return a.firstVcn < b.firstVcn; });
  std::vector<DataRun> runs;
  std::uint64_t nextVcn = 0;
  bool broken = false;
  for (DataPiece& piece : pieces) {
    if (piece.firstVcn < nextVcn) continue;
    if (piece.firstVcn != nextVcn) {
      broken = true;
      break;
    }
    if (nextVcn == 0) {  // the first piece carries the sizes
      record.realSize = piece.data.realSize;
      record.initializedSize = piece.data.initializedSize;
      record.compressionUnit = piece.data.compressionUnit;
    }
    for (const DataRun& run : piece.data.runs) {
      runs.push_back(run);
      nextVcn += run.clusterCount;
    }
    if (!piece.data.runsComplete) {
      broken = true;
      break;
    }
  }
  if (nextVcn == 0) record.realSize = 0;
  const std::uint64_t clusterBytes = std::uint64_t{facts.geometry.sectorsPerCluster} * kSectorSize;
  const bool short_ = clusterBytes == 0 || nextVcn < (record.realSize + clusterBytes - 1) / clusterBytes;
  record.isResident = 0;
  record.runs = std::move(runs);
  record.extensionsMissing = broken || short_ || pieces.empty();
  record.runsComplete = true;  // the pieces' run lists are judged above
}

// Gathers a deleted file's attributes from the records that hold them: the
// base, the records its attribute list names and the extension records that
// name it as their base. A record reused since (now in use, or another
// file's), or unreadable, adds nothing. The name, when the base has none, is
// the first surviving long name of an extension record.
void CompleteFromExtensions(RawVolume& volume, const BootSectorFacts& facts, MftRecordSource& source,
                            std::span<const std::uint8_t> base, MftRecord& record,
                            const std::vector<std::uint64_t>& extensions) {
  GatheredData data;
  ForEachHolder(volume, facts, source, base, record, extensions,
                [&](std::span<const std::uint8_t> holder) { GatherFromHolder(holder, record, data); });
  if (data.resident) TakeResidentData(*data.resident, record);
  else JoinDataPieces(std::move(data.pieces), facts, record);
}

// Whether the attributes, end marker included, lie before limit. A record
// whose update sequence cannot be applied keeps the sequence number in each
// sector's last two bytes: it reads true only before the first of them.
bool AttributesEndBefore(std::span<const std::uint8_t> record, std::size_t limit) {
  std::size_t end = ByteReader(record).U16(ntfs::kFirstAttribute).value_or(limit);
  const bool walked = ForEachAttribute(record, [&](const AttributeView& attribute) {
    end = attribute.offset + attribute.bytes.size();
    return end <= limit;
  });
  return walked && end + 4 <= limit;
}

// A deleted file's record that ParseFileRecord refused for a damaged data
// attribute (its value or run list out of the record, or the walk of the
// attributes broken before it): listed under its name, nothing known of its
// data, so that it is never recovered as whole.
bool HasLostItsData(std::span<const std::uint8_t> record, MftRecord& out) {
  if (out.name.empty() || out.hasAttributeList) return false;
  bool dataSeen = false;
  const bool walked = ForEachAttribute(record, [&](const AttributeView& attribute) {
    dataSeen = attribute.type == ntfs::kTypeData;
    return !dataSeen;
  });
  if (walked && !dataSeen) return false;  // no data attribute at all: not a file's record
  out.isResident = 0;
  out.residentData.clear();
  out.residentLength = 0;
  out.runs.clear();
  out.realSize = 0;
  out.compressionUnit = 0;
  out.extensionsMissing = true;
  return true;
}

// A deleted base record that ParseFileRecord refused because no name comes
// before its data: its names lay in extension records. Whether it holds
// data or an attribute list to go on with (out then holds its list).
bool IsNamelessBase(std::span<const std::uint8_t> record, MftRecord& out) {
  if (*ByteReader(record).U64(ntfs::kBaseRecord) != 0) return false;
  bool named = false;
  bool data = false;
  ForEachAttribute(record, [&](const AttributeView& attribute) {
    named |= attribute.type == ntfs::kTypeFileName;
    data |= attribute.type == ntfs::kTypeData && attribute.Name().empty();
    return true;
  });
  if (named || !(data || out.hasAttributeList)) return false;
  out.name.clear();
  out.isResident = 0;
  out.runs.clear();
  out.realSize = 0;
  return true;
}

// What the scan makes of a deleted base record (fixed up here).
enum class BaseKind {
  NotListed,
  Listed,
  NeedsExtensions,  // its data or name lies in other records too
};
BaseKind ParseDeletedBase(std::span<std::uint8_t> record, MftRecord& parsed,
                          ResidentBytes bytes = ResidentBytes::Copied) {
  const bool whole =
      FixUpRecordSector(record) != FixUpResult::Malformed || AttributesEndBefore(record, kSectorSize - 2);
  const bool named = whole && ParseFileRecord(record, parsed, bytes);
  if (named || (whole && IsNamelessBase(record, parsed)))
    return parsed.hasAttributeList || !named ? BaseKind::NeedsExtensions : BaseKind::Listed;
  if (whole && HasLostItsData(record, parsed)) return BaseKind::Listed;
  return BaseKind::NotListed;
}

// A name that lay in an extension record cleared since: "?" and the record
// number stand for it (the recovery writes the "?" as "Recover"). Its folder
// went with the name. False when the file has a name of its own.
bool NameLostName(MftRecord& parsed) {
  if (!parsed.name.empty()) return false;
  parsed.name.assign(1, u'?');
  for (char c : std::to_string(parsed.recordNumber)) parsed.name += char16_t(c);
  return true;
}

std::uint16_t SequenceOfRecord(std::span<const std::uint8_t> record) {
  return *ByteReader(record).U16(ntfs::kRecordSequence);
}

// The end of the MFT, when record 0 could not be read: this many blank
// records in a row, or a record of no known kind.
class UnknownEnd {
 public:
  // Whether a record of this class ends the MFT.
  bool EndsAt(RecordClass kind) {
    blank_ = kind == RecordClass::Blank ? blank_ + 1 : 0;
    return blank_ >= kBlankRecordsAtEnd || kind == RecordClass::EndOfMft;
  }

 private:
  int blank_ = 0;
};

void AddUnreadableRecord(std::uint64_t record) { LastScan.NoteUnreadable(UnreadableStretch::Unit::Records, record); }

bool ScanNtfs(RawVolume& volume, const BootSectorFacts& facts, DeletedFilesView& view, TreeItem root,
              std::int32_t& errorCode) {
  MftSelf mft = ReadMftSelf(volume, facts);
  const std::uint64_t recordSectors = facts.fileRecordBytes / kSectorSize;
  const std::uint64_t firstUserSector = kFirstUserRecord * recordSectors;
  MftLayout layout(facts.metadataStart, facts.geometry.sectorsPerCluster, std::move(mft.runs));
  // Record 0 gives the MFT's own size: every record up to it is read, blank
  // or not. Without it an eighth of the volume stands in, and a long run of
  // blank records or a record of no known kind ends the MFT.
  const bool endKnown = layout.Mapped() && mft.sizeSectors <= facts.volumeSectors;
  const std::uint64_t limit = endKnown ? mft.sizeSectors : facts.volumeSectors / 8;
  if (!endKnown && limit <= firstUserSector) {
    errorCode = error_code::kNoFileRecordFound;
    return false;
  }
  RecordReader reader(volume, layout, facts.fileRecordBytes);
  MftRecordSource source(volume, layout, facts.volumeSectors, facts.fileRecordBytes);
  FolderPaths folders(volume, facts, source);
  UnknownEnd unknownEnd;
  ExtensionsByBase extensions;
  auto extensionsOf = [&](std::uint64_t base) -> const std::vector<std::uint64_t>& { return ExtensionsOf(extensions, base); };
  // Files whose pieces or name were not all found where the scan stood: an
  // extension record further on may hold them. They are listed at the end.
  struct Deferred {
    std::vector<std::uint8_t> bytes;
    MftRecord parsed;
  };
  std::vector<Deferred> deferred;
  std::unordered_map<std::uint64_t, std::uint32_t> folderIds;  // by parent reference
  auto list = [&](MftRecord& parsed, std::uint16_t sequence) {
    std::uint32_t folder = 0;
    if (!NameLostName(parsed)) {
      auto [known, added] = folderIds.try_emplace(parsed.parentReference, 0);
      if (added) known->second = LastScan.FolderId(folders.PathOf(parsed.parentReference));
      folder = known->second;
    }
    std::optional<ScanKey> key = LastScan.Add(parsed, folder, sequence);
    if (!key) return;
    view.InsertItem(parsed.name, kImageFile, kImageFile, root, ItemDataForKey(*key));
    if (*key == 0) view.Invalidate();
  };
  bool endFound = false;
  const std::size_t recordBytes = facts.fileRecordBytes;
  MftRecord parsed;
  // A log page in the MFT's place covers this many records.
  const std::uint64_t logPageRecords = std::max<std::uint64_t>(1, kLogPageBytes / facts.fileRecordBytes);
  SetProgressTotal(limit > firstUserSector ? (limit - firstUserSector) / recordSectors : 0);
  for (std::uint64_t offset = firstUserSector; offset < limit && !endFound;) {
    if (view.StopRequested()) return false;
    const std::uint64_t number = offset / recordSectors;
    std::uint8_t* bytes = reader.Read(offset, limit, errorCode);
    if (!bytes) {
      // Listed is what can be read; the rest is reported as unreadable.
      errorCode = error_code::kNone;
      AddUnreadableRecord(number);
      unknownEnd.EndsAt(RecordClass::PassOver);
      offset += recordSectors;
      AdvanceProgress(1);
      continue;
    }
    const std::span<std::uint8_t> record(bytes, recordBytes);
    const RecordClass kind = ClassifyRecord(record);
    if (!endKnown && unknownEnd.EndsAt(kind)) {
      endFound = true;
      break;
    }
    if (kind == RecordClass::LogRecords) {
      offset += logPageRecords * recordSectors;
      AdvanceProgress(logPageRecords);
      continue;
    }
    if (kind == RecordClass::File && !(bytes[ntfs::kRecordFlags] & ntfs::kRecordInUse)) {
      if (const std::uint64_t base = *ByteReader(record).U64(ntfs::kBaseRecord); base != 0) {
        extensions[ntfs::RecordNumberOf(base)].push_back(number);  // a piece of another record's file
      } else if (bytes[ntfs::kRecordFlags] == 0) {  // neither in use nor a directory
        // The listing keeps no resident bytes: the recovery reads the record again.
        const BaseKind base = ParseDeletedBase(record, parsed, ResidentBytes::Skipped);
        parsed.recordNumber = number;
        if (base == BaseKind::NeedsExtensions) {
          CompleteFromExtensions(volume, facts, source, record, parsed, extensionsOf(number));
          if (parsed.extensionsMissing || parsed.name.empty()) deferred.push_back({{record.begin(), record.end()}, parsed});
          else list(parsed, SequenceOfRecord(record));
        } else if (base == BaseKind::Listed) {
          list(parsed, SequenceOfRecord(record));
        }
      }
    }
    offset += recordSectors;
    AdvanceProgress(1);
  }
  for (Deferred& file : deferred) {
    if (view.StopRequested()) return false;
    CompleteFromExtensions(volume, facts, source, file.bytes, file.parsed, extensionsOf(file.parsed.recordNumber));
    list(file.parsed, SequenceOfRecord(file.bytes));
  }
  // The recovery gathers the pieces of a file again from these.
  if (LastScan.KeepFiles) LastScan.Extensions = std::move(extensions);
  if (endKnown || endFound) return true;
  // Ran to an eighth of the volume without an end: unless unreadable records
  // account for that, this is no MFT.
  if (!LastScan.ScanUnreadableStretches.empty()) return true;
  errorCode = error_code::kNoFileRecordFound;
  return false;
}

}  // namespace

bool HasFileSignature(std::span<const std::uint8_t> record) {
  // One bit away from "FILE" is a file record with a damaged signature:
  // nothing else in the MFT is written so. Its update sequence still has to
  // check out before anything is read from it.
  return std::popcount(*ByteReader(record).U32(0) ^ kFileSignature) <= 1;
}

RecordClass ClassifyRecord(std::span<const std::uint8_t> record) {
  ByteReader bytes(record);
  const std::uint32_t head = *bytes.U32(0);
  if (HasFileSignature(record)) return RecordClass::File;
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
    const std::uint64_t beyond = mftSector - mappedSectors_;
    return {beyond > UINT64_MAX - afterLast_ ? UINT64_MAX : afterLast_ + beyond, UINT64_MAX, false};
  }
  auto extent = std::upper_bound(extents_.begin(), extents_.end(), mftSector,
                                 [](std::uint64_t sector, const Extent& e) { return sector < e.mftSector; }) - 1;
  std::uint64_t into = mftSector - extent->mftSector;
  std::uint64_t left = extent->sectors - into;
  // The last extent runs on into what follows it, as the unfragmented MFT does.
  if (extent + 1 == extents_.end() && !extent->sparse) left = UINT64_MAX;
  return {extent->sparse ? 0 : extent->volumeSector + into, left, extent->sparse};
}

std::optional<std::uint64_t> MftRecordSource::SectorOf(std::uint64_t record) const {
  const std::uint64_t recordSectors = recordBytes_ / kSectorSize;
  if (record > UINT64_MAX / recordSectors) return std::nullopt;
  MftLayout::Place place = layout_.Locate(record * recordSectors);
  if (place.sparse || place.contiguous < recordSectors || place.sector > volumeSectors_ ||
      volumeSectors_ - place.sector < recordSectors)
    return std::nullopt;
  return place.sector;
}

MftRecordSource::Outcome MftRecordSource::Read(std::uint64_t record, std::span<std::uint8_t> bytes,
                                               std::int32_t& errorCode) {
  std::optional<std::uint64_t> sector = SectorOf(record);
  if (!sector) return Outcome::NotThere;
  if (bytes.size() != recordBytes_ || !volume_.ReadSectors(*sector, recordBytes_ / kSectorSize, bytes, errorCode))
    return Outcome::Failed;
  if (!HasFileSignature(bytes) || FixUpRecordSector(bytes) != FixUpResult::Fixed)
    return Outcome::NotThere;
  return Outcome::Read;
}

MftLayout ReadMftLayout(RawVolume& volume, const BootSectorFacts& facts) {
  return MftLayout(facts.metadataStart, facts.geometry.sectorsPerCluster, ReadMftSelf(volume, facts).runs);
}

bool ScanDeletedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode, const ScanFilter* filter) {
  return ScanDeletedFiles(driveLetter, view, errorCode, ScanOptions{filter});
}

bool ScanDeletedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode, const ScanOptions& options) {
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
  LastScan = ScanResult{};
  LastScan.ScannedVolume = *facts;
  LastScan.Filter = options.filter;
  LastScan.Allocation = options.allocation;
  LastScan.Listener = options.listener;
  LastScan.KeepFiles = options.keepFiles;
  RawVolume volume(driveLetter);
  if (facts->kind == kFileSystemNtfs) {
    ScanNtfs(volume, *facts, view, root, errorCode);
  } else if (facts->kind == kFileSystemExfat) {
    SetProgressTotal(0);  // entry sets: how many is known only at the end
    std::int32_t code = error_code::kNone;
    if (!ScanExfat(volume, view, root, code, LastScan) && code != error_code::kNone) {
      if (code == error_code::kSectorReadFailed)
        ReportSystemError(RawVolume::LastReadFailure(), error_code::kScanSystemError, errorCode);
      else
        errorCode = code == error_code::kVolumeOpenFailed ? error_code::kScanSystemError : code;
    }
  } else {
    SetProgressTotal(0);  // directory sectors: how many is known only at the end
    WalkFatDirectory(volume, *facts, facts->metadataStart, facts->rootCluster, view, root, errorCode, LastScan);
  }
  // Nothing the caller gave outlives the scan's use of it.
  LastScan.Allocation = nullptr;
  LastScan.Listener = nullptr;
  // An abort is no failure of the volume: it ends without a code.
  return errorCode == error_code::kNone;
}

ListedRecordReader::ListedRecordReader(RawVolume& volume, const ScanResult& result)
    : volume_(volume),
      result_(result),
      source_(volume, ReadMftLayout(volume, result.ScannedVolume), result.ScannedVolume.volumeSectors,
              result.ScannedVolume.fileRecordBytes) {}

ListedRecordReader::State ListedRecordReader::Read(ScanKey key, MftRecord& out) {
  const ListedFile* file = result_.File(key);
  if (!file) return State::Changed;
  std::optional<std::uint64_t> sector = source_.SectorOf(file->record);
  std::vector<std::uint8_t> record(source_.RecordBytes());
  std::int32_t ignored = 0;
  if (!sector || !volume_.ReadSectors(*sector, record.size() / kSectorSize, record, ignored)) return State::Unreadable;
  // Still a deleted base record of the same life (a record taken again since
  // has another sequence number), parsed as the scan parsed it, under the
  // same name: anything else is another file's now.
  if (ClassifyRecord(record) != RecordClass::File || record[ntfs::kRecordFlags] != 0 ||
      *ByteReader(record).U64(ntfs::kBaseRecord) != 0 || SequenceOfRecord(record) != file->sequence)
    return State::Changed;
  out = MftRecord{};
  const BaseKind base = ParseDeletedBase(record, out);
  out.recordNumber = file->record;
  if (base == BaseKind::NotListed) return State::Changed;
  if (base == BaseKind::NeedsExtensions)
    CompleteFromExtensions(volume_, result_.ScannedVolume, source_, record, out,
                           ExtensionsOf(result_.Extensions, file->record));
  NameLostName(out);
  return out.name == result_.Name(key) ? State::Same : State::Changed;
}

}  // namespace corvanel
