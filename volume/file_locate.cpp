// The locate: from a path to the file's record and extents (NTFS) or its
// directory entries and clusters (FAT32).
#include "volume/file_locate.h"

#include <algorithm>
#include <array>
#include <optional>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "volume/chain_guard.h"
#include "volume/deleted_file_scan.h"
#include "volume/file_names.h"
#include "volume/raw_volume.h"
#include "volume/run_reader.h"

namespace corvanel {

LocatedFileData LocatedFile;

namespace {

using namespace ntfs;

constexpr std::uint32_t kLargestBlockSize = 65536;
constexpr std::uint64_t kLargestAttributeList = 1 << 20;

using RecordBuffer = std::vector<std::uint8_t>;  // one file record, of the volume's record size

std::u16string NameAt(std::span<const std::uint8_t> bytes, std::size_t lengthOffset, std::size_t nameOffset) {
  std::optional<std::uint8_t> length = ByteReader(bytes).U8(lengthOffset);
  if (!length) return {};
  return ReadUtf16(bytes, nameOffset, *length).value_or(u"");
}

// Equal, or equal but for the last character of each (a short name that the
// record itself has to confirm).
bool CouldName(std::u16string_view entryName, std::u16string_view wanted) {
  if (SameNameIgnoringCase(entryName, wanted)) return true;
  return !entryName.empty() && entryName.size() == wanted.size() &&
         SameNameIgnoringCase(entryName.substr(0, entryName.size() - 1), wanted.substr(0, wanted.size() - 1));
}

// The record numbers of the entries between first and end of a node whose
// names could be wantedName (see CouldName); the walk ends at the last entry.
void CollectEntries(const ByteReader& node, std::size_t first, std::size_t end, std::u16string_view wantedName,
                    std::vector<std::uint64_t>& found) {
  end = std::min(end, node.size());
  for (std::size_t entry = first; entry + kSmallestEntry <= end;) {
    std::uint16_t length = *node.U16(entry + kEntryLength);
    std::uint32_t flags = *node.U32(entry + kEntryFlags);
    if (flags & kLastEntry) return;
    if (length < kSmallestEntry || length % 8 != 0 || length > end - entry) return;  // damaged: no further entry to trust
    std::span<const std::uint8_t> bytes = node.Range(entry, length).value();
    if (std::u16string name = NameAt(bytes, kEntryNameLength, kEntryName); CouldName(name, wantedName))
      found.push_back(RecordNumberOf(*ByteReader(bytes).U64(kEntryReference)));
    entry += length;
  }
}

class NtfsLocate {
 public:
  NtfsLocate(RawVolume& volume, const BootSectorFacts& facts)
      : volume_(volume),
        facts_(facts),
        records_(volume, ReadMftLayout(volume, facts), facts.volumeSectors, facts.fileRecordBytes) {}

  // Fills LocatedFile's NTFS fields; false with errorCode set.
  bool Run(const std::vector<std::u16string_view>& components, std::int32_t& errorCode) {
    if (components.empty()) {
      errorCode = error_code::kShredDataNotLocated;
      return false;
    }
    RecordBuffer directory = Blank();
    std::uint64_t directoryNumber = kRootDirectoryRecord;
    std::uint64_t parentNumber = kRootDirectoryRecord;
    if (!ReadRootIndexRuns(directory, errorCode)) return false;
    for (std::size_t m = 0; m < components.size(); ++m) {
      RecordBuffer found = Blank();
      std::optional<std::uint64_t> number = FindInDirectory(directory, directoryNumber, components[m], found, errorCode);
      if (errorCode != error_code::kNone) return false;
      if (!number) {
        // Not in the root: nothing to offer. Further down: the user may
        // still delete the file without its overwrite.
        if (m == 0) {
          errorCode = error_code::kShredDataNotLocated;
          return false;
        }
        LocatedFile.dataNotLocated = 1;
        return true;
      }
      const bool isDirectory = found[kRecordFlags] & kRecordIsDirectory;
      if (isDirectory != (m + 1 < components.size())) {
        LocatedFile.dataNotLocated = 1;
        return true;
      }
      parentNumber = directoryNumber;
      directory = found;
      directoryNumber = *number;
    }
    return TakeFileRecord(directory, directoryNumber, parentNumber, errorCode);
  }

  // How many copies of the names a folder's record and index blocks hold,
  // whole (what lies past their entries too).
  std::optional<std::uint32_t> CountNames(std::uint64_t folder, const std::vector<std::u16string>& names,
                                          std::int32_t& errorCode) {
    std::uint32_t found = 0;
    const NamePatterns patterns(names);
    auto count = [&](std::span<const std::uint8_t> bytes) {
      patterns.ForEachCopy(bytes, [&](std::size_t) { ++found; });
    };
    if (!WalkFolder(folder, errorCode, [&](std::span<const std::uint8_t> record) { count(record); },
                    [&](std::uint64_t, std::span<std::uint8_t> block) {
                      ApplyFixUp(block);  // a name across a sector's end reads whole
                      count(block);
                    }))
      return std::nullopt;
    return found;
  }

  // The sectors of the folder's index blocks that hold copies of the names
  // past the blocks' live entries, with those copies zeroed. Deleting or
  // moving an entry leaves the bytes it had past the entries that remain.
  std::optional<std::vector<IndexSectorPatch>> NamesPastEntries(std::uint64_t folder,
                                                                const std::vector<std::u16string>& names,
                                                                std::int32_t& errorCode) {
    std::vector<IndexSectorPatch> patches;
    const NamePatterns patterns(names);
    std::vector<DataRun> runs;
    std::vector<std::uint8_t> fixed;
    const bool walked = WalkFolder(
        folder, errorCode,
        [&](std::span<const std::uint8_t> record) { runs = LookUpInDirectory(record, u"").allocationRuns; },
        [&](std::uint64_t offset, std::span<std::uint8_t> raw) {
          fixed.assign(raw.begin(), raw.end());
          // A torn block is left alone: what it holds is not known.
          if (!ByteReader(fixed).Matches(0, "INDX") || ApplyFixUp(fixed) != FixUpResult::Fixed) return;
          const std::size_t entriesEnd =
              kBlockNodeHeader + std::size_t{ByteReader(fixed).U32(kBlockNodeHeader + kNodeEntriesEnd).value_or(0)};
          const std::size_t array = ByteReader(fixed).U16(ntfs::kUpdateSequenceOffset).value_or(0);
          const std::vector<std::uint8_t> before(raw.begin(), raw.end());
          std::vector<bool> changed(raw.size() / kSectorSize, false);
          patterns.ForEachCopy(fixed, [&](std::size_t at) {
            const std::size_t from = at - 2, to = at + 2 * patterns.LengthAt(fixed, at);
            if (from < entriesEnd) return;  // a live entry's name
            for (std::size_t i = from; i < to; ++i) {
              // The last two bytes of each sector are kept in the update sequence array.
              const std::size_t inSector = i % kSectorSize;
              if (inSector >= kSectorSize - 2) {
                raw[array + 2 + 2 * (i / kSectorSize) + (inSector - (kSectorSize - 2))] = 0;
                changed[0] = true;
              } else {
                raw[i] = 0;
              }
              changed[i / kSectorSize] = true;
            }
          });
          for (std::size_t s = 0; s < changed.size(); ++s) {
            if (!changed[s]) continue;
            std::optional<std::uint64_t> sector = AllocationSector(runs, offset + s * kSectorSize);
            if (!sector) continue;
            const std::size_t from = s * kSectorSize, to = from + kSectorSize;
            patches.push_back({*sector * kSectorSize, {before.begin() + from, before.begin() + to},
                               {raw.begin() + from, raw.begin() + to}});
          }
        });
    if (!walked) return std::nullopt;
    return patches;
  }

 private:
  // A name as index entries and file name attributes hold it: its length,
  // its namespace, its characters (so a longer name that holds it is not it).
  class NamePatterns {
   public:
    explicit NamePatterns(const std::vector<std::u16string>& names) {
      for (const std::u16string& name : names) {
        if (name.empty() || name.size() > 255) continue;
        std::vector<std::uint8_t>& bytes = patterns_.emplace_back();
        for (char16_t unit : name) {
          bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
          bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
      }
    }
    // Calls found(offset of the characters) for each copy.
    template <typename Found>
    void ForEachCopy(std::span<const std::uint8_t> bytes, Found found) const {
      for (const std::vector<std::uint8_t>& pattern : patterns_) {
        auto at = bytes.begin();
        while ((at = std::search(at, bytes.end(), pattern.begin(), pattern.end())) != bytes.end()) {
          const auto offset = static_cast<std::size_t>(at - bytes.begin());
          if (offset >= 2 && bytes[offset - 2] == pattern.size() / 2) found(offset);
          ++at;
        }
      }
    }
    static std::size_t LengthAt(std::span<const std::uint8_t> bytes, std::size_t at) { return bytes[at - 2]; }

   private:
    std::vector<std::vector<std::uint8_t>> patterns_;
  };

  // Reads the folder's record (fixed up) and then each of its index blocks
  // (as on the volume) with its byte offset in the allocation.
  template <typename OnRecord, typename OnBlock>
  bool WalkFolder(std::uint64_t folder, std::int32_t& errorCode, OnRecord onRecord, OnBlock onBlock) {
    RecordBuffer record = Blank();
    if (records_.Read(folder, record, errorCode) != MftRecordSource::Outcome::Read) return false;
    onRecord(std::span<const std::uint8_t>(record));
    DirectoryIndex index = LookUpInDirectory(record, u"");
    std::vector<std::uint8_t> block(index.blockSize);
    ChainGuard sectors(facts_.volumeSectors);
    for (std::uint64_t offset = 0; offset + index.blockSize <= AllocatedBytes(index); offset += index.blockSize) {
      if (!ReadAllocation(index.allocationRuns, offset, block, sectors, errorCode)) break;
      onBlock(offset, std::span<std::uint8_t>(block));
    }
    return errorCode == error_code::kNone;
  }

  // The volume sector that holds a byte offset of an index allocation.
  std::optional<std::uint64_t> AllocationSector(const std::vector<DataRun>& runs, std::uint64_t offset) const {
    const std::uint64_t clusterBytes = ClusterBytes(facts_);
    if (clusterBytes == 0) return std::nullopt;
    std::uint64_t cluster = offset / clusterBytes;
    for (const DataRun& run : runs) {
      if (cluster < run.clusterCount) {
        if (run.sparse) return std::nullopt;
        return (run.startCluster + cluster) * facts_.geometry.sectorsPerCluster + offset % clusterBytes / kSectorSize;
      }
      cluster -= run.clusterCount;
    }
    return std::nullopt;
  }

  // Reads the root directory's record, whose index the walk starts from.
  bool ReadRootIndexRuns(RecordBuffer& root, std::int32_t& errorCode) {
    switch (records_.Read(kRootDirectoryRecord, root, errorCode)) {
      case MftRecordSource::Outcome::Read:
        return true;
      case MftRecordSource::Outcome::NotThere:
        errorCode = error_code::kShredDataNotLocated;
        return false;
      case MftRecordSource::Outcome::Failed:
        break;
    }
    return false;
  }

  // The record in directoryRecord's index that is wantedName: in use, a base
  // record of that sequence, with that name under that parent. Index blocks
  // may hold stale copies of entries; only such a record is accepted.
  std::optional<std::uint64_t> FindInDirectory(const RecordBuffer& directoryRecord, std::uint64_t directoryNumber,
                                               std::u16string_view wantedName, RecordBuffer& found,
                                               std::int32_t& errorCode) {
    // Names are compared without case, but a folder may hold names that
    // differ only in case (POSIX names): the one of exactly that case wins,
    // else the first that matches.
    std::optional<std::uint64_t> firstMatch;
    RecordBuffer firstRecord = Blank();
    auto consider = [&](std::uint64_t candidate) {
      bool exact = false;
      RecordBuffer record = Blank();
      if (!Accept(candidate, directoryNumber, wantedName, record, exact, errorCode)) return false;
      if (exact) {
        found = record;
        firstMatch = candidate;
        return true;
      }
      if (!firstMatch) {
        firstMatch = candidate;
        firstRecord = record;
      }
      return false;
    };
    auto result = [&]() -> std::optional<std::uint64_t> {
      if (firstMatch && errorCode == error_code::kNone) {
        found = firstRecord;
        return firstMatch;
      }
      return std::nullopt;
    };
    DirectoryIndex index = LookUpInDirectory(directoryRecord, wantedName);
    for (std::uint64_t candidate : index.rootMatches)
      if (consider(candidate)) return candidate;
    if (errorCode != error_code::kNone) return std::nullopt;

    std::vector<std::uint8_t> block(index.blockSize);
    // Each sector of the index is read once: a run list that points back at
    // itself, or claims more than the volume holds, ends the search.
    ChainGuard sectors(facts_.volumeSectors);
    for (std::uint64_t offset = 0; offset + index.blockSize <= AllocatedBytes(index); offset += index.blockSize) {
      if (!ReadAllocation(index.allocationRuns, offset, block, sectors, errorCode)) return std::nullopt;
      for (std::uint64_t candidate : SearchIndexBlock(block, wantedName))
        if (consider(candidate)) return candidate;
      if (errorCode != error_code::kNone) return std::nullopt;
    }
    return result();
  }

  // The bytes of a folder's index blocks, as far as a volume can hold them
  // (the sector guard ends a walk past that).
  std::uint64_t AllocatedBytes(const DirectoryIndex& index) const {
    const std::uint64_t clusterBytes = ClusterBytes(facts_);
    std::uint64_t allocated = 0;
    for (const DataRun& run : index.allocationRuns) {
      if (clusterBytes == 0 || run.clusterCount > (UINT64_MAX - allocated) / clusterBytes) break;
      allocated += run.clusterCount * clusterBytes;
    }
    return allocated;
  }

  bool Accept(std::uint64_t candidate, std::uint64_t directoryNumber, std::u16string_view wantedName,
              RecordBuffer& record, bool& exact, std::int32_t& errorCode) {
    if (records_.Read(candidate, record, errorCode) != MftRecordSource::Outcome::Read) return false;
    ByteReader reader(record);
    if (!(record[kRecordFlags] & kRecordInUse) || reader.U64(kBaseRecord) != 0) return false;
    std::uint64_t parent = 0;
    if (MatchFileNameAndParent(record, wantedName, parent, &exact)) return parent == directoryNumber;
    // A file of many extents or names may keep its names in extension records.
    bool complete = true;
    for (const HeldRecord& extension : ReadExtensionRecords(record, candidate, complete, errorCode))
      if (MatchFileNameAndParent(extension.bytes, wantedName, parent, &exact)) return parent == directoryNumber;
    return false;
  }

  struct HeldRecord {
    std::uint64_t number = 0;
    RecordBuffer bytes;
  };

  // The extension records the base record's attribute list names, each in
  // use and naming this base; complete false when the list, or a record it
  // names, could not be read or is not this file's.
  std::vector<HeldRecord> ReadExtensionRecords(const RecordBuffer& base, std::uint64_t baseNumber, bool& complete,
                                               std::int32_t& errorCode) {
    complete = true;
    std::vector<std::uint8_t> list;
    bool hasList = false;
    ForEachAttribute(base, [&](const AttributeView& attribute) {
      if (attribute.type != kTypeAttributeList) return true;
      hasList = true;
      if (std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue()) {
        list.assign(value->begin(), value->end());
      } else {
        MftRecord nonResident;
        complete = ParseDataAttribute(base, static_cast<std::uint16_t>(attribute.offset), nonResident) &&
                   !nonResident.isResident && nonResident.realSize <= kLargestAttributeList &&
                   ReadStreamBytes(volume_, Stream(nonResident.runs), nonResident.realSize, list);
      }
      return false;
    });
    std::vector<HeldRecord> held;
    if (!hasList) return held;
    bool listComplete = true;
    for (const AttributeListEntry& entry : ReadAttributeList(list, listComplete)) {
      const std::uint64_t number = RecordNumberOf(entry.record);
      if (number == baseNumber || std::any_of(held.begin(), held.end(), [&](const HeldRecord& h) { return h.number == number; }))
        continue;
      HeldRecord extension{number, Blank()};
      if (records_.Read(number, extension.bytes, errorCode) != MftRecordSource::Outcome::Read) {
        complete = false;
        if (errorCode != error_code::kNone) return {};
        continue;
      }
      ByteReader reader(extension.bytes);
      const std::uint16_t sequence = SequenceOf(entry.record);
      if (!(extension.bytes[kRecordFlags] & kRecordInUse) || RecordNumberOf(*reader.U64(kBaseRecord)) != baseNumber ||
          (sequence != 0 && reader.U16(kRecordSequence) != sequence)) {
        complete = false;
        continue;
      }
      held.push_back(extension);
    }
    complete &= listComplete;
    return held;
  }

  // Reads `block.size()` bytes at a byte offset of an index allocation,
  // taking their sectors from `sectors`. False without a code where the index
  // is damaged: a sparse stretch (an index has none), sectors outside the
  // volume or taken before.
  bool ReadAllocation(const std::vector<DataRun>& runs, std::uint64_t offset, std::span<std::uint8_t> block,
                      ChainGuard& sectors, std::int32_t& errorCode) {
    return ReadThroughRuns(volume_, Stream(runs), offset, block, errorCode, Holes::Refused, &sectors) == RunRead::Read;
  }

  RunStream Stream(const std::vector<DataRun>& runs) const {
    return {runs, facts_.geometry.sectorsPerCluster, facts_.volumeSectors};
  }

  RecordBuffer Blank() const { return RecordBuffer(records_.RecordBytes()); }

  bool TakeFileRecord(const RecordBuffer& record, std::uint64_t number, std::uint64_t parent,
                      std::int32_t& errorCode) {
    LocatedFile.recordNumber = number;
    LocatedFile.parentRecord = parent;
    LocatedFile.sequenceNumber = *ByteReader(record).U16(kRecordSequence);
    std::optional<std::uint64_t> sector = records_.SectorOf(number);
    LocatedFile.recordSector = sector.value_or(0);
    // With an attribute list the names and the pieces of the data may lie in
    // extension records: all of them are the file's.
    bool complete = true;
    std::vector<HeldRecord> held = ReadExtensionRecords(record, number, complete, errorCode);
    if (errorCode != error_code::kNone) return false;
    bool attributeList = false;
    ForEachAttribute(record, [&](const AttributeView& attribute) {
      attributeList |= attribute.type == kTypeAttributeList;
      return !attributeList;
    });
    for (const HeldRecord& extension : held) {
      std::optional<std::uint64_t> at = records_.SectorOf(extension.number);
      if (!at) complete = false;
      LocatedFile.extensionRecords.push_back(
          {extension.number, at.value_or(0), *ByteReader(extension.bytes).U16(kRecordSequence)});
    }
    held.insert(held.begin(), HeldRecord{number, record});
    // Each data attribute by its stream name, in the pieces the records hold.
    struct Piece {
      std::uint64_t firstVcn = 0;
      MftRecord data;
    };
    std::vector<std::pair<std::u16string, std::vector<Piece>>> streams;
    for (const HeldRecord& holder : held) {
      ForEachAttribute(holder.bytes, [&](const AttributeView& attribute) {
        if (attribute.type == kTypeFileName) {
          std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue();
          std::optional<FileNameValue> name = value ? ReadFileNameValue(*value) : std::nullopt;
          if (!name) return true;
          if (name->nameSpace != kDosNamespace) ++LocatedFile.linkNames;
          LocatedFile.names.push_back(name->name);
        } else if (attribute.type == kTypeData) {
          Piece piece;
          if (!ParseDataAttribute(holder.bytes, static_cast<std::uint16_t>(attribute.offset), piece.data) ||
              !piece.data.runsComplete)
            complete = false;
          if (attribute.NonResident()) piece.firstVcn = ByteReader(attribute.bytes).U64(kFirstVcn).value_or(0);
          const std::u16string name = attribute.Name();
          auto stream = std::find_if(streams.begin(), streams.end(), [&](const auto& s) { return s.first == name; });
          if (stream == streams.end()) stream = streams.insert(streams.end(), {name, {}});
          stream->second.push_back(std::move(piece));
        }
        return true;
      });
    }
    // The pieces in order, each going on where the one before ended.
    auto join = [&](std::vector<Piece>& pieces, MftRecord& out) {
      std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.firstVcn < b.firstVcn; });
      out = std::move(pieces.front().data);
      std::uint64_t nextVcn = 0;
      for (const DataRun& run : out.runs) nextVcn += run.clusterCount;
      if (pieces.front().firstVcn != 0 || (out.isResident && pieces.size() > 1)) complete = false;
      for (std::size_t i = 1; i < pieces.size(); ++i) {
        if (pieces[i].data.isResident || pieces[i].firstVcn != nextVcn) complete = false;
        for (const DataRun& run : pieces[i].data.runs) {
          out.runs.push_back(run);
          nextVcn += run.clusterCount;
        }
      }
    };
    for (auto& [name, pieces] : streams) {
      if (name.empty()) {
        MftRecord joined;
        join(pieces, joined);
        // In one record: the record as parsed (its name before its data).
        if (!attributeList) complete &= ParseFileRecord(record, LocatedFile.record);
        else LocatedFile.record = std::move(joined);
        continue;
      }
      MftRecord stream;
      join(pieces, stream);
      stream.name = name;
      LocatedFile.namedStreams.push_back(std::move(stream));
    }
    const bool unnamedData = std::any_of(streams.begin(), streams.end(), [](const auto& s) { return s.first.empty(); });
    if (!sector || !complete || !unnamedData) LocatedFile.dataNotLocated = 1;
    return true;
  }

  RawVolume& volume_;
  const BootSectorFacts& facts_;
  MftRecordSource records_;
};

bool LocateFat(RawVolume& volume, const BootSectorFacts& facts, std::u16string_view path, std::int32_t& errorCode) {
  FatLocation& location = LocatedFile;
  if (!FindFatPath(volume, facts, path, location, errorCode)) return false;
  const std::uint64_t clusterBytes = ClusterBytes(facts);
  if (LocatedFile.fileSize > 0 && LocatedFile.firstCluster >= 2) {
    const std::uint64_t needed = (std::uint64_t{LocatedFile.fileSize} + clusterBytes - 1) / clusterBytes;
    LocatedFile.clusters = ReadFatChain(volume, facts, LocatedFile.firstCluster, needed).clusters;
  }
  return true;
}

// The live entry set the path names, its entries' bytes and its clusters
// (as many as its length needs; fewer where its chain breaks off).
bool LocateExfat(RawVolume& volume, std::u16string_view path, std::int32_t& errorCode) {
  std::optional<ExfatVolume> exfat = ExfatVolume::Open(volume, errorCode);
  if (!exfat) return false;
  ExfatEntrySet set;
  if (!FindExfatPath(*exfat, path, set, errorCode)) return false;
  std::array<std::uint8_t, kSectorSize> sector{};
  for (std::uint64_t offset : set.entryOffsets) {
    const std::uint64_t sectorStart = offset / kSectorSize * kSectorSize;
    if (!exfat->ReadBytes(sectorStart, sector, errorCode)) return false;
    ExfatEntryPlace& place = LocatedFile.exfatEntries.emplace_back();
    place.offset = offset;
    std::copy_n(sector.begin() + static_cast<std::ptrdiff_t>(offset - sectorStart), place.bytes.size(),
                place.bytes.begin());
  }
  LocatedFile.name = set.name;
  LocatedFile.exfatStream = set.stream;
  LocatedFile.exfatVolume = exfat->Facts();
  LocatedFile.exfatBitmapClusters = exfat->BitmapClusters();
  if (set.stream.dataLength > 0) LocatedFile.clusters = exfat->StreamClusters(set.stream).clusters;
  return true;
}

}  // namespace

bool MatchFileNameAndParent(FileRecordBytes record, std::u16string_view wantedName, std::uint64_t& parentRecord,
                            bool* exactCase) {
  bool matched = false;
  if (exactCase) *exactCase = false;
  ForEachAttribute(record, [&](const AttributeView& attribute) {
    if (attribute.type != kTypeFileName) return true;
    std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue();
    if (!value || value->size() < kName) return true;
    std::optional<FileNameValue> name = ReadFileNameValue(*value);
    if (!name) return true;
    const std::u16string& found = name->name;
    if (!SameNameIgnoringCase(found, wantedName)) return true;
    const bool exact = found == wantedName;
    if (!matched || exact) parentRecord = RecordNumberOf(name->parent);
    matched = true;
    if (!exact) return true;  // look on for a name of exactly that case
    if (exactCase) *exactCase = true;
    return false;
  });
  return matched;
}

DirectoryIndex LookUpInDirectory(FileRecordBytes record, std::u16string_view wantedName) {
  DirectoryIndex index;
  bool allocationSeen = false;
  ForEachAttribute(record, [&](const AttributeView& attribute) {
    const std::uint32_t type = attribute.type;
    if (type == kTypeAttributeList) index.hasAttributeList = true;
    if (type == kTypeIndexRoot) {
      std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue();
      if (!value) return true;
      ByteReader root(*value);
      std::uint32_t blockSize = root.U32(kRootBlockSize).value_or(0);
      if (blockSize >= kSectorSize && blockSize <= kLargestBlockSize && (blockSize & (blockSize - 1)) == 0)
        index.blockSize = blockSize;
      std::optional<std::uint32_t> first = root.U32(kRootNodeHeader + kNodeEntriesOffset);
      std::optional<std::uint32_t> end = root.U32(kRootNodeHeader + kNodeEntriesEnd);
      // A large index keeps entries in its root as well as in its blocks.
      if (first && end) CollectEntries(root, kRootNodeHeader + *first, kRootNodeHeader + std::size_t{*end}, wantedName, index.rootMatches);
    } else if (type == kTypeIndexAllocation && !allocationSeen && attribute.bytes[kNonResident] == 1) {
      // The directory's own index is $I30; other indexes live in system files.
      std::u16string name = attribute.Name();
      if (!name.empty() && name != u"$I30") return true;
      MftRecord allocation;
      if (ParseDataAttribute(record,
                             static_cast<std::uint16_t>(attribute.offset), allocation)) {
        index.allocationRuns = allocation.runs;
        allocationSeen = true;
      }
    }
    return true;
  });
  return index;
}

std::vector<std::uint64_t> SearchIndexBlock(std::span<std::uint8_t> block, std::u16string_view wantedName) {
  std::vector<std::uint64_t> found;
  ByteReader reader(block);
  // A torn block (a sector written apart from the others) is not to be trusted.
  if (!reader.Matches(0, "INDX") || ApplyFixUp(block) != FixUpResult::Fixed) return found;
  ByteReader fixed(block);
  std::size_t first = kBlockNodeHeader + *fixed.U32(kBlockNodeHeader + kNodeEntriesOffset);
  std::size_t end = kBlockNodeHeader + std::size_t{*fixed.U32(kBlockNodeHeader + kNodeEntriesEnd)};
  CollectEntries(fixed, first, end, wantedName, found);
  return found;
}

namespace {

bool Locate(char driveLetter, std::int32_t& errorCode) {
  LocatedFile = {};
  std::int32_t code = error_code::kNone;
  std::optional<BootSectorFacts> facts = ReadBootSector(driveLetter, code);
  if (!facts) {
    if (code == error_code::kSectorReadFailed) {
      ReportSystemError(RawVolume::LastReadFailure(), error_code::kShredSystemError, errorCode);
    } else if (code == error_code::kVolumeOpenFailed) {
      errorCode = error_code::kShredSystemError;  // the open failure's text is already there
    } else {
      errorCode = code;  // not recognised, or refused
    }
    return false;
  }
  LocatedFile.volume = *facts;
  RawVolume volume(driveLetter);
  const std::u16string path = ShredFilePath.Get();
  if (facts->kind == kFileSystemFat32) return LocateFat(volume, *facts, path, errorCode);
  if (facts->kind == kFileSystemExfat) return LocateExfat(volume, path, errorCode);
  if (facts->kind != kFileSystemNtfs) {
    errorCode = error_code::kUnrecognizedFileSystem;  // no other file system is located
    return false;
  }
  NtfsLocate locate(volume, *facts);
  return locate.Run(PathComponents(path), errorCode);
}

}  // namespace

bool LocateFileClusters(char driveLetter, std::int32_t& errorCode) { return Locate(driveLetter, errorCode); }

std::optional<LocatedFileData> LocateAgain(char driveLetter, std::int32_t& errorCode) {
  LocatedFileData kept = std::move(LocatedFile);
  const bool located = Locate(driveLetter, errorCode) && !LocatedFile.dataNotLocated;
  LocatedFileData now = std::move(LocatedFile);
  LocatedFile = std::move(kept);
  if (!located) return std::nullopt;
  return now;
}

std::optional<std::uint32_t> CountNamesInFolder(char driveLetter, const BootSectorFacts& facts,
                                                std::uint64_t folderRecord, const std::vector<std::u16string>& names,
                                                std::int32_t& errorCode) {
  RawVolume volume(driveLetter);
  NtfsLocate locate(volume, facts);
  return locate.CountNames(folderRecord, names, errorCode);
}

std::optional<std::vector<IndexSectorPatch>> NamesPastFolderEntries(char driveLetter, const BootSectorFacts& facts,
                                                                    std::uint64_t folderRecord,
                                                                    const std::vector<std::u16string>& names,
                                                                    std::int32_t& errorCode) {
  RawVolume volume(driveLetter);
  NtfsLocate locate(volume, facts);
  return locate.NamesPastEntries(folderRecord, names, errorCode);
}

}  // namespace corvanel
