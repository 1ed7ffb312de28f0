// exFAT's boot region, FAT, bitmap, up-case table and entry sets over the raw volume.
#include "volume/exfat_directory.h"

#include <algorithm>
#include <utility>

#include "app/message_catalogue.h"
#include "base/byte_reader.h"
#include "volume/chain_guard.h"
#include "volume/exfat_layout.h"
#include "volume/file_names.h"

namespace corvanel {
namespace {

using namespace exfat;

constexpr int kMaxDirectoryDepth = 128;
constexpr std::size_t kUpcaseUnits = 0x10000;

}  // namespace

std::optional<ExfatFacts> ParseExfatBootSector(std::span<const std::uint8_t> region, ExfatBootProblem& problem) {
  ByteReader boot(region);
  problem = ExfatBootProblem::kNotExfat;
  if (!boot.Matches(kFileSystemName, kSignature) || !boot.Has(0, 512) || *boot.U16(kBootSignature) != 0xAA55)
    return std::nullopt;
  for (std::size_t i = kMustBeZero; i < kMustBeZeroEnd; ++i)
    if (region[i] != 0) return std::nullopt;
  const unsigned sectorShift = *boot.U8(kBytesPerSectorShift);
  const unsigned clusterShift = *boot.U8(kSectorsPerClusterShift);
  if (sectorShift < kMinBytesPerSectorShift || sectorShift > kMaxBytesPerSectorShift) {
    problem = ExfatBootProblem::kUnsupportedSectorSize;
    return std::nullopt;
  }
  ExfatFacts facts;
  facts.bytesPerSector = 1u << sectorShift;
  facts.volumeSectors = *boot.U64(kVolumeLength);
  facts.fatOffset = *boot.U32(kFatOffset);
  facts.fatLength = *boot.U32(kFatLength);
  facts.clusterHeapOffset = *boot.U32(kClusterHeapOffset);
  facts.clusterCount = *boot.U32(kClusterCount);
  facts.rootCluster = *boot.U32(kRootCluster);
  facts.volumeSerial = *boot.U32(kVolumeSerial);
  facts.numberOfFats = *boot.U8(kNumberOfFats);
  problem = ExfatBootProblem::kBadGeometry;
  if (sectorShift + clusterShift > kMaxClusterShift) return std::nullopt;
  facts.sectorsPerCluster = 1u << clusterShift;
  if (facts.numberOfFats < 1 || facts.numberOfFats > 2 || facts.clusterCount == 0 ||
      facts.clusterCount > kMaxClusterCount || facts.fatOffset < kFirstFatSector)
    return std::nullopt;
  const std::uint64_t fatEnd = facts.fatOffset + std::uint64_t{facts.fatLength} * facts.numberOfFats;
  const std::uint64_t fatNeeds = (std::uint64_t{facts.clusterCount} + 2) * 4;
  const std::uint64_t heapEnd =
      facts.clusterHeapOffset + (std::uint64_t{facts.clusterCount} << clusterShift);
  if (std::uint64_t{facts.fatLength} * facts.bytesPerSector < fatNeeds || facts.clusterHeapOffset < fatEnd ||
      heapEnd > facts.volumeSectors || !facts.HasCluster(facts.rootCluster))
    return std::nullopt;
  problem = ExfatBootProblem::kNone;
  return facts;
}

namespace {

// The sector size a boot sector claims, when it is one that can be read.
std::optional<std::uint32_t> ClaimedSectorSize(std::span<const std::uint8_t> sector) {
  ByteReader boot(sector);
  std::optional<std::uint8_t> shift = boot.U8(kBytesPerSectorShift);
  if (!boot.Matches(kFileSystemName, kSignature) || !shift || *shift < kMinBytesPerSectorShift ||
      *shift > kMaxBytesPerSectorShift)
    return std::nullopt;
  return 1u << *shift;
}

std::u16string DecodeUnits(std::span<const std::uint8_t> bytes, std::size_t units) {
  std::u16string text;
  for (std::size_t i = 0; i < units && 2 * i + 1 < bytes.size(); ++i)
    text += static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  return text;
}

// A directory's bytes as read, and where each cluster of them lies.
struct DirectoryBytes {
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint32_t> clusters;
  std::uint64_t clusterBytes = 0;

  std::uint64_t OffsetOf(const ExfatFacts& facts, std::size_t byte) const {
    return *facts.ClusterOffset(clusters[byte / clusterBytes]) + byte % clusterBytes;
  }
};

}  // namespace

std::optional<std::uint64_t> ExfatFacts::ClusterOffset(std::uint64_t cluster) const {
  if (!HasCluster(cluster)) return std::nullopt;
  return (std::uint64_t{clusterHeapOffset} + (ClusterIndex(static_cast<std::uint32_t>(cluster)) * sectorsPerCluster)) *
         bytesPerSector;
}

std::optional<ExfatFacts> ParseExfatBootRegion(std::span<const std::uint8_t> region, ExfatBootProblem& problem) {
  std::optional<ExfatFacts> facts = ParseExfatBootSector(region, problem);
  if (!facts) return std::nullopt;
  if (region.size() < kBootRegionSectors * facts->bytesPerSector) {
    problem = ExfatBootProblem::kNotExfat;
    return std::nullopt;
  }
  const std::size_t summed = kChecksumSector * facts->bytesPerSector;
  const std::uint32_t sum = BootRegionChecksum(region.subspan(0, summed));
  ByteReader checksums(region.subspan(summed, facts->bytesPerSector));
  for (std::size_t at = 0; at < facts->bytesPerSector; at += 4) {
    if (*checksums.U32(at) != sum) {
      problem = ExfatBootProblem::kChecksumMismatch;
      return std::nullopt;
    }
  }
  return facts;
}

bool ExfatStream::NoFatChain() const { return (flags & kNoFatChain) != 0; }
bool ExfatStream::AllocationPossible() const { return (flags & kAllocationPossible) != 0; }
bool ExfatEntrySet::IsDirectory() const { return (attributes & kAttributeDirectory) != 0; }

ExfatEntrySet ParseExfatEntrySet(std::span<const std::uint8_t> entries, const ExfatFacts& facts,
                                 const std::function<std::uint64_t(std::size_t)>& offsetOf) {
  ExfatEntrySet set;
  ByteReader bytes(entries);
  if (!bytes.Has(0, kEntrySize) || (entries[0] & ~kInUse) != (kTypeFile & ~kInUse)) {
    set.problem = ExfatSetProblem::kBrokenSet;
    return set;
  }
  const std::uint8_t inUse = entries[0] & kInUse;
  set.deleted = inUse == 0;
  set.secondaryCount = entries[kSecondaryCount];
  set.attributes = *bytes.U16(kAttributes);
  const ExfatEntryTimes times = ReadExfatEntryTimes(std::span<const std::uint8_t, kEntrySize>(entries.data(), kEntrySize));
  set.times = times.times;
  set.createdUtc = times.createdUtc;
  set.modifiedUtc = times.modifiedUtc;
  set.accessedUtc = times.accessedUtc;
  set.entryOffsets.push_back(offsetOf(0));

  // What entries there are of the set, in its state (a deleted set's
  // entries all deleted, a live one's all live), up to its secondary count.
  const std::size_t available = entries.size() / kEntrySize;
  std::size_t count = 1;
  while (count < available && count <= set.secondaryCount) {
    const std::uint8_t type = entries[count * kEntrySize];
    if ((type & kInUse) != inUse || !(type & kSecondaryBit)) break;
    set.entryOffsets.push_back(offsetOf(count));
    ++count;
  }
  if (set.secondaryCount < kMinSecondaryCount)
    set.problem = ExfatSetProblem::kBrokenSet;
  else if (count <= set.secondaryCount)
    set.problem = count == available ? ExfatSetProblem::kPastEnd : ExfatSetProblem::kBrokenSet;

  // The stream extension, then the name entries, as far as they are there.
  if (count > 1 && (entries[kEntrySize] | kInUse) == kTypeStream) {
    ByteReader stream(entries.subspan(kEntrySize, kEntrySize));
    set.stream.flags = *stream.U8(kStreamFlags);
    set.stream.nameLength = *stream.U8(kNameLength);
    set.stream.nameHash = *stream.U16(kNameHash);
    set.stream.validDataLength = *stream.U64(kValidDataLength);
    set.stream.firstCluster = *stream.U32(kFirstClusterField);
    set.stream.dataLength = *stream.U64(kDataLength);
  } else if (set.problem == ExfatSetProblem::kNone) {
    set.problem = ExfatSetProblem::kBrokenSet;
  }
  std::size_t nameEntries = 0;
  for (std::size_t i = 2; i < count && (entries[i * kEntrySize] | kInUse) == kTypeName; ++i) {
    const std::size_t left = set.stream.nameLength - std::min<std::size_t>(set.name.size(), set.stream.nameLength);
    set.name += DecodeUnits(entries.subspan(i * kEntrySize + kNameUnits, 2 * kUnitsPerNameEntry),
                            std::min(left, kUnitsPerNameEntry));
    ++nameEntries;
  }
  if (set.problem != ExfatSetProblem::kNone) return set;

  if (set.stream.nameLength == 0 || nameEntries * kUnitsPerNameEntry < set.stream.nameLength) {
    set.problem = ExfatSetProblem::kBadName;
    return set;
  }
  if (EntrySetChecksum(entries.subspan(0, count * kEntrySize)) != *bytes.U16(kSetChecksum)) {
    set.problem = ExfatSetProblem::kChecksumMismatch;
    return set;
  }
  // A stream that holds clusters lies in the heap: its first cluster, and as
  // many clusters as its length needs (from there on when they follow each
  // other, anywhere along a chain).
  const ExfatStream& s = set.stream;
  const std::uint64_t clusterBytes = std::max<std::uint64_t>(facts.ClusterBytes(), 1);
  const std::uint64_t clusters = s.dataLength / clusterBytes + (s.dataLength % clusterBytes != 0);
  std::uint64_t room = 0;  // the clusters it may take
  if (facts.HasCluster(s.firstCluster))
    room = s.NoFatChain() ? facts.clusterCount - ClusterIndex(s.firstCluster) : facts.clusterCount;
  const bool outside = s.firstCluster == 0 ? s.dataLength != 0 : room == 0 || clusters > room;
  if (s.validDataLength > s.dataLength || outside)
    set.problem = ExfatSetProblem::kStreamPastVolume;
  return set;
}

std::optional<std::vector<char16_t>> ExpandUpcaseTable(std::span<const std::uint8_t> stored) {
  std::vector<char16_t> table;
  table.reserve(kUpcaseUnits);
  ByteReader bytes(stored);
  for (std::size_t at = 0; at + 1 < stored.size(); at += 2) {
    const char16_t unit = *bytes.U16(at);
    if (unit == 0xFFFF && bytes.Has(at + 2, 2)) {
      // A run of units that are their own upper case.
      at += 2;
      const std::size_t run = *bytes.U16(at);
      if (table.size() + run > kUpcaseUnits) return std::nullopt;
      for (std::size_t i = 0; i < run; ++i) table.push_back(static_cast<char16_t>(table.size()));
      continue;
    }
    if (table.size() == kUpcaseUnits) return std::nullopt;
    table.push_back(unit);
  }
  while (table.size() < kUpcaseUnits) table.push_back(static_cast<char16_t>(table.size()));
  return table;
}

std::uint32_t UpcaseTableChecksum(std::span<const std::uint8_t> stored) {
  std::uint32_t sum = 0;
  for (std::uint8_t byte : stored) sum = Sum32(sum, byte);
  return sum;
}

bool ExfatVolume::ReadBytes(std::uint64_t offset, std::span<std::uint8_t> bytes, std::int32_t& errorCode) {
  if (offset % kSectorSize != 0 || bytes.size() % kSectorSize != 0) {
    errorCode = error_code::kSectorReadFailed;
    return false;
  }
  return reader_->ReadSectors(offset / kSectorSize, bytes.size() / kSectorSize, bytes, errorCode);
}

std::optional<ExfatVolume> ExfatVolume::Open(SectorReader& reader, std::int32_t& errorCode,
                                             ExfatBootProblem* bootProblem) {
  ExfatVolume volume(reader);
  std::vector<std::uint8_t> first(kSectorSize);
  if (!reader.ReadSectors(0, 1, first, errorCode)) return std::nullopt;
  // The main region at the sector size its first sector claims; the backup
  // at that size too, or at each size when the claim is gone.
  std::optional<std::uint32_t> claimed = ClaimedSectorSize(first);
  ExfatBootProblem mainProblem = ExfatBootProblem::kNotExfat;
  std::optional<ExfatFacts> facts;
  auto region = [&](std::uint64_t start, std::uint32_t sectorSize, ExfatBootProblem& problem) {
    std::vector<std::uint8_t> bytes(kBootRegionSectors * sectorSize);
    std::int32_t ignored = 0;
    if (!volume.ReadBytes(start * sectorSize, bytes, ignored)) {
      problem = ExfatBootProblem::kNotExfat;
      return std::optional<ExfatFacts>{};
    }
    std::optional<ExfatFacts> parsed = ParseExfatBootRegion(bytes, problem);
    if (parsed && parsed->bytesPerSector != sectorSize) return std::optional<ExfatFacts>{};
    return parsed;
  };
  if (claimed) facts = region(0, *claimed, mainProblem);
  else ParseExfatBootSector(first, mainProblem);  // why it is not: the name, or the sector size
  if (bootProblem) *bootProblem = mainProblem;
  if (!facts) {
    for (std::uint32_t size = 512; size <= 4096 && !facts; size *= 2) {
      if (claimed && size != *claimed) continue;
      ExfatBootProblem ignored = ExfatBootProblem::kNone;
      facts = region(kBackupBootRegion, size, ignored);
    }
    if (!facts) {
      errorCode = mainProblem == ExfatBootProblem::kUnsupportedSectorSize ? error_code::kUnsupportedSectorSize
                                                                           : error_code::kUnrecognizedFileSystem;
      return std::nullopt;
    }
    facts->fromBackup = true;
    facts->mainProblem = mainProblem;
  }
  volume.facts_ = *facts;
  if (!volume.LoadSystemEntries(errorCode)) return std::nullopt;
  return volume;
}

// The bitmap (the first FAT's) and the up-case table, from the root's entries.
bool ExfatVolume::LoadSystemEntries(std::int32_t& errorCode) {
  ExfatChain root = ReadChain(facts_.rootCluster, kMaxDirectoryBytes / facts_.ClusterBytes());
  std::vector<std::uint8_t> cluster(facts_.ClusterBytes());
  bool bitmapSeen = false, upcaseSeen = false;
  // A system file's bytes along its chain, up to its length.
  auto readFile = [&](std::uint32_t first, std::uint64_t length, std::vector<std::uint8_t>& out,
                      std::vector<std::uint32_t>* where = nullptr) {
    const std::uint64_t clusters = (length + facts_.ClusterBytes() - 1) / facts_.ClusterBytes();
    ExfatChain chain = ReadChain(first, clusters);
    if (chain.clusters.size() != clusters) return false;
    out.resize(clusters * facts_.ClusterBytes());
    for (std::size_t i = 0; i < chain.clusters.size(); ++i) {
      std::span<std::uint8_t> part(out.data() + i * facts_.ClusterBytes(), facts_.ClusterBytes());
      std::int32_t ignored = 0;
      if (!ReadBytes(*facts_.ClusterOffset(chain.clusters[i]), part, ignored)) return false;
    }
    out.resize(length);
    if (where) *where = chain.clusters;
    return true;
  };
  for (std::size_t c = 0; c < root.clusters.size(); ++c) {
    if (!ReadBytes(*facts_.ClusterOffset(root.clusters[c]), cluster, errorCode)) return c != 0;
    for (std::size_t at = 0; at < cluster.size(); at += kEntrySize) {
      ByteReader entry(std::span<const std::uint8_t>(cluster).subspan(at, kEntrySize));
      const std::uint8_t type = cluster[at];
      if (type == kEndOfDirectory) return true;
      const std::uint32_t first = *entry.U32(kFirstClusterField);
      const std::uint64_t length = *entry.U64(kDataLength);
      if (type == kTypeBitmap && !bitmapSeen && (*entry.U8(kBitmapFlags) & 1) == 0) {
        bitmapSeen = true;
        const std::uint64_t needed = (std::uint64_t{facts_.clusterCount} + 7) / 8;
        std::vector<std::uint8_t> bitmap;
        if (length >= needed && length <= needed + facts_.ClusterBytes() &&
            readFile(first, needed, bitmap, &bitmapClusters_))
          bitmap_ = std::move(bitmap);
      } else if (type == kTypeUpcase && !upcaseSeen) {
        upcaseSeen = true;
        std::vector<std::uint8_t> stored;
        if (length <= 2 * kUpcaseUnits + 4 * kUpcaseUnits && readFile(first, length, stored)) {
          std::optional<std::vector<char16_t>> table = ExpandUpcaseTable(stored);
          if (UpcaseTableChecksum(stored) != *entry.U32(kUpcaseChecksum) || !table) {
            upcaseState_ = UpcaseState::kChecksumMismatch;
          } else {
            upcase_ = std::move(*table);
            upcaseState_ = UpcaseState::kLoaded;
          }
        }
      }
      if (bitmapSeen && upcaseSeen) return true;
    }
  }
  return true;
}

std::optional<bool> ExfatVolume::ClusterInUse(std::uint32_t cluster) const {
  if (!facts_.HasCluster(cluster) || bitmap_.empty()) return std::nullopt;
  const std::uint64_t bit = ClusterIndex(cluster);
  return (bitmap_[bit / 8] >> (bit % 8) & 1) != 0;
}

char16_t ExfatVolume::UpCase(char16_t unit) const {
  if (upcaseState_ == UpcaseState::kLoaded) return upcase_[unit];
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
}

bool ExfatVolume::SameName(std::u16string_view a, std::u16string_view b) const {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return UpCase(x) == UpCase(y); });
}

std::uint16_t ExfatVolume::NameHash(std::u16string_view name) const {
  std::uint16_t hash = 0;
  for (char16_t unit : name) {
    const char16_t upper = UpCase(unit);
    hash = Sum16(hash, static_cast<std::uint8_t>(upper));
    hash = Sum16(hash, static_cast<std::uint8_t>(upper >> 8));
  }
  return hash;
}

std::optional<std::uint32_t> ExfatVolume::FatEntry(std::uint32_t cluster) {
  const std::uint64_t byte = std::uint64_t{cluster} * 4;
  if (byte + 4 > std::uint64_t{facts_.fatLength} * facts_.bytesPerSector) return std::nullopt;
  const std::uint64_t sector = std::uint64_t{facts_.fatOffset} * facts_.bytesPerSector / kSectorSize + byte / kSectorSize;
  if (sector != fatSectorNumber_) {
    fatSector_.resize(kSectorSize);
    std::int32_t ignored = 0;
    if (!reader_->ReadSectors(sector, 1, fatSector_, ignored)) return std::nullopt;
    fatSectorNumber_ = sector;
  }
  return *ByteReader(fatSector_).U32(byte % kSectorSize);
}

ExfatChain ExfatVolume::ReadChain(std::uint32_t first, std::uint64_t maxClusters) {
  ExfatChain chain;
  ChainGuard seen(facts_.clusterCount);
  std::uint32_t cluster = first;
  while (chain.clusters.size() < maxClusters) {
    if (!facts_.HasCluster(cluster) || !seen.Take(cluster)) return chain;
    chain.clusters.push_back(cluster);
    if (chain.clusters.size() == maxClusters) break;
    std::optional<std::uint32_t> next = FatEntry(cluster);
    if (!next || *next == kBadCluster) return chain;
    if (*next == kEndOfChain) {
      chain.complete = true;
      return chain;
    }
    cluster = *next;
  }
  chain.complete = true;
  return chain;
}

ExfatChain ExfatVolume::StreamClusters(const ExfatStream& stream) {
  const std::uint64_t needed = (stream.dataLength + facts_.ClusterBytes() - 1) / facts_.ClusterBytes();
  if (!stream.NoFatChain()) {
    ExfatChain chain = ReadChain(stream.firstCluster, needed);
    chain.complete = chain.clusters.size() == needed;
    return chain;
  }
  ExfatChain chain;
  for (std::uint64_t i = 0; i < needed; ++i) {
    if (!facts_.HasCluster(std::uint64_t{stream.firstCluster} + i)) return chain;
    chain.clusters.push_back(static_cast<std::uint32_t>(stream.firstCluster + i));
  }
  chain.complete = true;
  return chain;
}

std::uint64_t ExfatEntryNumber(const ExfatFacts& facts, std::uint64_t entryOffset) {
  const std::uint64_t heap = std::uint64_t{facts.clusterHeapOffset} * facts.bytesPerSector;
  return (entryOffset - heap) / kEntrySize + 3;
}

namespace {

// Reads the bytes of one directory: along its chain, or contiguously when its
// stream says no FAT chain. A deleted directory's chain was freed: where its
// FAT links lead nowhere the next cluster on the volume is taken, and a
// cluster the bitmap shows in use is another file's and ends it. Each
// cluster is taken from `taken`; one taken before ends it as damaged.
class DirectoryLoader {
 public:
  DirectoryLoader(ExfatVolume& volume, ChainGuard& taken, ExfatWalkReport* report)
      : volume_(volume), taken_(taken), report_(report) {}

  // False with errorCode only when firstReadFails and the first cluster
  // cannot be read; otherwise unreadable clusters are noted in the report.
  bool Load(const ExfatDirectory& directory, bool deleted, DirectoryBytes& out, std::int32_t& errorCode,
            bool firstReadFails) {
    const ExfatFacts& facts = volume_.Facts();
    out.clusterBytes = facts.ClusterBytes();
    std::uint64_t maxClusters = kMaxDirectoryBytes / out.clusterBytes;
    bool noChain = false;
    if (directory.stream) {
      maxClusters = std::min(maxClusters, (directory.stream->dataLength + out.clusterBytes - 1) / out.clusterBytes);
      noChain = directory.stream->NoFatChain();
    }
    std::uint32_t cluster = directory.firstCluster;
    std::vector<std::uint8_t> bytes(out.clusterBytes);
    for (std::uint64_t n = 0; n < maxClusters; ++n) {
      if (!facts.HasCluster(cluster) || (deleted && volume_.ClusterInUse(cluster).value_or(true) && n > 0)) break;
      if (!taken_.Take(cluster)) {
        Damaged();
        break;
      }
      std::int32_t code = error_code::kNone;
      if (volume_.ReadBytes(*facts.ClusterOffset(cluster), bytes, code)) {
        out.bytes.insert(out.bytes.end(), bytes.begin(), bytes.end());
        out.clusters.push_back(cluster);
      } else if (n == 0 && firstReadFails) {
        errorCode = code;
        return false;
      } else {
        if (report_) report_->unreadableClusters.push_back(cluster);
        break;  // the sets past a hole would be read out of place
      }
      if (noChain) {
        ++cluster;
        continue;
      }
      // Two clusters of the chain from here: the next link, if the FAT has one.
      const ExfatChain link = volume_.ReadChain(cluster, 2);
      if (link.clusters.size() == 2) {
        cluster = link.clusters[1];
      } else if (deleted) {
        ++cluster;  // the freed chain is gone: on along the volume
      } else {
        // A live chain ends at its end mark; a root without one, or a folder
        // whose chain stops short of its length, broke off.
        if (!link.complete || (directory.stream && n + 1 < maxClusters)) Damaged();
        break;
      }
    }
    return true;
  }

 private:
  void Damaged() {
    if (report_) ++report_->damagedDirectories;
  }

  ExfatVolume& volume_;
  ChainGuard& taken_;
  ExfatWalkReport* report_;
};

// Calls found for each set of a directory's bytes, live and deleted, up to the
// end mark; a sound set is stepped over whole, anything else entry by entry
// (a live set may follow a broken one's first entry).
template <typename Found>
bool ForEachSet(const ExfatFacts& facts, const DirectoryBytes& directory, Found&& found) {
  std::span<const std::uint8_t> bytes(directory.bytes);
  for (std::size_t at = 0; at + kEntrySize <= bytes.size();) {
    const std::uint8_t type = bytes[at];
    if (type == kEndOfDirectory) return true;
    if ((type | kInUse) != kTypeFile) {
      at += kEntrySize;
      continue;
    }
    ExfatEntrySet set = ParseExfatEntrySet(bytes.subspan(at), facts, [&](std::size_t index) {
      return directory.OffsetOf(facts, at + index * kEntrySize);
    });
    const std::size_t step = set.Damaged() ? 1 : std::size_t{1} + set.secondaryCount;
    if (!found(std::move(set))) return false;
    at += step * kEntrySize;
  }
  return true;
}

class TreeWalk {
 public:
  TreeWalk(ExfatVolume& volume, const ExfatSetVisitor& visit, ExfatWalkReport& report)
      : volume_(volume), visit_(visit), report_(report), taken_(volume.Facts().clusterCount) {}

  bool Walk(const ExfatDirectory& directory, bool deleted, std::int32_t& errorCode) {
    DirectoryBytes bytes;
    DirectoryLoader loader(volume_, taken_, &report_);
    if (!loader.Load(directory, deleted, bytes, errorCode, depth_ == 0)) return false;
    return ForEachSet(volume_.Facts(), bytes, [&](ExfatEntrySet set) {
      set.path = path_;
      set.inDeletedFolder = deleted;
      if (!visit_(set)) {
        report_.stopped = true;
        return false;
      }
      if (set.IsDirectory() && !set.Damaged()) return Enter(set, deleted || set.deleted);
      return true;
    });
  }

 private:
  bool Enter(const ExfatEntrySet& folder, bool deleted) {
    const std::uint32_t first = folder.stream.firstCluster;
    // A deleted folder's cluster in use again holds another file's bytes.
    if (!volume_.Facts().HasCluster(first) || depth_ >= kMaxDirectoryDepth) return true;
    if (deleted && volume_.ClusterInUse(first).value_or(true)) return true;
    const std::size_t pathLength = path_.size();
    path_ += path_.empty() ? folder.name : u"/" + folder.name;
    ++depth_;
    std::int32_t ignored = 0;
    Walk(ExfatDirectory{first, folder.stream}, deleted, ignored);
    --depth_;
    path_.resize(pathLength);
    return !report_.stopped;
  }

  ExfatVolume& volume_;
  const ExfatSetVisitor& visit_;
  ExfatWalkReport& report_;
  ChainGuard taken_;  // every directory cluster read in this walk
  std::u16string path_;
  int depth_ = 0;
};

}  // namespace

bool WalkExfatTree(ExfatVolume& volume, const ExfatSetVisitor& visit, ExfatWalkReport& report,
                   std::int32_t& errorCode) {
  TreeWalk walk(volume, visit, report);
  return walk.Walk(ExfatDirectory{volume.Facts().rootCluster, std::nullopt}, false, errorCode);
}

bool FindExfatPath(ExfatVolume& volume, std::u16string_view path, ExfatEntrySet& found, std::int32_t& errorCode) {
  const std::vector<std::u16string_view> components = PathComponents(path);
  errorCode = error_code::kNoFileRecordFound;
  if (components.empty()) return false;
  ChainGuard taken(volume.Facts().clusterCount);
  ExfatDirectory directory{volume.Facts().rootCluster, std::nullopt};
  for (std::size_t m = 0; m < components.size(); ++m) {
    DirectoryBytes bytes;
    DirectoryLoader loader(volume, taken, nullptr);
    std::int32_t readCode = error_code::kNone;
    if (!loader.Load(directory, false, bytes, readCode, true)) {
      errorCode = readCode;
      return false;
    }
    std::optional<ExfatEntrySet> match;
    ForEachSet(volume.Facts(), bytes, [&](ExfatEntrySet set) {
      if (set.deleted || set.Damaged() || !volume.SameName(set.name, components[m])) return true;
      match = std::move(set);
      return false;
    });
    if (!match || match->IsDirectory() == (m + 1 == components.size())) return false;
    if (match->IsDirectory()) {
      directory = ExfatDirectory{match->stream.firstCluster, match->stream};
    } else {
      found = std::move(*match);
      found.path.clear();
      for (std::size_t k = 0; k < m; ++k) {
        if (k) found.path += u'/';
        found.path += components[k];
      }
      errorCode = error_code::kNone;
      return true;
    }
  }
  return false;
}

}  // namespace corvanel
