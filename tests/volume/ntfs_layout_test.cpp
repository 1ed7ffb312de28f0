// LZNT1 units and attribute lists from hand-made bytes.
#include "volume/ntfs_layout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace corvanel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One compressed chunk: header (bit 15 compressed, 0x3000 signature, size - 1), then data.
Bytes Chunk(const Bytes& data) {
  const auto header = static_cast<std::uint16_t>(0xB000 | (data.size() - 1));
  Bytes chunk(2 + data.size());
  chunk[0] = static_cast<std::uint8_t>(header);
  chunk[1] = static_cast<std::uint8_t>(header >> 8);
  std::copy(data.begin(), data.end(), chunk.begin() + 2);
  return chunk;
}

TEST(Lznt1, LiteralsBackReferencesStoredChunksAndZeros) {
  // "abc", then 9 bytes from 3 back: flags 0b1000, token (3-1) << 12 | (9-3).
  Bytes unit = Chunk({0x08, 'a', 'b', 'c', 0x06, 0x20});
  // A stored chunk: 4096 bytes as they are.
  Bytes stored(4096, 'S');
  unit.insert(unit.end(), {0xFF, 0x3F});
  unit.insert(unit.end(), stored.begin(), stored.end());
  unit.insert(unit.end(), {0, 0});  // the end of the unit's data
  Bytes out(16 * 4096, 0xAA);
  ASSERT_TRUE(DecompressLznt1(unit, out));
  EXPECT_EQ(std::string(out.begin(), out.begin() + 12), "abcabcabcabc");
  // The short first chunk leaves the rest of its 4096 bytes zero.
  EXPECT_EQ(out[12], 0);
  EXPECT_EQ(out[4095], 0);
  EXPECT_EQ(Bytes(out.begin() + 4096, out.begin() + 8192), stored);
  EXPECT_EQ(out[8192], 0);
  EXPECT_EQ(out.back(), 0);
}

TEST(Lznt1, DamagedUnitsAreRefused) {
  Bytes out(16 * 4096);
  // Cut off: the header promises six bytes, four follow.
  Bytes cut = Chunk({0x08, 'a', 'b', 'c', 0x06, 0x20});
  cut.resize(cut.size() - 2);
  EXPECT_FALSE(DecompressLznt1(cut, out));
  // A back-reference before the chunk's start: 4 back after 3 bytes.
  EXPECT_FALSE(DecompressLznt1(Chunk({0x08, 'a', 'b', 'c', 0x06, 0x30}), out));
  // A back-reference as the first token: nothing to refer to.
  EXPECT_FALSE(DecompressLznt1(Chunk({0x01, 0x00, 0x00}), out));
  // More output than the unit holds.
  Bytes small(8);
  EXPECT_FALSE(DecompressLznt1(Chunk({0x08, 'a', 'b', 'c', 0x06, 0x20}), small));
  // A token cut in half at the chunk's end.
  EXPECT_FALSE(DecompressLznt1(Chunk({0x08, 'a', 'b', 'c', 0x06}), out));
}

// One attribute list entry: type, length, name, first VCN, record, id.
Bytes ListEntry(std::uint32_t type, std::u16string name, std::uint64_t firstVcn, std::uint64_t record,
                std::uint16_t id) {
  Bytes entry(0x20 + 2 * name.size(), 0);
  auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) entry[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  };
  entry.resize((entry.size() + 7) & ~std::size_t{7});
  put(0x00, type, 4);
  put(0x04, entry.size(), 2);
  put(0x06, name.size(), 1);
  put(0x07, 0x1A, 1);
  put(0x08, firstVcn, 8);
  put(0x10, record, 8);
  put(0x18, id, 2);
  for (std::size_t i = 0; i < name.size(); ++i) put(0x1A + 2 * i, name[i], 2);
  return entry;
}

TEST(AttributeList, EntriesUpToTheFirstThatDoesNotFit) {
  Bytes list = ListEntry(0x80, u"", 0, 0x0002000000000040ull, 3);
  Bytes named = ListEntry(0x80, u"stream", 7, 41, 1);
  list.insert(list.end(), named.begin(), named.end());
  bool complete = false;
  std::vector<AttributeListEntry> entries = ReadAttributeList(list, complete);
  EXPECT_TRUE(complete);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].type, 0x80u);
  EXPECT_EQ(ntfs::RecordNumberOf(entries[0].record), 0x40u);
  EXPECT_EQ(ntfs::SequenceOf(entries[0].record), 2u);
  EXPECT_EQ(entries[0].attributeId, 3u);
  EXPECT_EQ(entries[1].name, u"stream");
  EXPECT_EQ(entries[1].firstVcn, 7u);
  // A length past the end, a length too small to move on, a name past the entry.
  for (std::size_t at : {std::size_t{0x04}, std::size_t{0x07}}) {
    Bytes bad = list;
    bad[list.size() - named.size() + at] = at == 0x04 ? 0xF0 : 0xF8;
    entries = ReadAttributeList(bad, complete);
    EXPECT_FALSE(complete) << at;
    EXPECT_EQ(entries.size(), 1u) << at;
  }
  Bytes zero = list;
  zero[0x04] = 0;
  EXPECT_TRUE(ReadAttributeList(zero, complete).empty());
  EXPECT_FALSE(complete);
}

}  // namespace
}  // namespace corvanel
