// Malformed partition tables, as hand-made disks: each is refused with its
// reason and none hangs. Sound tables are checked on sfdisk's own disks
// (tests/volume/whole_disks_test.py).
#include <gtest/gtest.h>

#include <cstring>

#include "volume/partition_table.h"

namespace corvanel::partition {
namespace {

constexpr std::uint64_t kSectors = 256;

struct Disk {
  std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(kSectors * 512);

  void Put32(std::uint64_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  void Put64(std::uint64_t at, std::uint64_t value) {
    Put32(at, static_cast<std::uint32_t>(value));
    Put32(at + 4, static_cast<std::uint32_t>(value >> 32));
  }
  // An MBR-style entry in the table at sector `table`.
  void Entry(std::uint64_t table, int slot, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
    const std::uint64_t at = table * 512 + 446 + 16 * slot;
    bytes[at + 4] = type;
    Put32(at + 8, first);
    Put32(at + 12, count);
    bytes[table * 512 + 510] = 0x55;
    bytes[table * 512 + 511] = 0xAA;
  }
  // A protective MBR and both GPT headers; entries are {first, last} sector pairs.
  void Gpt(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& partitions, std::uint32_t count = 128) {
    Entry(0, 0, 0xEE, 1, kSectors - 1);
    std::vector<std::uint8_t> entries(std::size_t{count} * 128);
    for (std::size_t i = 0; i < partitions.size(); ++i) {
      entries[i * 128] = 0xA2;  // any type but the empty one
      for (int b = 0; b < 8; ++b) {
        entries[i * 128 + 32 + b] = static_cast<std::uint8_t>(partitions[i].first >> (8 * b));
        entries[i * 128 + 40 + b] = static_cast<std::uint8_t>(partitions[i].second >> (8 * b));
      }
    }
    const std::uint32_t entriesCrc = Crc32(entries);
    for (auto [header, array] : {std::pair<std::uint64_t, std::uint64_t>{1, 2}, {kSectors - 1, kSectors - 33}}) {
      const std::uint64_t at = header * 512;
      std::memcpy(&bytes[at], "EFI PART", 8);
      Put32(at + 8, 0x00010000);
      Put32(at + 12, 92);
      Put32(at + 16, 0);
      Put64(at + 24, header);
      Put64(at + 32, header == 1 ? kSectors - 1 : 1);
      Put64(at + 40, 34);
      Put64(at + 48, kSectors - 34);
      Put64(at + 72, array);
      Put32(at + 80, count);
      Put32(at + 84, 128);
      Put32(at + 88, entriesCrc);
      Put32(at + 16, Crc32(std::span(bytes).subspan(at, 92)));
      std::memcpy(&bytes[array * 512], entries.data(), std::min<std::size_t>(entries.size(), 32 * 512));
    }
  }

  std::optional<Table> Read(std::string& error) const {
    const DiskReader read = [this](std::uint64_t offset, std::span<std::uint8_t> out) {
      if (offset > bytes.size() || out.size() > bytes.size() - offset) return false;
      std::memcpy(out.data(), &bytes[offset], out.size());
      return true;
    };
    return ReadTable(read, bytes.size(), error);
  }
};

// The reason a disk's table is refused (empty when it is not).
std::string Refusal(const Disk& disk) {
  std::string error;
  return disk.Read(error) ? std::string() : error;
}

TEST(PartitionTable, MalformedMbrIsRefusedWithItsReason) {
  Disk overlap;
  overlap.Entry(0, 0, 0x07, 2, 100);
  overlap.Entry(0, 1, 0x0C, 50, 100);
  EXPECT_EQ(Refusal(overlap), "partitions 1 and 2 overlap");

  Disk pastEnd;
  pastEnd.Entry(0, 2, 0x07, 2, kSectors);
  EXPECT_EQ(Refusal(pastEnd), "partition 3 (sectors 2-257) runs past the end of the disk (256 sectors)");

  // Each extended table's link points back at the first: the chain loops.
  Disk loop;
  loop.Entry(0, 0, 0x05, 10, 200);
  loop.Entry(10, 0, 0x83, 1, 10);
  loop.Entry(10, 1, 0x05, 20, 50);
  loop.Entry(30, 0, 0x83, 1, 10);
  loop.Entry(30, 1, 0x05, 0, 50);
  EXPECT_EQ(Refusal(loop), "the chain of extended partition tables loops (back to sector 10)");

  Disk logicalOutside;
  logicalOutside.Entry(0, 0, 0x0F, 10, 20);
  logicalOutside.Entry(10, 0, 0x07, 1, 100);
  EXPECT_EQ(Refusal(logicalOutside), "logical partition 5 (sectors 11-110) lies outside its extended partition");

  // The chain's second table is within bounds once unlooped: a sound disk.
  loop.Entry(30, 1, 0, 0, 0);
  std::string error;
  std::optional<Table> table = loop.Read(error);
  ASSERT_TRUE(table) << error;
  ASSERT_EQ(table->partitions.size(), 2u);
  EXPECT_EQ(table->partitions[1].number, 6u);
  EXPECT_EQ(table->partitions[1].firstSector, 31u);
}

TEST(PartitionTable, MalformedGptIsRefusedWithItsReason) {
  Disk sound;
  sound.Gpt({{40, 99}, {100, 200}});
  std::string error;
  std::optional<Table> table = sound.Read(error);
  ASSERT_TRUE(table) << error;
  EXPECT_EQ(table->scheme, Scheme::Gpt);
  EXPECT_EQ(table->partitions.size(), 2u);

  // Checksums right, but 512 entries of 128 bytes need 128 sectors where 32 lie before the usable ones.
  Disk countPastArray;
  countPastArray.Gpt({{40, 99}}, 512);
  EXPECT_EQ(Refusal(countPastArray), "damaged GPT: its 512 entries run past their array (sector 2 on); "
                                     "its backup: its 512 entries run past their array (sector 223 on)");

  Disk overlap;
  overlap.Gpt({{40, 99}, {99, 200}});
  EXPECT_EQ(Refusal(overlap), "damaged GPT: partitions 1 and 2 overlap");

  Disk pastEnd;
  pastEnd.Gpt({{40, 300}});
  EXPECT_EQ(Refusal(pastEnd), "damaged GPT: partition 1 (sectors 40-300) lies outside the usable sectors 34-222, "
                              "past the end of the disk");

  // A primary header whose checksum fails gives way to the backup; both failing is an error.
  Disk damaged = sound;
  damaged.bytes[512 + 40] ^= 1;
  table = damaged.Read(error);
  ASSERT_TRUE(table) << error;
  EXPECT_TRUE(table->fromBackup);
  EXPECT_EQ(table->primaryDamage, "its header's checksum does not match");
  damaged.bytes[(kSectors - 33) * 512 + 32] ^= 1;
  EXPECT_EQ(Refusal(damaged), "damaged GPT: its header's checksum does not match; "
                              "its backup: its entries' checksum does not match");
}

TEST(PartitionTable, VolumesAndBlankDisksHaveNoTable) {
  Disk blank;
  std::string error;
  ASSERT_TRUE(blank.Read(error));
  EXPECT_EQ(blank.Read(error)->scheme, Scheme::None);
  // An NTFS boot sector ends in 55 AA too, and its boot code may pass for entries.
  Disk volume;
  volume.Entry(0, 0, 0x07, 2, 100);
  std::memcpy(&volume.bytes[3], "NTFS    ", 8);
  EXPECT_EQ(volume.Read(error)->scheme, Scheme::None);
}

}  // namespace
}  // namespace corvanel::partition
