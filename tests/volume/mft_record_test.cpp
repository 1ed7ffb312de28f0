// NTFS file records from hand-made bytes: the attribute walk, the name rule,
// run lists, the fix-up, and malformed records that must stay inside bounds.
#include "volume/mft_record.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/record_builder.h"

namespace corvanel {
namespace {

using testing::RecordBuilder;

bool Parse(const RecordBuilder& builder, MftRecord& out) { return ParseFileRecord(builder.bytes, out); }

TEST(MftRecord, ResidentAndNonResidentFiles) {
  MftRecord record;
  ASSERT_TRUE(Parse(RecordBuilder().FileName(u"a.txt").ResidentData({'h', 'e', 'l', 'l', 'o', '\n'}).End(), record));
  EXPECT_EQ(record.name, u"a.txt");
  EXPECT_EQ(record.isResident, 1u);
  EXPECT_EQ(record.residentLength, 6);
  EXPECT_EQ(std::string(record.residentData.begin(), record.residentData.begin() + 6), "hello\n");
  EXPECT_EQ(record.Size(), 6u);

  ASSERT_TRUE(Parse(RecordBuilder().FileName(u"big.bin").NonResidentData({0x21, 0x18, 0x34, 0x56}, 98000).End(),
                    record));
  EXPECT_EQ(record.isResident, 0u);
  EXPECT_EQ(record.residentLength, 0);
  EXPECT_TRUE(record.residentData.empty());  // cleared
  EXPECT_EQ(record.Size(), 98000u);
  EXPECT_EQ(record.runs, (std::vector<DataRun>{{0x5634, 0x18}}));

  // A resident value of zero bytes.
  ASSERT_TRUE(Parse(RecordBuilder().FileName(u"empty").ResidentData({}).End(), record));
  EXPECT_EQ(record.isResident, 1u);
  EXPECT_EQ(record.residentLength, 0);
}

TEST(MftRecord, TheWalkNeedsANameBeforeTheData) {
  MftRecord record;
  EXPECT_FALSE(Parse(RecordBuilder().ResidentData({1}).FileName(u"late.txt").End(), record));
  EXPECT_FALSE(Parse(RecordBuilder().FileName(u"nodata.txt").End(), record));
  // Other attributes (standard information, security) are passed over; the
  // first file name wins.
  ASSERT_TRUE(Parse(RecordBuilder().Other(0x10, 0x60).FileName(u"one").FileName(u"two").ResidentData({7}).End(),
                    record));
  EXPECT_EQ(record.name, u"one");
  // An attribute list with no data attribute in the base record: the data
  // lies in extension records, which the list leads to.
  ASSERT_TRUE(Parse(RecordBuilder().ResidentData({1, 2, 3}, 0x20).FileName(u"ext.txt").End(), record));
  EXPECT_TRUE(record.hasAttributeList);
  EXPECT_EQ(record.attributeList, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_FALSE(record.dataInBase);
  RecordBuilder first;
  first.Put(0x38, 0xFFFFFFFF, 4);
  EXPECT_FALSE(Parse(first, record));
}

TEST(MftRecord, TheNameRuleForTwoLinks) {
  MftRecord record;
  ASSERT_TRUE(Parse(RecordBuilder(2).FileName(u"PROGRA~1").FileName(u"Program Files").ResidentData({}).End(), record));
  EXPECT_EQ(record.name, u"Program Files");
  ASSERT_TRUE(Parse(RecordBuilder(2).FileName(u"PROGRA~1").FileName(u"PROGRA~2").ResidentData({}).End(), record));
  EXPECT_EQ(record.name, u"PROGRA~1");
  ASSERT_TRUE(Parse(RecordBuilder(2).FileName(u"Long name").FileName(u"LONGNA~1").ResidentData({}).End(), record));
  EXPECT_EQ(record.name, u"Long name");
  // With one link the first name stands even when it is a short one.
  ASSERT_TRUE(Parse(RecordBuilder(1).FileName(u"PROGRA~1").FileName(u"Program Files").ResidentData({}).End(), record));
  EXPECT_EQ(record.name, u"PROGRA~1");
  // The attribute after a short name must itself be a file name to count.
  ASSERT_TRUE(Parse(RecordBuilder(2).FileName(u"DATA~1.BIN").ResidentData({'x'}).End(), record));
  EXPECT_EQ(record.name, u"DATA~1.BIN");
  // CJK names come through as UTF-16.
  ASSERT_TRUE(Parse(RecordBuilder().FileName(u"文件（一）：a.txt").ResidentData({}).End(), record));
  EXPECT_EQ(record.name, u"文件（一）：a.txt");
}

TEST(MftRecord, RunLists) {
  auto decode = [](std::vector<std::uint8_t> bytes) { return DecodeDataRuns(bytes); };
  EXPECT_EQ(decode({0x21, 0x18, 0x34, 0x56, 0x00}), (std::vector<DataRun>{{0x5634, 0x18}}));
  // A 1-byte delta with its top bit set goes backwards: 0xF0 is -16.
  EXPECT_EQ(decode({0x11, 0x04, 0x40, 0x11, 0x02, 0xF0, 0x00}), (std::vector<DataRun>{{0x40, 4}, {0x30, 2}}));
  // 2- and 3-byte negative deltas, a 4-byte delta that wraps around.
  EXPECT_EQ(decode({0x31, 1, 0x00, 0x00, 0x10, 0x21, 1, 0x00, 0xFF, 0x31, 1, 0x00, 0x00, 0xFF}),
            (std::vector<DataRun>{{0x100000, 1}, {0x0FFF00, 1}, {0x0FFF00 - 0x10000, 1}}));
  EXPECT_EQ(decode({0x11, 1, 0x10, 0x41, 1, 0xF0, 0xFF, 0xFF, 0xFF}), (std::vector<DataRun>{{0x10, 1}, {0x0, 1}}));
  // No offset field: a sparse run; and the next delta counts from the last
  // real start.
  EXPECT_EQ(decode({0x11, 3, 0x20, 0x01, 5, 0x11, 2, 0x04, 0}),
            (std::vector<DataRun>{{0x20, 3}, {0, 5, true}, {0x24, 2}}));
  // A list cut off in the middle of a run ends there, incomplete.
  EXPECT_EQ(decode({0x11, 3, 0x20, 0x33, 1}), (std::vector<DataRun>{{0x20, 3}}));
  EXPECT_FALSE(DecodeRunList(std::vector<std::uint8_t>{0x11, 3, 0x20, 0x33, 1}).complete);
  EXPECT_TRUE(DecodeRunList(std::vector<std::uint8_t>{0x11, 3, 0x20, 0}).complete);

  // Lengths and offsets past 32 bits: a sparse run of 2^32 + 5 clusters
  // (a 5-byte length), and a start 2^33 clusters on (8-byte fields).
  const RunList wide = DecodeRunList(std::vector<std::uint8_t>{
      0x11, 1, 0x10, 0x05, 5, 0, 0, 0, 1, 0x88, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0});
  EXPECT_TRUE(wide.complete);
  EXPECT_EQ(wide.runs, (std::vector<DataRun>{{0x10, 1}, {0, (1ull << 32) + 5, true}, {0x10 + (1ull << 33), 2}}));
  // A start below cluster 0, a zero length and a nine-byte field end the list.
  for (std::vector<std::uint8_t> bad : {std::vector<std::uint8_t>{0x11, 1, 0x10, 0x11, 1, 0xE0, 0},
                                        std::vector<std::uint8_t>{0x11, 1, 0x10, 0x11, 0, 0x10, 0},
                                        std::vector<std::uint8_t>{0x11, 1, 0x10, 0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}}) {
    const RunList list = DecodeRunList(bad);
    EXPECT_FALSE(list.complete);
    EXPECT_EQ(list.runs, (std::vector<DataRun>{{0x10, 1}}));
  }

  // A long run list is kept whole.
  std::vector<std::uint8_t> many;
  for (int i = 0; i < 14; ++i) many.insert(many.end(), {0x11, 1, static_cast<std::uint8_t>(i == 0 ? 0x10 : 2)});
  MftRecord record;
  ASSERT_TRUE(Parse(RecordBuilder().FileName(u"frag.bin").NonResidentData(many, 14 * 4096).End(), record));
  EXPECT_EQ(record.runs.size(), 14u);
  EXPECT_EQ(record.runs[13].startCluster, 0x10u + 13 * 2);
}

TEST(MftRecord, FixUpRestoresBothSectors) {
  RecordBuilder builder;
  builder.FileName(u"x").ResidentData(std::vector<std::uint8_t>(40, 'r')).End();
  builder.Put(0x30, 0x0007, 2);   // update sequence number
  builder.Put(0x32, 0xBBAA, 2);   // true end of sector 0
  builder.Put(0x34, 0xDDCC, 2);   // true end of sector 1
  builder.Put(0x1FE, 0x0007, 2);  // what the disk holds there
  builder.Put(0x3FE, 0x0007, 2);
  FixUpRecordSector(builder.bytes);
  EXPECT_EQ(builder.bytes[0x1FE], 0xAA);
  EXPECT_EQ(builder.bytes[0x1FF], 0xBB);
  EXPECT_EQ(builder.bytes[0x3FE], 0xCC);
  EXPECT_EQ(builder.bytes[0x3FF], 0xDD);
  // The array where the header says it is (older volumes put it at 0x2A).
  RecordBuilder old;
  old.Put(0x04, 0x2A, 2);
  old.Put(0x2C, 0x2211, 2);
  old.Put(0x2E, 0x4433, 2);
  FixUpRecordSector(old.bytes);
  EXPECT_EQ(old.bytes[0x1FE], 0x11);
  EXPECT_EQ(old.bytes[0x3FF], 0x44);
}

TEST(MftRecord, FixUpFindsTornSectorsInRecordsAndIndexBlocks) {
  for (std::size_t bytes : {std::size_t{1024}, std::size_t{4096}}) {
    std::vector<std::uint8_t> block(bytes, 0x55);
    const std::size_t sectors = bytes / 512;
    block[0x04] = 0x28;  // the array at 0x28: the number, then one saved pair per sector
    block[0x05] = 0;
    block[0x06] = static_cast<std::uint8_t>(sectors + 1);
    block[0x07] = 0;
    block[0x28] = 0x07;
    block[0x29] = 0x00;
    for (std::size_t s = 0; s < sectors; ++s) {
      block[0x2A + 2 * s] = static_cast<std::uint8_t>(s);
      block[0x2B + 2 * s] = 0xEE;
      block[(s + 1) * 512 - 2] = 0x07;
      block[(s + 1) * 512 - 1] = 0x00;
    }
    std::vector<std::uint8_t> sound = block;
    EXPECT_EQ(ApplyFixUp(sound), FixUpResult::Fixed) << bytes;
    EXPECT_EQ(sound[bytes - 2], sectors - 1);
    EXPECT_EQ(sound[bytes - 1], 0xEE);
    // The last sector written apart from the others.
    std::vector<std::uint8_t> torn = block;
    torn[bytes - 2] = 0x08;
    EXPECT_EQ(ApplyFixUp(torn), FixUpResult::Torn) << bytes;
    // A count that does not match the sectors changes nothing.
    std::vector<std::uint8_t> miscounted = block;
    miscounted[0x06] = 2;
    EXPECT_EQ(ApplyFixUp(miscounted), FixUpResult::Malformed);
    EXPECT_EQ(miscounted, [&] { auto m = block; m[0x06] = 2; return m; }());
  }
}

TEST(MftRecord, MalformedRecordsStayInBounds) {
  MftRecord record;
  // A zero attribute length must not loop forever.
  RecordBuilder zero;
  zero.FileName(u"z");
  zero.Put(zero.next, 0x10, 4);
  zero.Put(zero.next + 4, 0, 4);
  EXPECT_FALSE(Parse(zero, record));

  // Lengths and offsets pointing outside the record.
  RecordBuilder longName;
  longName.FileName(u"n").ResidentData({1}).End();
  longName.Put(0x38 + 0x58, 0xFF, 1);  // 255 code units from 0x92: still inside, garbage but bounded
  EXPECT_TRUE(Parse(longName, record));
  RecordBuilder outside;
  outside.Put(0x14, 0x3F0, 2);  // the first attribute's header runs past the end
  EXPECT_FALSE(Parse(outside, record));
  RecordBuilder value;
  value.FileName(u"v").ResidentData({1, 2, 3}).End();
  value.Put(value.next - 0x20 + 0x14, 0x3FF, 2);  // resident value offset past the end
  EXPECT_FALSE(Parse(value, record));
  RecordBuilder valueLength;
  valueLength.FileName(u"v").ResidentData({1, 2, 3}).End();
  valueLength.Put(valueLength.next - 0x20 + 0x10, 0xFFFF, 4);  // value longer than the record
  EXPECT_FALSE(Parse(valueLength, record));
  RecordBuilder runs;
  runs.FileName(u"r").NonResidentData({0x21, 1, 0x10, 0x00}, 4096).End();
  runs.Put(runs.next - 0x48 + 0x20, 0xFFF0, 2);  // run list offset past the attribute
  EXPECT_FALSE(Parse(runs, record));
  RecordBuilder attributeLength;
  attributeLength.FileName(u"l").Other(0x10, 0x20).ResidentData({1}).End();
  attributeLength.Put(attributeLength.next - 0x20 - 0x20 + 4, 0x2000, 4);  // longer than a record
  EXPECT_FALSE(Parse(attributeLength, record));

  // Every single-byte corruption of a good record is handled without leaving
  // it (ASan watches the reads): what parses stays inside the record, and a
  // byte past the end marker changes nothing.
  RecordBuilder good;
  good.FileName(u"good.txt").NonResidentData({0x21, 0x18, 0x34, 0x56}, 5000).End();
  ASSERT_TRUE(ParseFileRecord(good.bytes, record));
  for (std::size_t offset = 0; offset < 0x140; ++offset)
    for (std::uint8_t value : {0x00, 0x7F, 0x80, 0xFF}) {
      RecordBuilder copy = good;
      copy.bytes[offset] = value;
      MftRecord parsed;
      const bool ok = ParseFileRecord(copy.bytes, parsed);
      if (ok) {
        EXPECT_LE(parsed.residentData.size(), kFileRecordSize) << offset;
        EXPECT_LE(parsed.name.size(), 255u) << offset;
      }
      if (offset >= good.next) {
        EXPECT_TRUE(ok && parsed.name == u"good.txt" && parsed.realSize == 5000 && parsed.runs == record.runs)
            << offset;
      }
    }
}

}  // namespace
}  // namespace corvanel
