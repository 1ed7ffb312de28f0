// Cluster allocation from $Bitmap and the FAT.
#include "volume/allocation_map.h"

#include <array>

#include "base/byte_reader.h"
#include "volume/exfat_directory.h"
#include "volume/fat_layout.h"
#include "volume/raw_volume.h"
#include "volume/run_reader.h"

namespace corvanel {
namespace {

constexpr std::uint64_t kMaxMapBytes = 512ull << 20;

}  // namespace

std::optional<AllocationMap> AllocationMap::Read(RawVolume& volume, const BootSectorFacts& facts) {
  AllocationMap map;
  map.facts_ = facts;
  const std::uint32_t spc = facts.geometry.sectorsPerCluster;
  if (facts.kind == kFileSystemFat32) {
    map.fat_ = true;
    std::uint64_t bytes = std::uint64_t{facts.sectorsPerFat} * kSectorSize;
    if (bytes == 0 || bytes > kMaxMapBytes) return std::nullopt;
    std::vector<std::uint8_t> raw(bytes);
    for (std::uint64_t done = 0; done < facts.sectorsPerFat;) {
      std::uint64_t count = std::min<std::uint64_t>(facts.sectorsPerFat - done, 2048);
      std::int32_t code = 0;
      if (!volume.ReadSectors(facts.fatStart + done, count, std::span(raw).subspan(done * kSectorSize), code))
        return std::nullopt;
      done += count;
    }
    ByteReader reader(raw);
    map.fatEntries_.resize(bytes / 4);
    for (std::size_t i = 0; i < map.fatEntries_.size(); ++i) map.fatEntries_[i] = *reader.U32(i * 4) & fat::kFatEntryMask;
    return map;
  }
  if (facts.kind == kFileSystemExfat) {
    std::int32_t code = 0;
    std::optional<ExfatVolume> exfat = ExfatVolume::Open(volume, code);
    if (!exfat || !exfat->HasBitmap()) return std::nullopt;
    map.bitmap_.assign(exfat->Bitmap().begin(), exfat->Bitmap().end());
    map.firstBitCluster_ = 2;
    return map;
  }
  if (facts.kind != kFileSystemNtfs || spc == 0) return std::nullopt;
  std::vector<std::uint8_t> record(facts.fileRecordBytes);
  const std::uint64_t recordSectors = record.size() / kSectorSize;
  std::int32_t code = 0;
  if (!volume.ReadSectors(facts.metadataStart + ntfs::kBitmapRecord * recordSectors, recordSectors, record, code))
    return std::nullopt;
  if (FixUpRecordSector(record) != FixUpResult::Fixed) return std::nullopt;  // torn: not to be trusted
  MftRecord bitmap;
  if (!ParseFileRecord(record, bitmap)) return std::nullopt;
  std::uint64_t clusters = facts.volumeSectors / spc;
  std::uint64_t bytes = (clusters + 7) / 8;
  if (bytes > kMaxMapBytes) return std::nullopt;
  if (bitmap.isResident) {
    map.bitmap_ = bitmap.residentData;
  } else if (!ReadStreamBytes(volume, {bitmap.runs, spc, facts.volumeSectors}, bytes, map.bitmap_)) {
    return std::nullopt;
  }
  return map;
}

bool AllocationMap::IsFree(std::uint64_t cluster) const {
  if (fat_) return cluster < fatEntries_.size() && fatEntries_[cluster] == 0;
  if (cluster < firstBitCluster_) return false;
  cluster -= firstBitCluster_;
  return cluster / 8 < bitmap_.size() && !(bitmap_[cluster / 8] & (1u << (cluster % 8)));
}

int AllocationMap::FreeShare(const MftRecord& record) const {
  if (record.isResident) return 100;
  std::uint64_t total = 0, free = 0;
  const std::uint64_t mapped = fat_ ? 0 : bitmap_.size() * 8;
  for (const DataRun& run : record.runs) {
    if (run.sparse) continue;  // nothing to lose
    // Clusters past the bitmap's end count, but none of them is free.
    total = run.clusterCount > UINT64_MAX - total ? UINT64_MAX : total + run.clusterCount;
    const std::uint64_t end = run.startCluster > mapped ? run.startCluster : std::min(mapped, run.startCluster + std::min(run.clusterCount, mapped));
    for (std::uint64_t c = run.startCluster; c < end; ++c) free += IsFree(c);
  }
  return total == 0 ? 100 : static_cast<int>(free * 100 / total);
}

int AllocationMap::FreeShare(const FatDeletedEntry& entry) const {
  const std::uint64_t clusterBytes = ClusterBytes(facts_);
  if (entry.fileSize == 0 || clusterBytes == 0 || entry.firstDataSector < facts_.geometry.fatFirstDataSector)
    return 100;
  std::uint64_t first = (entry.firstDataSector - facts_.geometry.fatFirstDataSector) / facts_.geometry.sectorsPerCluster + 2;
  std::uint64_t count = (entry.fileSize + clusterBytes - 1) / clusterBytes;
  std::uint64_t free = 0;
  for (std::uint64_t c = 0; c < count; ++c) free += IsFree(first + c);
  return static_cast<int>(free * 100 / count);
}

}  // namespace corvanel
