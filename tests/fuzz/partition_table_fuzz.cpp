// libFuzzer target: partition tables from arbitrary bytes taken as a whole
// disk (MBR, extended chains, GPT with its backup at the end).
#include <cstring>

#include "volume/partition_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const corvanel::partition::DiskReader read = [&](std::uint64_t offset, std::span<std::uint8_t> bytes) {
    if (offset > size || bytes.size() > size - offset) return false;
    std::memcpy(bytes.data(), data + offset, bytes.size());
    return true;
  };
  std::string error;
  if (std::optional<corvanel::partition::Table> table = corvanel::partition::ReadTable(read, size, error))
    for (const corvanel::partition::Partition& partition : table->partitions)
      if (partition.firstSector + partition.sectorCount > size / table->sectorSize) __builtin_trap();
  return 0;
}
