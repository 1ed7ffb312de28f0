// Which clusters a volume's own allocation data ($Bitmap on NTFS, the FAT on
// FAT32, the allocation bitmap on exFAT) shows in use: a deleted file whose clusters are taken again now holds
// another file's data.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "volume/fat_directory.h"
#include "volume/mft_record.h"
#include "volume/volume_geometry.h"

namespace corvanel {

class AllocationMap {
 public:
  // Reads $Bitmap, the first FAT or exFAT's bitmap; nullopt when it cannot be read.
  static std::optional<AllocationMap> Read(RawVolume& volume, const BootSectorFacts& facts);

  bool IsFree(std::uint64_t cluster) const;

  // The share (0 to 100) of an entry's data clusters that are still free;
  // resident data and empty files count as 100.
  int FreeShare(const MftRecord& record) const;
  int FreeShare(const FatDeletedEntry& entry) const;

 private:
  bool fat_ = false;
  std::uint64_t firstBitCluster_ = 0;     // the cluster bit 0 stands for: 2 on exFAT
  std::vector<std::uint8_t> bitmap_;      // NTFS, exFAT: one bit a cluster, set = in use
  std::vector<std::uint32_t> fatEntries_;  // FAT32: 0 = free
  BootSectorFacts facts_;
};

}  // namespace corvanel
