// Boot sectors: which file system, the cluster size and where metadata starts.
#include "volume/volume_geometry.h"

#include <gtest/gtest.h>

#include <array>

#include "app/message_catalogue.h"
#include "tests/support/test_volume_image.h"
#include "volume/raw_volume.h"

namespace corvanel {
namespace {

using Sector = std::array<std::uint8_t, kSectorSize>;

void Put(Sector& s, std::size_t offset, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) s[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void PutText(Sector& s, std::size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), s.begin() + static_cast<std::ptrdiff_t>(offset));
}

Sector Fat32Boot() {
  Sector s{};
  PutText(s, 0x52, "FAT32   ");
  Put(s, 0x0B, 512, 2);       // bytes per sector
  Put(s, 0x0D, 8, 1);         // sectors per cluster
  Put(s, 0x0E, 32, 2);        // reserved sectors
  Put(s, 0x10, 2, 1);         // FATs
  Put(s, 0x20, 1000000, 4);   // total sectors
  Put(s, 0x24, 1000, 4);      // sectors per FAT
  Put(s, 0x2C, 2, 4);         // root cluster
  return s;
}

Sector NtfsBoot() {
  Sector s{};
  PutText(s, 0x03, "NTFS    ");
  Put(s, 0x0B, 512, 2);
  Put(s, 0x0D, 8, 1);
  Put(s, 0x28, 2097151, 8);
  Put(s, 0x30, 4, 8);
  return s;
}

// mkfs.exfat's sector for a 64 MiB volume of 32 KiB clusters.
Sector ExfatBoot() {
  Sector s{};
  PutText(s, 0x03, "EXFAT   ");
  Put(s, 0x48, 131072, 8);   // volume length
  Put(s, 0x50, 2048, 4);     // FAT offset
  Put(s, 0x54, 32, 4);       // FAT length
  Put(s, 0x58, 4096, 4);     // cluster heap offset
  Put(s, 0x5C, 1984, 4);     // cluster count
  Put(s, 0x60, 5, 4);        // root cluster
  Put(s, 0x64, 0x1234ABCD, 4);
  Put(s, 0x6C, 9, 1);        // 512-byte sectors
  Put(s, 0x6D, 6, 1);        // 64 sectors per cluster
  Put(s, 0x6E, 1, 1);
  Put(s, 0x1FE, 0xAA55, 2);
  return s;
}

TEST(BootSector, Fat32) {
  auto facts = ParseBootSector(Fat32Boot());
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->kind, kFileSystemFat32);
  EXPECT_EQ(facts->geometry.sectorsPerCluster, 8);
  EXPECT_EQ(facts->geometry.fatFirstDataSector, 32u + 2 * 1000);
  EXPECT_EQ(facts->volumeSectors, 1000000u);
  EXPECT_EQ(facts->metadataStart, 2032u);

  // Reserved sectors plus FATs beyond 65535 sectors: 32-bit arithmetic.
  Sector big = Fat32Boot();
  Put(big, 0x24, 40000, 4);
  Put(big, 0x2C, 5, 4);
  facts = ParseBootSector(big);
  EXPECT_EQ(facts->geometry.fatFirstDataSector, 80032u);
  EXPECT_EQ(facts->metadataStart, 80032u + 3 * 8);
}

TEST(BootSector, NtfsAndBothMarks) {
  auto facts = ParseBootSector(NtfsBoot());
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->kind, kFileSystemNtfs);
  EXPECT_EQ(facts->volumeSectors, 2097151u);
  EXPECT_EQ(facts->geometry.totalSectors, 2097151u);
  EXPECT_EQ(facts->metadataStart, 32u);

  EXPECT_EQ(UnsupportedVolume(*facts), 0);

  // A sector with both marks is FAT32.
  Sector both = Fat32Boot();
  PutText(both, 0x03, "NTFS");
  EXPECT_EQ(ParseBootSector(both)->kind, kFileSystemFat32);
}

TEST(BootSector, Exfat) {
  auto facts = ParseBootSector(ExfatBoot());
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->kind, kFileSystemExfat);
  EXPECT_EQ(ClusterBytes(*facts), 32768u);
  EXPECT_EQ(facts->geometry.fatFirstDataSector, 4096u);
  EXPECT_EQ(facts->metadataStart, 4096u + 3 * 64);
  EXPECT_EQ(facts->fatStart, 2048u);
  EXPECT_EQ(facts->sectorsPerFat, 32u);
  EXPECT_EQ(facts->clusterCount, 1984u);
  EXPECT_EQ(facts->volumeSerial, 0x1234ABCDu);
  EXPECT_EQ(facts->volumeSectors, 131072u);
  EXPECT_EQ(UnsupportedVolume(*facts), 0);

  Sector s = ExfatBoot();
  Put(s, 0x6C, 12, 1);  // 4096-byte sectors: counted in 512-byte units as FAT32's and NTFS's
  Put(s, 0x6D, 3, 1);
  facts = ParseBootSector(s);
  ASSERT_TRUE(facts);
  EXPECT_EQ(UnsupportedVolume(*facts), 0);
  EXPECT_EQ(ClusterBytes(*facts), 32768u);
  EXPECT_EQ(facts->geometry.fatFirstDataSector, 4096u * 8);
  EXPECT_EQ(facts->metadataStart, (4096u + 3 * 8) * 8);
  Put(s, 0x6C, 13, 1);  // 8192-byte sectors: no format allows them
  EXPECT_EQ(UnsupportedVolume(*ParseBootSector(s)), error_code::kUnsupportedSectorSize);
  s = ExfatBoot();
  Put(s, 0x6D, 16, 1);  // 32 MiB clusters: more sectors than the 16-bit count holds
  Put(s, 0x5C, 1, 4);
  Put(s, 0x60, 2, 4);
  Put(s, 0x48, 1u << 20, 8);
  EXPECT_FALSE(ParseBootSector(s));
  s = ExfatBoot();
  Put(s, 0x5C, 2100, 4);  // a cluster heap past the volume's end
  EXPECT_FALSE(ParseBootSector(s));
}

// Sectors of 512 to 4096 bytes are counted in 512-byte units: a 4096-byte
// sector is eight of them.
TEST(BootSector, LargerSectorsAreCountedIn512ByteUnits) {
  Sector fat = Fat32Boot();
  Put(fat, 0x0B, 4096, 2);
  Put(fat, 0x0D, 1, 1);
  auto facts = ParseBootSector(fat);
  EXPECT_EQ(UnsupportedVolume(*facts), 0);
  EXPECT_EQ(facts->bytesPerSector, 4096);
  EXPECT_EQ(facts->geometry.sectorsPerCluster, 8);
  EXPECT_EQ(facts->fatStart, 32u * 8);
  EXPECT_EQ(facts->sectorsPerFat, 1000u * 8);
  EXPECT_EQ(facts->geometry.fatFirstDataSector, (32u + 2 * 1000) * 8);
  EXPECT_EQ(facts->metadataStart, (32u + 2 * 1000) * 8);
  EXPECT_EQ(facts->volumeSectors, 8000000u);
  EXPECT_EQ(ClusterBytes(*facts), 4096u);

  // What mkntfs -s 4096 writes: one sector a cluster, 4096-byte records.
  Sector ntfs = NtfsBoot();
  Put(ntfs, 0x0B, 4096, 2);
  Put(ntfs, 0x0D, 1, 1);
  Put(ntfs, 0x28, 8191, 8);
  Put(ntfs, 0x30, 4, 8);
  Put(ntfs, 0x40, 1, 1);
  facts = ParseBootSector(ntfs);
  EXPECT_EQ(UnsupportedVolume(*facts), 0);
  EXPECT_EQ(facts->geometry.sectorsPerCluster, 8);
  EXPECT_EQ(facts->volumeSectors, 8191u * 8);
  EXPECT_EQ(facts->metadataStart, 32u);
  EXPECT_EQ(facts->fileRecordBytes, 4096u);
  // More 512-byte units than 32 bits number, though fewer sectors.
  Put(ntfs, 0x28, std::uint64_t{1} << 30, 8);
  EXPECT_EQ(UnsupportedVolume(*ParseBootSector(ntfs)), error_code::kVolumeTooLarge);

  // The record size: clusters, or 2^-v bytes below zero; damage gives 1024.
  for (auto [value, bytes] : {std::pair{0x01, 4096u}, {0xF6, 1024u}, {0xF4, 4096u}, {0x00, 1024u}, {0x02, 1024u}}) {
    Put(ntfs, 0x40, value, 1);
    EXPECT_EQ(ParseBootSector(ntfs)->fileRecordBytes, bytes) << value;
  }
  EXPECT_EQ(ParseBootSector(NtfsBoot())->fileRecordBytes, 1024u);
}

// Sector sizes the formats do not allow, and volumes whose sector numbers
// would not fit 32 bits, are refused, never read with wrapped numbers.
TEST(BootSector, OtherSectorSizesAndMoreThan32BitsOfSectorsAreRefused) {
  for (std::uint32_t size : {8192u, 3072u, 256u, 0u}) {
    for (Sector s : {Fat32Boot(), NtfsBoot()}) {
      Put(s, 0x0B, size, 2);
      EXPECT_EQ(UnsupportedVolume(*ParseBootSector(s)), error_code::kUnsupportedSectorSize) << size;
    }
  }
  EXPECT_EQ(UnsupportedVolume(*ParseBootSector(Fat32Boot())), 0);
  Sector huge = NtfsBoot();
  Put(huge, 0x28, std::uint64_t{1} << 32, 8);
  EXPECT_EQ(UnsupportedVolume(*ParseBootSector(huge)), error_code::kVolumeTooLarge);
  Put(huge, 0x28, UINT32_MAX, 8);  // the last sector that 32 bits number
  EXPECT_EQ(UnsupportedVolume(*ParseBootSector(huge)), 0);
  Put(huge, 0x30, (std::uint64_t{1} << 29), 8);  // an MFT at sector 2^32
  EXPECT_EQ(UnsupportedVolume(*ParseBootSector(huge)), error_code::kVolumeTooLarge);
}

TEST(BootSector, LargeNtfsClustersAndDamage) {
  Sector s = NtfsBoot();
  Put(s, 0x0D, 0x80, 1);  // 128 sectors (64 KiB), not a negative power of two
  EXPECT_EQ(ParseBootSector(s)->geometry.sectorsPerCluster, 128);
  Put(s, 0x0D, 0xF8, 1);  // 2^(256 - 0xF8) = 256 sectors: mkntfs's 128 KiB clusters
  EXPECT_EQ(ParseBootSector(s)->geometry.sectorsPerCluster, 256);
  Put(s, 0x0D, 0xF4, 1);  // 4096 sectors: 2 MiB
  EXPECT_EQ(ParseBootSector(s)->geometry.sectorsPerCluster, 4096);
  Put(s, 0x0D, 0xEF, 1);  // 2^17 sectors: more than any volume's cluster
  EXPECT_FALSE(ParseBootSector(s));
  Put(s, 0x0B, 4096, 2);  // 2^13 sectors of 4096 bytes: past 16 MiB, the most taken
  Put(s, 0x0D, 0xF3, 1);
  EXPECT_FALSE(ParseBootSector(s));
  Put(s, 0x0D, 0xF8, 1);
  EXPECT_EQ(ParseBootSector(s)->geometry.sectorsPerCluster, 2048);
  Put(s, 0x0D, 0, 1);     // no cluster size: nothing can be computed from it
  EXPECT_FALSE(ParseBootSector(s));
  Sector fat = Fat32Boot();
  Put(fat, 0x0D, 0, 1);
  EXPECT_FALSE(ParseBootSector(fat));
  EXPECT_FALSE(ParseBootSector(Sector{}));
  EXPECT_FALSE(ParseBootSector(std::span<const std::uint8_t>(NtfsBoot()).first(100)));
}

TEST(BootSector, ReadFromAVolume) {
  testing::TestVolumeImage image;
  if (!image.available()) GTEST_SKIP() << "no image behind a drive letter";
  image.Resize(4 * kSectorSize);
  Sector boot = NtfsBoot();
  image.Write(0, boot);
  std::int32_t errorCode = 0;
  std::optional<BootSectorFacts> facts = ReadBootSector(image.letter(), errorCode);
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->kind, kFileSystemNtfs);
  EXPECT_EQ(facts->geometry.sectorsPerCluster, 8);
  EXPECT_EQ(facts->metadataStart, 32u);

  image.Write(0, Sector{});
  EXPECT_FALSE(ReadBootSector(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kUnrecognizedFileSystem);

  // exFAT's backup boot sector stands in for a damaged sector 0; NTFS's does not.
  image.Resize(16 * kSectorSize);
  image.Write(12 * kSectorSize, NtfsBoot());
  EXPECT_FALSE(ReadBootSector(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kUnrecognizedFileSystem);
  image.Write(12 * kSectorSize, ExfatBoot());
  facts = ReadBootSector(image.letter(), errorCode);
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->kind, kFileSystemExfat);

  // A failed read gives the read's own code.
  image.Resize(0);
  errorCode = 0;
  EXPECT_FALSE(ReadBootSector(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
}

}  // namespace
}  // namespace corvanel
