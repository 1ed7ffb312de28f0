// The locate: from a path to the file's record and extents (NTFS) or its
// directory entries and clusters (FAT32).
#include "volume/file_locate.h"

#include <algorithm>
#include <array>
#include <optional>

#include "app/busy_indicator.h"
#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "volume/chain_guard.h"
#include "volume/deleted_file_scan.h"
#include "volume/file_names.h"
#include "volume/raw_volume.h"

namespace corvanel {

LocatedFileData LocatedFile;

namespace {

constexpr std::uint64_t kRootDirectoryRecord = 5;
constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;  // a file reference's low 48 bits

// File record header
constexpr std::size_t kRecordSequence = 0x10;
constexpr std::size_t kFirstAttribute = 0x14;
constexpr std::size_t kRecordFlags = 0x16;
constexpr std::size_t kBaseRecord = 0x20;
constexpr std::uint8_t kRecordInUse = 0x01;
constexpr std::uint8_t kRecordIsDirectory = 0x02;

// Attributes
constexpr std::uint32_t kTypeAttributeList = 0x20;
constexpr std::uint32_t kTypeFileName = 0x30;
constexpr std::uint32_t kTypeData = 0x80;
constexpr std::uint32_t kTypeIndexRoot = 0x90;
constexpr std::uint32_t kTypeIndexAllocation = 0xA0;
constexpr std::uint32_t kEndOfAttributes = 0xFFFFFFFF;
constexpr std::size_t kAttributeLength = 0x04;
constexpr std::size_t kNonResident = 0x08;
constexpr std::size_t kAttributeNameLength = 0x09;
constexpr std::size_t kAttributeNameOffset = 0x0A;
constexpr std::size_t kValueLength = 0x10;
constexpr std::size_t kValueOffset = 0x14;

// File name value
constexpr std::size_t kNameParent = 0x00;
constexpr std::size_t kNameLength = 0x40;
constexpr std::size_t kNameNamespace = 0x41;
constexpr std::size_t kName = 0x42;
constexpr std::uint8_t kDosNamespace = 2;  // the 8.3 alias of a long name, not a link of its own

// Index root value, and the node header inside it (and inside index blocks)
constexpr std::size_t kRootBlockSize = 0x08;
constexpr std::size_t kRootNodeHeader = 0x10;
constexpr std::size_t kNodeEntriesOffset = 0x00;
constexpr std::size_t kNodeEntriesEnd = 0x04;

// Index entry
constexpr std::size_t kEntryReference = 0x00;
constexpr std::size_t kEntryLength = 0x08;
constexpr std::size_t kEntryFlags = 0x0C;
constexpr std::size_t kEntryNameLength = 0x50;
constexpr std::size_t kEntryName = 0x52;
constexpr std::uint32_t kLastEntry = 0x02;
constexpr std::size_t kSmallestEntry = 0x10;

// Index block
constexpr std::size_t kBlockUpdateSequenceOffset = 0x04;
constexpr std::size_t kBlockUpdateSequenceCount = 0x06;
constexpr std::size_t kBlockNodeHeader = 0x18;

constexpr std::uint32_t kLargestBlockSize = 65536;

using RecordBuffer = std::array<std::uint8_t, kFileRecordSize>;

std::u16string NameAt(const ByteReader& bytes, std::size_t lengthOffset, std::size_t nameOffset) {
  std::optional<std::uint8_t> length = bytes.U8(lengthOffset);
  if (!length) return {};
  std::optional<std::span<const std::uint8_t>> raw = bytes.Range(nameOffset, std::size_t{*length} * 2);
  if (!raw) return {};
  std::u16string name(*length, u'\0');
  for (std::size_t i = 0; i < name.size(); ++i) name[i] = static_cast<char16_t>((*raw)[2 * i] | (*raw)[2 * i + 1] << 8);
  return name;
}

// Equal, or equal but for the last character of each (a short name that the
// record itself has to confirm).
bool CouldName(std::u16string_view entryName, std::u16string_view wanted) {
  if (SameNameIgnoringCase(entryName, wanted)) return true;
  return !entryName.empty() && entryName.size() == wanted.size() &&
         SameNameIgnoringCase(entryName.substr(0, entryName.size() - 1), wanted.substr(0, wanted.size() - 1));
}

// Calls visit(type, offset, length) for each attribute of a record, while
// the headers stay inside it; visit returns false to stop.
template <typename Visit>
void ForEachAttribute(FileRecordBytes record, Visit visit) {
  ByteReader reader(record);
  std::size_t offset = reader.U16(kFirstAttribute).value_or(0);
  while (offset + 8 <= record.size()) {
    std::uint32_t type = *reader.U32(offset);
    std::uint32_t length = *reader.U32(offset + kAttributeLength);
    if (type == kEndOfAttributes || length < 0x18 || length > record.size() - offset) return;
    if (!visit(type, offset, static_cast<std::size_t>(length))) return;
    offset += length;
  }
}

// The resident value of an attribute, when it lies inside the attribute.
std::optional<std::span<const std::uint8_t>> ResidentValue(FileRecordBytes record, std::size_t attribute,
                                                           std::size_t length) {
  ByteReader reader(record.subspan(attribute, length));
  if (reader.U8(kNonResident) != 0) return std::nullopt;
  std::optional<std::uint32_t> valueLength = reader.U32(kValueLength);
  std::optional<std::uint16_t> valueOffset = reader.U16(kValueOffset);
  if (!valueLength || !valueOffset) return std::nullopt;
  return reader.Range(*valueOffset, *valueLength);
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
    ByteReader bytes(node.Range(entry, length).value());
    if (std::u16string name = NameAt(bytes, kEntryNameLength, kEntryName); CouldName(name, wantedName))
      found.push_back(*bytes.U64(kEntryReference) & kRecordNumberMask);
    entry += length;
  }
}

// Reads records by number through the MFT's own extents.
class RecordSource {
 public:
  RecordSource(RawVolume& volume, const BootSectorFacts& facts)
      : volume_(volume), layout_(ReadMftLayout(volume, facts)) {}

  // The sector of a record whose two sectors lie together on the volume.
  std::optional<std::uint32_t> SectorOf(std::uint64_t record) const {
    if (record > UINT64_MAX / 4) return std::nullopt;
    MftLayout::Place place = layout_.Locate(record * 2);
    if (place.sparse || place.contiguous < 2 || place.sector + 2 > 0x100000000ull) return std::nullopt;
    return static_cast<std::uint32_t>(place.sector);
  }

  enum class Outcome { Read, NotThere, Failed };

  // Reads and fixes up a record. NotThere: no sectors for it, or no "FILE".
  Outcome Read(std::uint64_t record, RecordBuffer& bytes, std::int32_t& errorCode) {
    std::optional<std::uint32_t> sector = SectorOf(record);
    if (!sector) return Outcome::NotThere;
    if (!volume_.ReadSectors(*sector, 2, bytes, errorCode)) return Outcome::Failed;
    if (!ByteReader(bytes).Matches(0, "FILE")) return Outcome::NotThere;
    FixUpRecordSector(bytes);
    return Outcome::Read;
  }

 private:
  RawVolume& volume_;
  MftLayout layout_;
};

class NtfsLocate {
 public:
  NtfsLocate(RawVolume& volume, const BootSectorFacts& facts)
      : volume_(volume), facts_(facts), records_(volume, facts) {}

  // Fills LocatedFile's NTFS fields; false with errorCode set.
  bool Run(const std::vector<std::u16string_view>& components, std::int32_t& errorCode) {
    if (components.empty()) {
      errorCode = error_code::kShredDataNotLocated;
      return false;
    }
    RecordBuffer directory{};
    std::uint64_t directoryNumber = kRootDirectoryRecord;
    if (!ReadRootIndexRuns(directory, errorCode)) return false;
    for (std::size_t m = 0; m < components.size(); ++m) {
      RecordBuffer found{};
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
      directory = found;
      directoryNumber = *number;
    }
    return TakeFileRecord(directory, directoryNumber);
  }

 private:
  // Reads the root directory's record, whose index the walk starts from.
  bool ReadRootIndexRuns(RecordBuffer& root, std::int32_t& errorCode) {
    switch (records_.Read(kRootDirectoryRecord, root, errorCode)) {
      case RecordSource::Outcome::Read:
        return true;
      case RecordSource::Outcome::NotThere:
        errorCode = error_code::kShredDataNotLocated;
        return false;
      case RecordSource::Outcome::Failed:
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
    RecordBuffer firstRecord{};
    auto consider = [&](std::uint64_t candidate) {
      bool exact = false;
      RecordBuffer record{};
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

    const std::uint64_t clusterBytes = std::uint64_t{facts_.geometry.sectorsPerCluster} * kSectorSize;
    std::uint64_t allocated = 0;
    for (const DataRun& run : index.allocationRuns) allocated += std::uint64_t{run.clusterCount} * clusterBytes;
    std::vector<std::uint8_t> block(index.blockSize);
    // Each sector of the index is read once: a run list that points back at
    // itself, or claims more than the volume holds, ends the search.
    ChainGuard sectors(facts_.volumeSectors);
    for (std::uint64_t offset = 0; offset + index.blockSize <= allocated; offset += index.blockSize) {
      if (!ReadAllocation(index.allocationRuns, offset, block, sectors, errorCode)) return std::nullopt;
      for (std::uint64_t candidate : SearchIndexBlock(block, wantedName))
        if (consider(candidate)) return candidate;
      if (errorCode != error_code::kNone) return std::nullopt;
    }
    return result();
  }

  bool Accept(std::uint64_t candidate, std::uint64_t directoryNumber, std::u16string_view wantedName,
              RecordBuffer& record, bool& exact, std::int32_t& errorCode) {
    if (records_.Read(candidate, record, errorCode) != RecordSource::Outcome::Read) return false;
    ByteReader reader(record);
    if (!(record[kRecordFlags] & kRecordInUse) || reader.U64(kBaseRecord) != 0) return false;
    std::uint64_t parent = 0;
    return MatchFileNameAndParent(record, wantedName, parent, &exact) && parent == directoryNumber;
  }

  // Reads `block.size()` bytes at a byte offset of an index allocation,
  // following its extents and taking their sectors from `sectors`. False
  // without a code where the index is damaged: a sparse stretch (an index
  // has none), sectors outside the volume or taken before.
  bool ReadAllocation(const std::vector<DataRun>& runs, std::uint64_t offset, std::span<std::uint8_t> block,
                      ChainGuard& sectors, std::int32_t& errorCode) {
    const std::uint64_t clusterBytes = std::uint64_t{facts_.geometry.sectorsPerCluster} * kSectorSize;
    std::uint64_t runOffset = 0;
    std::size_t done = 0;
    for (const DataRun& run : runs) {
      const std::uint64_t runBytes = std::uint64_t{run.clusterCount} * clusterBytes;
      while (done < block.size() && offset + done < runOffset + runBytes) {
        if (offset + done < runOffset) return false;
        if (run.startCluster == 0) return false;
        const std::uint64_t into = offset + done - runOffset;
        const std::uint64_t byte = std::uint64_t{run.startCluster} * clusterBytes + into;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(block.size() - done, runOffset + runBytes - (offset + done)));
        if ((byte / kSectorSize) + take / kSectorSize > 0x100000000ull || byte % kSectorSize || take % kSectorSize)
          return false;
        if (!sectors.Take(byte / kSectorSize, take / kSectorSize)) return false;
        if (!volume_.ReadSectors(static_cast<std::uint32_t>(byte / kSectorSize),
                                 static_cast<std::uint16_t>(take / kSectorSize), block.subspan(done, take), errorCode))
          return false;
        done += take;
      }
      runOffset += runBytes;
      if (done == block.size()) return true;
    }
    return false;
  }

  bool TakeFileRecord(const RecordBuffer& record, std::uint64_t number) {
    LocatedFile.recordNumber = number;
    LocatedFile.sequenceNumber = *ByteReader(record).U16(kRecordSequence);
    std::optional<std::uint32_t> sector = records_.SectorOf(number);
    LocatedFile.recordSector = sector.value_or(0);
    // Data described in other records (an attribute list) is out of this
    // record's reach: it cannot be overwritten from here.
    bool attributeList = false;
    bool streamsRead = true;
    ForEachAttribute(record, [&](std::uint32_t type, std::size_t offset, std::size_t length) {
      attributeList |= type == kTypeAttributeList;
      ByteReader attribute(std::span<const std::uint8_t>(record).subspan(offset, length));
      if (type == kTypeFileName) {
        std::optional<std::span<const std::uint8_t>> value = ResidentValue(record, offset, length);
        if (value && ByteReader(*value).U8(kNameNamespace).value_or(0) != kDosNamespace) ++LocatedFile.linkNames;
      } else if (type == kTypeData && attribute.U8(kAttributeNameLength).value_or(0) != 0) {
        // A named stream: its bytes are the file's as much as the unnamed data's.
        MftRecord stream;
        streamsRead &= ParseDataAttribute(record, static_cast<std::uint16_t>(offset), stream);
        stream.name = NameAt(attribute, kAttributeNameLength, attribute.U16(kAttributeNameOffset).value_or(0));
        LocatedFile.namedStreams.push_back(std::move(stream));
      }
      return true;
    });
    if (!streamsRead) LocatedFile.dataNotLocated = 1;
    if (!sector || attributeList || !ParseFileRecord(record, LocatedFile.record)) LocatedFile.dataNotLocated = 1;
    return true;
  }

  RawVolume& volume_;
  const BootSectorFacts& facts_;
  RecordSource records_;
};

bool LocateFat(RawVolume& volume, const BootSectorFacts& facts, std::u16string_view path, std::int32_t& errorCode) {
  FatLocation& location = LocatedFile;
  if (!FindFatPath(volume, facts, path, location, errorCode)) return false;
  const std::uint64_t clusterBytes = std::uint64_t{facts.geometry.sectorsPerCluster} * kSectorSize;
  if (LocatedFile.fileSize > 0 && LocatedFile.firstCluster >= 2) {
    const std::uint64_t needed = (std::uint64_t{LocatedFile.fileSize} + clusterBytes - 1) / clusterBytes;
    LocatedFile.clusters = ReadFatChain(volume, facts, LocatedFile.firstCluster, needed).clusters;
  }
  return true;
}

}  // namespace

bool MatchFileNameAndParent(FileRecordBytes record, std::u16string_view wantedName, std::uint64_t& parentRecord,
                            bool* exactCase) {
  bool matched = false;
  if (exactCase) *exactCase = false;
  ForEachAttribute(record, [&](std::uint32_t type, std::size_t offset, std::size_t length) {
    if (type != kTypeFileName) return true;
    std::optional<std::span<const std::uint8_t>> value = ResidentValue(record, offset, length);
    if (!value) return true;
    ByteReader name(*value);
    if (!name.Has(0, kName)) return true;
    const std::u16string found = NameAt(name, kNameLength, kName);
    if (!SameNameIgnoringCase(found, wantedName)) return true;
    const bool exact = found == wantedName;
    if (!matched || exact) parentRecord = *name.U64(kNameParent) & kRecordNumberMask;
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
  ForEachAttribute(record, [&](std::uint32_t type, std::size_t offset, std::size_t length) {
    ByteReader attribute(record.subspan(offset, length));
    if (type == kTypeAttributeList) index.hasAttributeList = true;
    if (type == kTypeIndexRoot) {
      std::optional<std::span<const std::uint8_t>> value = ResidentValue(record, offset, length);
      if (!value) return true;
      ByteReader root(*value);
      std::uint32_t blockSize = root.U32(kRootBlockSize).value_or(0);
      if (blockSize >= kSectorSize && blockSize <= kLargestBlockSize && (blockSize & (blockSize - 1)) == 0)
        index.blockSize = blockSize;
      std::optional<std::uint32_t> first = root.U32(kRootNodeHeader + kNodeEntriesOffset);
      std::optional<std::uint32_t> end = root.U32(kRootNodeHeader + kNodeEntriesEnd);
      // A large index keeps entries in its root as well as in its blocks.
      if (first && end) CollectEntries(root, kRootNodeHeader + *first, kRootNodeHeader + std::size_t{*end}, wantedName, index.rootMatches);
    } else if (type == kTypeIndexAllocation && !allocationSeen && attribute.U8(kNonResident) == 1) {
      // The directory's own index is $I30; other indexes live in system files.
      std::u16string name = NameAt(attribute, kAttributeNameLength, attribute.U16(kAttributeNameOffset).value_or(0));
      if (!name.empty() && name != u"$I30") return true;
      MftRecord allocation;
      if (ParseDataAttribute(std::span<const std::uint8_t, kFileRecordSize>(record.data(), kFileRecordSize),
                             static_cast<std::uint16_t>(offset), allocation)) {
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
  if (!reader.Matches(0, "INDX") || block.size() % kSectorSize != 0) return found;
  // The update sequence: one number, then the saved last two bytes of each
  // sector; every sector must end with the number, or the block is torn.
  const std::size_t sectors = block.size() / kSectorSize;
  std::size_t array = *reader.U16(kBlockUpdateSequenceOffset);
  std::size_t count = *reader.U16(kBlockUpdateSequenceCount);
  if (count != sectors + 1 || !reader.Has(array, 2 * count) || array < 0x28) return found;
  for (std::size_t s = 0; s < sectors; ++s) {
    std::size_t end = (s + 1) * kSectorSize - 2;
    if (block[end] != block[array] || block[end + 1] != block[array + 1]) return found;
  }
  for (std::size_t s = 0; s < sectors; ++s) {
    std::size_t end = (s + 1) * kSectorSize - 2;
    block[end] = block[array + 2 + 2 * s];
    block[end + 1] = block[array + 3 + 2 * s];
  }
  ByteReader fixed(block);
  std::size_t first = kBlockNodeHeader + *fixed.U32(kBlockNodeHeader + kNodeEntriesOffset);
  std::size_t end = kBlockNodeHeader + std::size_t{*fixed.U32(kBlockNodeHeader + kNodeEntriesEnd)};
  CollectEntries(fixed, first, end, wantedName, found);
  return found;
}

bool LocateFileClusters(char driveLetter, std::int32_t& errorCode) {
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
  StartBusyIndicator();
  RawVolume volume(driveLetter);
  const std::u16string path = ShredFilePath.Get();
  if (facts->kind == kFileSystemFat32) return LocateFat(volume, *facts, path, errorCode);
  NtfsLocate locate(volume, *facts);
  return locate.Run(PathComponents(path), errorCode);
}

}  // namespace corvanel
