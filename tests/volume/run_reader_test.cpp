// Reading through extents over a volume held in memory: holes, extents off
// the volume's end, an unreadable cluster and the size of the reads.
#include "volume/run_reader.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "app/message_catalogue.h"
#include "tests/support/test_volume_image.h"

namespace corvanel {
namespace {

using testing::PatternBytes;
using Bytes = std::vector<std::uint8_t>;

class MemoryVolume final : public SectorReader {
 public:
  explicit MemoryVolume(std::uint64_t sectors) : bytes_(PatternBytes(0, sectors * kSectorSize)) {}

  bool ReadSectors(std::uint64_t first, std::uint64_t count, std::span<std::uint8_t> buffer,
                   std::int32_t& errorCode) override {
    reads.emplace_back(first, count);
    bool bad = first + count > bytes_.size() / kSectorSize;
    for (std::uint64_t s = first; s < first + count && !bad; ++s) bad = badSectors.contains(s);
    if (bad) {
      errorCode = error_code::kSectorReadFailed;
      return false;
    }
    std::copy_n(bytes_.begin() + first * kSectorSize, count * kSectorSize, buffer.begin());
    return true;
  }

  std::set<std::uint64_t> badSectors;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reads;

 private:
  Bytes bytes_;
};

class Collector final : public RunReceiver {
 public:
  bool Bytes(std::span<const std::uint8_t> bytes) override {
    data.insert(data.end(), bytes.begin(), bytes.end());
    return true;
  }
  bool Zeros(std::uint64_t count) override {
    data.resize(data.size() + count, 0);
    return true;
  }
  bool Unreadable(std::uint64_t count, std::int32_t) override {
    unreadable.push_back(data.size());
    data.resize(data.size() + count, 0xEE);
    return true;
  }

  std::vector<std::uint8_t> data;
  std::vector<std::size_t> unreadable;  // where each unreadable stretch began
};

TEST(ReadThroughRuns, HolesExtentsOffTheVolumeAndUnreadableClusters) {
  // 2-sector clusters on a 64-sector volume: clusters 4..5, a hole of one
  // cluster, clusters 30..31 (the volume's last), then an extent past its end.
  MemoryVolume volume(64);
  const std::vector<DataRun> runs{{4, 2}, {0, 1, true}, {30, 2}, {31, 2}};
  const RunStream stream{runs, 2, 64};
  constexpr std::uint64_t kCluster = 2 * kSectorSize;

  // A range across the hole, starting and ending inside sectors.
  Bytes out(3 * kCluster, 0xAA);
  std::int32_t errorCode = 0;
  ASSERT_EQ(ReadThroughRuns(volume, stream, 100, out, errorCode), RunRead::Read);
  Bytes expected = PatternBytes(4 * kCluster + 100, 2 * kCluster - 100);
  expected.resize(3 * kCluster - 100, 0);
  const Bytes tail = PatternBytes(30 * kCluster, 100);
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(out, expected);
  EXPECT_EQ(ReadThroughRuns(volume, stream, 100, out, errorCode, Holes::Refused), RunRead::Hole);

  // The extent past the end is refused before any of it is read.
  volume.reads.clear();
  out.assign(kCluster, 0);
  EXPECT_EQ(ReadThroughRuns(volume, stream, 5 * kCluster, out, errorCode), RunRead::OutsideVolume);
  EXPECT_TRUE(volume.reads.empty());

  // Streamed: a bad sector costs its cluster only, the rest keeps its place.
  volume.badSectors = {61};
  Collector collector;
  EXPECT_EQ(ReadThroughRuns(volume, stream, 0, 5 * kCluster, collector), RunRead::Read);
  EXPECT_EQ(collector.unreadable, std::vector<std::size_t>{3 * kCluster});
  EXPECT_EQ(Bytes(collector.data.begin() + 4 * kCluster, collector.data.end()), PatternBytes(31 * kCluster, kCluster));

  // A long extent goes in 1 MiB reads.
  MemoryVolume large(8192);
  const std::vector<DataRun> whole{{0, 4096}};
  Collector all;
  EXPECT_EQ(ReadThroughRuns(large, {whole, 2, 8192}, 0, 4 << 20, all), RunRead::Read);
  EXPECT_EQ(large.reads, (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 2048}, {2048, 2048}, {4096, 2048}, {6144, 2048}}));
  EXPECT_EQ(all.data, PatternBytes(0, 4 << 20));
}

}  // namespace
}  // namespace corvanel
