// libFuzzer target: exFAT entry sets. The input is parsed as one set, and as
// the FAT, bitmap, up-case table and directory clusters of a small volume in
// memory (a sound boot region before it) that is walked whole and searched
// for a path; and its start as a boot region.
#include <algorithm>
#include <cstring>
#include <vector>

#include "volume/exfat_directory.h"
#include "volume/exfat_layout.h"

namespace {

using namespace corvanel;

constexpr std::uint32_t kFat = 24, kHeap = 32, kClusters = 64;

void Put(std::uint8_t* at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

class MemoryVolume : public SectorReader {
 public:
  explicit MemoryVolume(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool ReadSectors(std::uint64_t first, std::uint64_t count, std::span<std::uint8_t> buffer,
                   std::int32_t& errorCode) override {
    if (first > bytes_.size() / 512 || count > bytes_.size() / 512 - first || buffer.size() < count * 512) {
      errorCode = 4;
      return false;
    }
    std::memcpy(buffer.data(), bytes_.data() + first * 512, count * 512);
    return true;
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

std::vector<std::uint8_t> Volume(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes((kHeap + kClusters) * 512, 0);
  std::uint8_t* b = bytes.data();
  std::memcpy(b + 3, "EXFAT   ", 8);
  Put(b + 0x48, kHeap + kClusters, 8);
  Put(b + 0x50, kFat, 4);
  Put(b + 0x54, 8, 4);
  Put(b + 0x58, kHeap, 4);
  Put(b + 0x5C, kClusters, 4);
  Put(b + 0x60, 4, 4);  // the root: the input's third cluster
  b[0x6C] = 9, b[0x6E] = 1;
  Put(b + 510, 0xAA55, 2);
  const std::uint32_t sum = exfat::BootRegionChecksum(std::span<const std::uint8_t>(b, 11 * 512));
  for (int i = 0; i < 512; i += 4) Put(b + 11 * 512 + i, sum, 4);
  std::memcpy(b + kFat * 512, data, std::min<std::size_t>(size, bytes.size() - kFat * 512));
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  ExfatFacts facts;
  facts.bytesPerSector = 512, facts.sectorsPerCluster = 1, facts.clusterCount = kClusters;
  ParseExfatEntrySet(input, facts, [](std::size_t index) { return index * 32; });
  ExfatBootProblem problem = ExfatBootProblem::kNone;
  ParseExfatBootRegion(input, problem);

  MemoryVolume disk(Volume(data, size));
  std::int32_t errorCode = 0;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(disk, errorCode);
  if (!volume) return 0;
  ExfatWalkReport report;
  std::size_t sets = 0;
  WalkExfatTree(
      *volume,
      [&](const ExfatEntrySet& set) {
        volume->NameHash(set.name);
        if (!set.Damaged()) volume->StreamClusters(set.stream);
        return ++sets < 100000;
      },
      report, errorCode);
  ExfatEntrySet found;
  FindExfatPath(*volume, u"a\\b.txt", found, errorCode);
  return 0;
}
