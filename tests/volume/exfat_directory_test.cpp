// The exFAT reading layer over a small hand-made volume in memory: the boot
// region and its backup, entry sets live and deleted, damaged sets and
// chains, the up-case table, times and the path search. Real volumes are
// checked against The Sleuth Kit in exfat_volumes_test.py.
#include "volume/exfat_directory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "app/message_catalogue.h"
#include "volume/exfat_layout.h"

namespace corvanel {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(std::uint8_t* at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A volume in memory: 512-byte sectors and clusters, the FAT at sector 24,
// the heap at 32; cluster 2 the bitmap, 3 the up-case table, 4 the root.
class MemoryVolume : public SectorReader {
 public:
  static constexpr std::uint32_t kHeap = 32, kClusters = 64;
  Bytes bytes = Bytes((kHeap + kClusters) * 512, 0);

  bool ReadSectors(std::uint64_t first, std::uint64_t count, std::span<std::uint8_t> buffer,
                   std::int32_t& errorCode) override {
    if (first + count > bytes.size() / 512 || unreadable.count(first)) {
      errorCode = error_code::kSectorReadFailed;
      return false;
    }
    std::memcpy(buffer.data(), bytes.data() + first * 512, count * 512);
    return true;
  }
  std::set<std::uint64_t> unreadable;

  std::uint8_t* Cluster(std::uint32_t n) { return &bytes[(kHeap + n - 2) * 512]; }
  void Link(std::uint32_t cluster, std::uint32_t next) { Put(&bytes[24 * 512 + cluster * 4], next, 4); }
  void Use(std::uint32_t cluster) { Cluster(2)[(cluster - 2) / 8] |= 1 << ((cluster - 2) % 8); }

  void Boot(std::uint64_t region) {
    std::uint8_t* b = &bytes[region * 512];
    std::memset(b, 0, 12 * 512);
    b[0] = 0xEB, b[1] = 0x76, b[2] = 0x90;
    std::memcpy(b + 3, "EXFAT   ", 8);
    Put(b + 0x48, kHeap + kClusters, 8);
    Put(b + 0x50, 24, 4);
    Put(b + 0x54, 8, 4);
    Put(b + 0x58, kHeap, 4);
    Put(b + 0x5C, kClusters, 4);
    Put(b + 0x60, 4, 4);
    Put(b + 0x64, 0x1234ABCD, 4);
    b[0x6C] = 9, b[0x6D] = 0, b[0x6E] = 1;
    for (int s = 0; s < 11; ++s) Put(b + s * 512 + 510, 0xAA55, 2);
    const std::uint32_t sum = exfat::BootRegionChecksum(std::span<const std::uint8_t>(b, 11 * 512));
    for (int i = 0; i < 512; i += 4) Put(b + 11 * 512 + i, sum, 4);
  }

  MemoryVolume() {
    Boot(0);
    Boot(12);
    Link(0, 0xFFFFFFF8), Link(1, 0xFFFFFFFF);
    for (std::uint32_t c : {2u, 3u, 4u}) Link(c, exfat::kEndOfChain), Use(c);
    // Up-case table: 97 units as they are, then a..z upper, then the rest.
    std::vector<std::uint16_t> table = {0xFFFF, 97};
    for (char16_t c = u'A'; c <= u'Z'; ++c) table.push_back(c);
    table.push_back(0xFFFF), table.push_back(0x10000 - 123);
    Bytes stored;
    for (std::uint16_t u : table) stored.push_back(u & 0xFF), stored.push_back(u >> 8);
    std::memcpy(Cluster(3), stored.data(), stored.size());
    Entry bitmap{}, upcase{};
    bitmap[0] = 0x81;
    Put(&bitmap[0x14], 2, 4), Put(&bitmap[0x18], kClusters / 8, 8);
    upcase[0] = 0x82;
    Put(&upcase[0x04], UpcaseTableChecksum(stored), 4);
    Put(&upcase[0x14], 3, 4), Put(&upcase[0x18], stored.size(), 8);
    Append(4, {bitmap, upcase});
  }

  using Entry = std::array<std::uint8_t, 32>;
  std::map<std::uint32_t, std::size_t> used;  // entries written per directory cluster

  // Fills a directory cluster's free entries with unused ones, so that its
  // entries do not end there.
  void Fill(std::uint32_t cluster) {
    for (; used[cluster] < 16; ++used[cluster]) Cluster(cluster)[32 * used[cluster]] = 0x03;
  }

  void Append(std::uint32_t cluster, const std::vector<Entry>& entries) {
    for (const Entry& e : entries) std::memcpy(Cluster(cluster) + 32 * used[cluster]++, e.data(), 32);
  }
};

struct SetFields {
  std::u16string name;
  std::uint32_t firstCluster = 0;
  std::uint64_t size = 0;
  bool directory = false;
  bool deleted = false;
  bool noFatChain = true;
};

// A file's entry set, checksum and name hash as a file system writes them.
std::vector<MemoryVolume::Entry> Set(const SetFields& file) {
  const std::size_t nameEntries = (file.name.size() + 14) / 15;
  std::vector<MemoryVolume::Entry> set(2 + nameEntries);
  set[0][0] = 0x85;
  set[0][1] = static_cast<std::uint8_t>(1 + nameEntries);
  Put(&set[0][4], file.directory ? 0x10 : 0x20, 2);
  Put(&set[0][0x0C], (44u << 25) | (5u << 21) | (1u << 16) | (12u << 11) | (34u << 5) | 28u, 4);  // 2024-05-01 12:34:56
  set[0][0x15] = 150;                                                                           // + 1.5 s
  set[0][0x17] = 0x80 | 8;                                                                      // UTC+2
  set[1][0] = 0xC0;
  set[1][1] = static_cast<std::uint8_t>(1 | (file.noFatChain ? 2 : 0));
  set[1][3] = static_cast<std::uint8_t>(file.name.size());
  std::uint16_t hash = 0;
  for (char16_t c : file.name) {
    const char16_t u = c >= u'a' && c <= u'z' ? c - 0x20 : c;
    hash = exfat::Sum16(exfat::Sum16(hash, u & 0xFF), u >> 8);
  }
  Put(&set[1][4], hash, 2);
  Put(&set[1][8], file.size, 8);
  Put(&set[1][0x14], file.firstCluster, 4);
  Put(&set[1][0x18], file.size, 8);
  for (std::size_t i = 0; i < file.name.size(); ++i) Put(&set[2 + i / 15][2 + 2 * (i % 15)], file.name[i], 2);
  for (std::size_t i = 2; i < set.size(); ++i) set[i][0] = 0xC1;
  Bytes all;
  for (auto& e : set) all.insert(all.end(), e.begin(), e.end());
  Put(&set[0][2], exfat::EntrySetChecksum(all), 2);
  if (file.deleted)
    for (auto& e : set) e[0] &= 0x7F;
  return set;
}

std::vector<ExfatEntrySet> WalkAll(MemoryVolume& disk, ExfatWalkReport& report) {
  std::int32_t errorCode = 0;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(disk, errorCode);
  EXPECT_TRUE(volume) << errorCode;
  std::vector<ExfatEntrySet> sets;
  if (!volume) return sets;
  EXPECT_TRUE(WalkExfatTree(
      *volume,
      [&](const ExfatEntrySet& set) {
        sets.push_back(set);
        return true;
      },
      report, errorCode));
  return sets;
}

TEST(ExfatBootRegion, ChecksumBackupAndRefusals) {
  MemoryVolume disk;
  std::int32_t errorCode = 0;
  ExfatBootProblem problem = ExfatBootProblem::kNone;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(disk, errorCode, &problem);
  ASSERT_TRUE(volume);
  EXPECT_FALSE(volume->Facts().fromBackup);
  EXPECT_EQ(volume->Facts().volumeSerial, 0x1234ABCDu);
  EXPECT_EQ(volume->Facts().ClusterOffset(4), (32u + 2) * 512);
  EXPECT_TRUE(volume->HasBitmap());
  EXPECT_EQ(volume->Upcase(), ExfatVolume::UpcaseState::kLoaded);

  // Volume flags and percent in use change while mounted: not summed.
  disk.bytes[0x6A] ^= 0x02, disk.bytes[0x6B] ^= 0x01, disk.bytes[0x70] = 42;
  ASSERT_TRUE(ExfatVolume::Open(disk, errorCode));
  EXPECT_FALSE(ExfatVolume::Open(disk, errorCode)->Facts().fromBackup);

  // A byte of boot code changed: the backup is taken, and says so.
  disk.bytes[3 * 512 + 7] ^= 1;
  volume = ExfatVolume::Open(disk, errorCode, &problem);
  ASSERT_TRUE(volume);
  EXPECT_TRUE(volume->Facts().fromBackup);
  EXPECT_EQ(volume->Facts().mainProblem, ExfatBootProblem::kChecksumMismatch);
  EXPECT_EQ(volume->Facts().rootCluster, 4u);

  // The main sector's name gone as well: still the backup.
  disk.bytes[3] = 'X';
  volume = ExfatVolume::Open(disk, errorCode, &problem);
  ASSERT_TRUE(volume);
  EXPECT_EQ(volume->Facts().mainProblem, ExfatBootProblem::kNotExfat);

  // Both regions damaged: not exFAT.
  disk.bytes[12 * 512 + 0x64] ^= 1;
  EXPECT_FALSE(ExfatVolume::Open(disk, errorCode, &problem));
  EXPECT_EQ(errorCode, error_code::kUnrecognizedFileSystem);

  // Sector sizes out of 512..4096, and a heap past the volume, refused by name.
  for (auto [shift, expected] : {std::pair{8, ExfatBootProblem::kUnsupportedSectorSize},
                                 std::pair{13, ExfatBootProblem::kUnsupportedSectorSize}}) {
    MemoryVolume odd;
    odd.bytes[0x6C] = odd.bytes[12 * 512 + 0x6C] = static_cast<std::uint8_t>(shift);
    ParseExfatBootRegion(odd.bytes, problem);
    EXPECT_EQ(problem, expected) << shift;
    EXPECT_FALSE(ExfatVolume::Open(odd, errorCode, &problem));
    EXPECT_EQ(errorCode, error_code::kUnsupportedSectorSize);
  }
  MemoryVolume big;
  Put(&big.bytes[0x5C], 1000, 4);
  EXPECT_FALSE(ParseExfatBootRegion(big.bytes, problem));
  EXPECT_EQ(problem, ExfatBootProblem::kBadGeometry);
}

TEST(ExfatWalk, LiveAndDeletedSetsThroughFoldersLiveAndDeleted) {
  MemoryVolume disk;
  const std::u16string longName = u"A name longer than fifteen units, \u00e9t\u00e9 \u4e2d\u6587.txt";
  disk.Append(4, Set({u"live.txt", 10, 700, false, false, false}));
  disk.Append(4, Set({longName, 12, 100, false, true}));
  disk.Append(4, Set({u"folder", 20, 512, true, false}));
  disk.Append(4, Set({u"gone", 21, 1024, true, true, false}));
  disk.Append(20, Set({u"inner.bin", 30, 0, false, true}));
  disk.Append(21, Set({u"under-gone.txt", 31, 5, false, true}));
  disk.Fill(21);
  for (std::uint32_t c : {10u, 11u, 20u}) disk.Use(c);
  disk.Link(10, 11), disk.Link(11, exfat::kEndOfChain), disk.Link(20, exfat::kEndOfChain);
  // The deleted folder's freed chain ends at once: its second cluster is
  // the next on the volume.
  disk.Append(22, Set({u"second-cluster.txt", 32, 5, false, true}));

  ExfatWalkReport report;
  std::vector<ExfatEntrySet> sets = WalkAll(disk, report);
  ASSERT_EQ(sets.size(), 7u);
  for (const ExfatEntrySet& set : sets) EXPECT_FALSE(set.Damaged()) << int(set.problem);
  EXPECT_EQ(sets[0].name, u"live.txt");
  EXPECT_FALSE(sets[0].deleted);
  EXPECT_FALSE(sets[0].stream.NoFatChain());
  EXPECT_EQ(sets[0].stream.dataLength, 700u);
  EXPECT_EQ(sets[0].entryOffsets.size(), 3u);
  EXPECT_EQ(sets[0].entryOffsets[0], (32u + 2) * 512 + 64);
  EXPECT_EQ(sets[1].name, longName);
  EXPECT_TRUE(sets[1].deleted);
  EXPECT_EQ(sets[1].entryOffsets.size(), 5u);
  EXPECT_EQ(sets[1].stream.firstCluster, 12u);
  EXPECT_EQ(sets[2].name, u"folder");
  EXPECT_EQ(sets[3].name, u"inner.bin");
  EXPECT_EQ(sets[3].path, u"folder");
  EXPECT_EQ(sets[4].name, u"gone");
  EXPECT_TRUE(sets[4].IsDirectory());
  EXPECT_EQ(sets[5].name, u"under-gone.txt");
  EXPECT_EQ(sets[5].path, u"gone");
  EXPECT_TRUE(sets[5].inDeletedFolder);
  EXPECT_EQ(sets[6].name, u"second-cluster.txt");
  EXPECT_EQ(report.damagedDirectories, 0u);

  // Modified 12:34:57.5 at UTC+2 is 10:34:57.5 UTC; created has no offset.
  EXPECT_EQ(IsoTime(sets[0].times.modified, sets[0].modifiedUtc, 2), "2024-05-01T10:34:57.50Z");
  EXPECT_FALSE(sets[0].createdUtc);
  EXPECT_EQ(sets[0].times.created, 0u);

  // A deleted folder whose first cluster is in use again is not entered.
  disk.Use(21);
  report = {};
  sets = WalkAll(disk, report);
  ASSERT_EQ(sets.size(), 5u);
  EXPECT_EQ(sets.back().name, u"gone");
}

TEST(ExfatWalk, DamagedSetsAreReportedNeverTrusted) {
  MemoryVolume disk;
  auto badSum = Set({u"bad-sum.txt", 10, 5});
  badSum[1][0x10] ^= 1;  // a byte changed after the sum
  auto longName = Set({u"name-length.txt", 11, 5});
  longName[1][3] = 16;  // more units than one name entry holds
  disk.Append(4, badSum);
  disk.Append(4, longName);
  disk.Append(4, Set({u"past.txt", 200, 5}));
  disk.Append(4, Set({u"runs-off.txt", 60, 10 * 512}));  // clusters 60..69 of 2..65
  disk.Append(4, Set({u"good.txt", 12, 5}));  // across the root's two clusters
  disk.Link(4, 5), disk.Link(5, exfat::kEndOfChain), disk.Use(5);
  ExfatWalkReport report;
  std::vector<ExfatEntrySet> sets = WalkAll(disk, report);
  ASSERT_EQ(sets.size(), 5u);
  EXPECT_EQ(sets[0].problem, ExfatSetProblem::kChecksumMismatch);
  EXPECT_EQ(sets[0].name, u"bad-sum.txt");
  EXPECT_EQ(sets[1].problem, ExfatSetProblem::kBadName);
  EXPECT_EQ(sets[2].problem, ExfatSetProblem::kStreamPastVolume);
  EXPECT_EQ(sets[3].problem, ExfatSetProblem::kStreamPastVolume);
  EXPECT_EQ(sets[4].name, u"good.txt");
  EXPECT_FALSE(sets[4].Damaged());

  // The root's last set claims more entries than its one cluster holds.
  MemoryVolume cutDisk;
  for (; cutDisk.used[4] < 16 - 3; ++cutDisk.used[4]) cutDisk.Cluster(4)[32 * cutDisk.used[4]] = 0x03;
  auto cut = Set({u"cut-off-at-the-end-of-the-cluster.txt", 13, 5});  // 5 entries
  cutDisk.Append(4, {cut[0], cut[1], cut[2]});
  sets = WalkAll(cutDisk, report);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].problem, ExfatSetProblem::kPastEnd);
  EXPECT_EQ(sets[0].entryOffsets.size(), 3u);

  // A broken set's entries are stepped one by one: a set after its head is found.
  Bytes bytes(6 * 32, 0);
  auto inner = Set({u"x", 5, 1});
  bytes[0] = 0x85, bytes[1] = 3;  // claims three secondaries, has none
  for (std::size_t i = 0; i < inner.size(); ++i) std::memcpy(&bytes[(1 + i) * 32], inner[i].data(), 32);
  ExfatFacts facts;
  facts.bytesPerSector = 512, facts.sectorsPerCluster = 1, facts.clusterCount = 64;
  ExfatEntrySet head = ParseExfatEntrySet(bytes, facts, [](std::size_t i) { return i * 32; });
  EXPECT_EQ(head.problem, ExfatSetProblem::kBrokenSet);
}

TEST(ExfatWalk, LoopingChainsEnd) {
  MemoryVolume disk;
  disk.Append(4, Set({u"one.txt", 10, 5}));
  disk.Fill(4);
  disk.Append(5, Set({u"two.txt", 11, 5}));
  disk.Use(5);
  disk.Link(4, 5), disk.Link(5, 4);  // the root's chain loops
  ExfatWalkReport report;
  std::vector<ExfatEntrySet> sets = WalkAll(disk, report);
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(report.damagedDirectories, 1u);

  std::int32_t errorCode = 0;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(disk, errorCode);
  ASSERT_TRUE(volume);
  ExfatChain chain = volume->ReadChain(4, 100);
  EXPECT_EQ(chain.clusters, (std::vector<std::uint32_t>{4, 5}));
  EXPECT_FALSE(chain.complete);

  // A folder that names itself is walked once.
  MemoryVolume self;
  self.Append(4, Set({u"loop", 4, 512, true}));
  report = {};
  EXPECT_EQ(WalkAll(self, report).size(), 1u);
}

TEST(ExfatUpcase, TableNamesHashesAndFallback) {
  MemoryVolume disk;
  std::int32_t errorCode = 0;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(disk, errorCode);
  ASSERT_TRUE(volume);
  EXPECT_EQ(volume->UpCase(u'q'), u'Q');
  EXPECT_EQ(volume->UpCase(u'\u00e9'), u'\u00e9');  // this small table maps ASCII alone
  EXPECT_TRUE(volume->SameName(u"Read Me.TXT", u"read me.txt"));
  EXPECT_FALSE(volume->SameName(u"a", u"b"));
  const auto set = Set({u"Hash me.txt", 10, 1});
  EXPECT_EQ(volume->NameHash(u"Hash me.txt"), set[1][4] | set[1][5] << 8);

  // A changed table is not trusted: ASCII letters alone are folded.
  disk.Cluster(3)[10] ^= 1;
  volume = ExfatVolume::Open(disk, errorCode);
  ASSERT_TRUE(volume);
  EXPECT_EQ(volume->Upcase(), ExfatVolume::UpcaseState::kChecksumMismatch);
  EXPECT_TRUE(volume->SameName(u"abc", u"ABC"));

  // A compressed run past 65536 units is no table.
  const Bytes tooLong = {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00, 0x41, 0x00};
  EXPECT_FALSE(ExpandUpcaseTable(tooLong));
}

TEST(ExfatFind, PathThroughLiveFolders) {
  MemoryVolume disk;
  disk.Append(4, Set({u"Docs", 20, 512, true}));
  disk.Append(4, Set({u"file.txt", 10, 5}));
  disk.Append(20, Set({u"Report.PDF", 30, 4096, false, true}));  // deleted: names nothing
  disk.Append(20, Set({u"Report.PDF", 31, 2048}));
  disk.Use(20);
  disk.Link(20, exfat::kEndOfChain);
  std::int32_t errorCode = 0;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(disk, errorCode);
  ASSERT_TRUE(volume);
  ExfatEntrySet found;
  ASSERT_TRUE(FindExfatPath(*volume, u"X:\\docs\\report.pdf", found, errorCode));
  EXPECT_EQ(found.stream.firstCluster, 31u);
  EXPECT_EQ(found.path, u"docs");
  EXPECT_EQ(found.entryOffsets.front(), (32u + 20 - 2) * 512 + 3 * 32);
  EXPECT_FALSE(FindExfatPath(*volume, u"docs", found, errorCode));  // a folder, not a file
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);
  EXPECT_FALSE(FindExfatPath(*volume, u"file.txt\\x", found, errorCode));
  EXPECT_FALSE(FindExfatPath(*volume, u"missing", found, errorCode));
}

}  // namespace
}  // namespace corvanel
