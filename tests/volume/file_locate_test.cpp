// The NTFS steps of the locate over hand-made index blocks and directory
// records: entries, stale slack, torn blocks, short names, damage.
#include "volume/file_locate.h"

#include <gtest/gtest.h>

#include "tests/support/record_builder.h"

namespace corvanel {
namespace {

void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// One index entry of a directory index: the file's reference, its parent's,
// and its name.
std::vector<std::uint8_t> IndexEntry(std::uint64_t record, std::u16string_view name, std::uint64_t parent = 5,
                                     std::uint32_t flags = 0) {
  std::size_t length = (0x52 + 2 * name.size() + 7) & ~std::size_t{7};
  std::vector<std::uint8_t> entry(length, 0);
  Put(entry, 0x00, record, 6);
  Put(entry, 0x06, 1, 2);
  Put(entry, 0x08, length, 2);
  Put(entry, 0x0A, 0x42 + 2 * name.size(), 2);
  Put(entry, 0x0C, flags, 4);
  Put(entry, 0x10, parent, 6);
  Put(entry, 0x16, 1, 2);
  Put(entry, 0x50, name.size(), 1);
  Put(entry, 0x51, 1, 1);
  for (std::size_t i = 0; i < name.size(); ++i) Put(entry, 0x52 + 2 * i, name[i], 2);
  return entry;
}

std::vector<std::uint8_t> LastEntry() {
  std::vector<std::uint8_t> entry(0x10, 0);
  Put(entry, 0x08, 0x10, 2);
  Put(entry, 0x0C, 2, 4);
  return entry;
}

// An "INDX" block of `size` bytes holding `entries` then the last entry,
// then `slack` past the node's end; sealed with its update sequence.
std::vector<std::uint8_t> IndexBlock(const std::vector<std::vector<std::uint8_t>>& entries,
                                     const std::vector<std::vector<std::uint8_t>>& slack = {},
                                     std::size_t size = 4096) {
  std::vector<std::uint8_t> block(size, 0);
  const std::size_t sectors = size / 512;
  std::copy_n("INDX", 4, block.begin());
  Put(block, 0x04, 0x28, 2);
  Put(block, 0x06, sectors + 1, 2);
  const std::size_t first = 0x28 + 2 * (sectors + 1);
  const std::size_t start = (first + 7) & ~std::size_t{7};
  Put(block, 0x18, start - 0x18, 4);
  std::size_t at = start;
  for (const auto& entry : entries) {
    std::copy(entry.begin(), entry.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
    at += entry.size();
  }
  std::vector<std::uint8_t> last = LastEntry();
  std::copy(last.begin(), last.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
  at += last.size();
  Put(block, 0x1C, at - 0x18, 4);
  Put(block, 0x20, size - 0x18, 4);
  for (const auto& entry : slack) {
    std::copy(entry.begin(), entry.end(), block.begin() + static_cast<std::ptrdiff_t>(at));
    at += entry.size();
  }
  // Seal: each sector's last two bytes go to the array, the number takes their place.
  Put(block, 0x28, 0x0007, 2);
  for (std::size_t s = 0; s < sectors; ++s) {
    std::size_t end = (s + 1) * 512 - 2;
    block[0x2A + 2 * s] = block[end];
    block[0x2B + 2 * s] = block[end + 1];
    Put(block, end, 0x0007, 2);
  }
  return block;
}

TEST(SearchIndexBlock, FindsNamesWithoutRegardToCase) {
  auto block = IndexBlock({IndexEntry(70, u"alpha.txt"), IndexEntry(71, u"Beta.TXT"), IndexEntry(72, u"Ωmega")});
  EXPECT_EQ(SearchIndexBlock(block, u"BETA.txt"), (std::vector<std::uint64_t>{71}));
  block = IndexBlock({IndexEntry(70, u"alpha.txt"), IndexEntry(72, u"Ωmega")});
  EXPECT_EQ(SearchIndexBlock(block, u"ωMEGA"), (std::vector<std::uint64_t>{72}));
  block = IndexBlock({IndexEntry(70, u"alpha.txt")});
  EXPECT_TRUE(SearchIndexBlock(block, u"gamma.txt").empty());
}

TEST(SearchIndexBlock, EntriesAcrossSectorEndsAreRestored) {
  // Enough entries that several cross the end of a sector, where the update
  // sequence number stood.
  std::vector<std::vector<std::uint8_t>> entries;
  for (int i = 0; i < 26; ++i) entries.push_back(IndexEntry(100 + i, std::u16string(1, u'A' + i) + u" file number"));
  auto block = IndexBlock(entries);
  for (int i = 0; i < 26; ++i) {
    auto copy = block;
    EXPECT_EQ(SearchIndexBlock(copy, std::u16string(1, u'a' + i) + u" FILE NUMBER"),
              (std::vector<std::uint64_t>{static_cast<std::uint64_t>(100 + i)}))
        << i;
  }
}

TEST(SearchIndexBlock, StaleSlackTornBlocksAndDamage) {
  // An entry past the node's last entry is stale: not offered.
  auto block = IndexBlock({IndexEntry(70, u"live.txt")}, {IndexEntry(99, u"moved.txt")});
  EXPECT_TRUE(SearchIndexBlock(block, u"moved.txt").empty());
  // A sector whose last bytes are not the sequence number was torn in writing.
  block = IndexBlock({IndexEntry(70, u"live.txt")});
  block[3 * 512 - 1] ^= 0xFF;
  EXPECT_TRUE(SearchIndexBlock(block, u"live.txt").empty());
  // Not an index block; a sequence array that does not fit the block.
  block = IndexBlock({IndexEntry(70, u"live.txt")});
  block[0] = 'X';
  EXPECT_TRUE(SearchIndexBlock(block, u"live.txt").empty());
  block = IndexBlock({IndexEntry(70, u"live.txt")});
  Put(block, 0x06, 200, 2);
  EXPECT_TRUE(SearchIndexBlock(block, u"live.txt").empty());
  // An entry of length zero ends the walk; so does one that runs past the node.
  auto broken = IndexEntry(70, u"first.txt");
  Put(broken, 0x08, 0, 2);
  block = IndexBlock({broken, IndexEntry(71, u"second.txt")});
  EXPECT_TRUE(SearchIndexBlock(block, u"second.txt").empty());
  auto huge = IndexEntry(70, u"first.txt");
  Put(huge, 0x08, 0x7FF8, 2);
  block = IndexBlock({huge, IndexEntry(71, u"second.txt")});
  EXPECT_TRUE(SearchIndexBlock(block, u"second.txt").empty());
  // A name length beyond the entry is no name.
  auto longName = IndexEntry(70, u"a.txt");
  Put(longName, 0x50, 200, 1);
  block = IndexBlock({longName});
  EXPECT_TRUE(SearchIndexBlock(block, u"a.txt").empty());
}

TEST(SearchIndexBlock, ShortNamesDifferingInTheLastCharacterAreCandidates) {
  // The record itself decides (MatchFileNameAndParent) whether ~2 is ~1.
  auto block = IndexBlock({IndexEntry(80, u"DATA~1"), IndexEntry(81, u"DATA~2"), IndexEntry(82, u"DATB~3")});
  EXPECT_EQ(SearchIndexBlock(block, u"data~3"), (std::vector<std::uint64_t>{80, 81}));
}

TEST(SearchIndexBlock, BlocksOfOtherSizes) {
  for (std::size_t size : {1024u, 8192u}) {
    auto block = IndexBlock({IndexEntry(70, u"x.bin")}, {}, size);
    EXPECT_EQ(SearchIndexBlock(block, u"X.BIN"), (std::vector<std::uint64_t>{70})) << size;
  }
}

// A directory record with an index root holding `entries` (flags 1: a large
// index, whose blocks the allocation's run list gives).
testing::RecordBuilder Directory(const std::vector<std::vector<std::uint8_t>>& entries, std::uint32_t nodeFlags,
                                 const std::vector<std::uint8_t>& allocationRuns = {}) {
  testing::RecordBuilder record(1, 3);
  record.FileName(u"dir");
  std::vector<std::uint8_t> root(0x20, 0);
  Put(root, 0x00, 0x30, 4);
  Put(root, 0x08, 4096, 4);
  Put(root, 0x0C, 1, 1);
  Put(root, 0x10, 0x10, 4);
  std::size_t length = 0x10;
  for (const auto& entry : entries) {
    root.insert(root.end(), entry.begin(), entry.end());
    length += entry.size();
  }
  auto last = LastEntry();
  root.insert(root.end(), last.begin(), last.end());
  length += last.size();
  Put(root, 0x14, length, 4);
  Put(root, 0x18, length, 4);
  Put(root, 0x1C, nodeFlags, 1);
  record.ResidentData(root, 0x90);
  if (!allocationRuns.empty()) {
    std::size_t at = record.next;
    record.NonResidentData(allocationRuns, 8192);
    record.Put(at, 0xA0, 4);
  }
  record.End();
  return record;
}

TEST(LookUpInDirectory, RootEntriesAndIndexBlocks) {
  // A small directory: everything in the root.
  auto small = Directory({IndexEntry(70, u"a.txt"), IndexEntry(71, u"b.txt")}, 0);
  DirectoryIndex index = LookUpInDirectory(small.bytes, u"B.TXT");
  EXPECT_EQ(index.rootMatches, (std::vector<std::uint64_t>{71}));
  EXPECT_TRUE(index.allocationRuns.empty());
  EXPECT_EQ(index.blockSize, 4096u);
  EXPECT_TRUE(LookUpInDirectory(small.bytes, u"c.txt").rootMatches.empty());
  // A large one: the root's own entries still count, and the blocks' runs.
  auto large = Directory({IndexEntry(90, u"m.txt", 5, 1)}, 1, {0x11, 0x02, 0x40});
  index = LookUpInDirectory(large.bytes, u"m.txt");
  EXPECT_EQ(index.rootMatches, (std::vector<std::uint64_t>{90}));
  EXPECT_EQ(index.allocationRuns, (std::vector<DataRun>{{0x40, 2}}));
  // Damage: an attribute length past the record ends the walk quietly.
  auto damaged = small;
  damaged.Put(0x38 + 4, 5000, 4);
  EXPECT_TRUE(LookUpInDirectory(damaged.bytes, u"b.txt").rootMatches.empty());
}

TEST(MatchFileNameAndParent, AnyOfTheRecordsNames) {
  testing::RecordBuilder record(2, 1);
  record.FileName(u"REPORT~1.TXT", 40).FileName(u"Quarterly report.txt", 40).End();
  std::uint64_t parent = 0;
  EXPECT_TRUE(MatchFileNameAndParent(record.bytes, u"quarterly REPORT.txt", parent));
  EXPECT_EQ(parent, 40u);
  EXPECT_TRUE(MatchFileNameAndParent(record.bytes, u"report~1.txt", parent));
  EXPECT_FALSE(MatchFileNameAndParent(record.bytes, u"report~2.txt", parent));
}

}  // namespace
}  // namespace corvanel
