// Raw volume reads on an image file behind a drive letter: offsets, 64-bit
// offsets and the failure codes. The same tests run natively (drive table)
// and under Wine ("\\.\X:" through a dosdevices link).
#include "volume/raw_volume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "tests/support/test_volume_image.h"

#ifndef _WIN32
#include <sys/stat.h>

#include <filesystem>

#include "platform/drive_table.h"
#endif

namespace corvanel {
namespace {

using testing::kUnmappedDriveLetter;
using testing::PatternBytes;
using testing::TestVolumeImage;

constexpr std::u16string_view kSystemErrorPrefix = u"System Error:";

class RawVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image.available()) GTEST_SKIP() << "no image behind a drive letter (run through tools/wine-run)";
    ResetSharedState();
    image.Resize(64 * kSectorSize);
    image.Write(0, PatternBytes(0, 64 * kSectorSize));
  }

  static void ExpectSystemText() {
    std::u16string text = LastSystemErrorText.Get();
    EXPECT_TRUE(text.starts_with(kSystemErrorPrefix));
    EXPECT_GT(text.size(), kSystemErrorPrefix.size()) << "the system's own text is missing";
  }

  TestVolumeImage image;
};

TEST_F(RawVolumeTest, ReadsSectorsAtTheirOffsets) {
  std::vector<std::uint8_t> buffer(3 * kSectorSize);
  std::int32_t errorCode = 0;
  ASSERT_TRUE(RawVolume::ReadSectors(5, image.letter(), 3, buffer, errorCode));
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(buffer, PatternBytes(5 * kSectorSize, 3 * kSectorSize));

  // Only sectorCount sectors land in a larger buffer.
  std::vector<std::uint8_t> larger(4 * kSectorSize, 0xEE);
  ASSERT_TRUE(RawVolume::ReadSectors(63, image.letter(), 1, larger, errorCode));
  EXPECT_TRUE(std::equal(larger.begin(), larger.begin() + kSectorSize,
                         PatternBytes(63 * kSectorSize, kSectorSize).begin()));
  EXPECT_TRUE(std::all_of(larger.begin() + kSectorSize, larger.end(), [](auto b) { return b == 0xEE; }));
}

TEST_F(RawVolumeTest, ZeroSectorsSucceedWithNothingRead) {
  std::vector<std::uint8_t> buffer(kSectorSize, 0xAB);
  std::int32_t errorCode = 0;
  EXPECT_TRUE(RawVolume::ReadSectors(0, image.letter(), 0, buffer, errorCode));
  EXPECT_EQ(errorCode, 0);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](auto b) { return b == 0xAB; }));
}

TEST_F(RawVolumeTest, AVolumeKeptOpenSeesWritesMadeElsewhere) {
  RawVolume volume(image.letter());
  std::vector<std::uint8_t> buffer(2 * kSectorSize);
  std::int32_t errorCode = 0;
  ASSERT_TRUE(volume.ReadSectors(20, 2, buffer, errorCode));
  EXPECT_EQ(buffer, PatternBytes(20 * kSectorSize, 2 * kSectorSize));

  // Nothing is cached.
  image.Write(21 * kSectorSize, std::vector<std::uint8_t>(kSectorSize, 0x33));
  ASSERT_TRUE(volume.ReadSectors(21, 1, buffer, errorCode));
  EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + kSectorSize),
            std::vector<std::uint8_t>(kSectorSize, 0x33));
}

TEST_F(RawVolumeTest, SectorNumbersAre64BitOffsets) {
  // Sector 2^32 + 1 lies at byte (2^32 + 1) * 512, past 2 TiB into a sparse image.
  constexpr std::uint64_t kLastSector = 0x100000001ull;
  constexpr std::uint64_t kLastOffset = std::uint64_t{kLastSector} * kSectorSize;
  image.Resize(kLastOffset + kSectorSize);
  image.Write(kLastOffset, PatternBytes(kLastOffset, kSectorSize));
  // What a wrapped 32-bit offset would reach instead.
  image.Write(static_cast<std::uint32_t>(kLastOffset), std::vector<std::uint8_t>(kSectorSize, 0xCC));

  std::vector<std::uint8_t> buffer(kSectorSize);
  std::int32_t errorCode = 0;
  ASSERT_TRUE(RawVolume::ReadSectors(kLastSector, image.letter(), 1, buffer, errorCode));
  EXPECT_EQ(buffer, PatternBytes(kLastOffset, kSectorSize));
  // A sector past any byte offset fails as a read does.
  EXPECT_FALSE(RawVolume::ReadSectors(UINT64_MAX / kSectorSize, image.letter(), 1, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
}

TEST_F(RawVolumeTest, ADriveWithNoVolumeGivesCode1WithTheSystemText) {
  std::vector<std::uint8_t> buffer(kSectorSize);
  std::int32_t errorCode = 0;
  EXPECT_FALSE(RawVolume::ReadSectors(0, kUnmappedDriveLetter, 1, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kVolumeOpenFailed);
  ExpectSystemText();
  // Opening is the first step: even a read of nothing fails.
  errorCode = 0;
  EXPECT_FALSE(RawVolume::ReadSectors(0, kUnmappedDriveLetter, 0, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kVolumeOpenFailed);
}

TEST_F(RawVolumeTest, AReadPastTheEndGivesCode4AndKeepsTheSystemText) {
  LastSystemErrorText.Set(u"System Error:earlier");
  std::vector<std::uint8_t> buffer(4 * kSectorSize);
  std::int32_t errorCode = 0;
  // Wholly past the end, and straddling it: neither is data.
  EXPECT_FALSE(RawVolume::ReadSectors(64, image.letter(), 1, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
  errorCode = 0;
  EXPECT_FALSE(RawVolume::ReadSectors(62, image.letter(), 4, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
  EXPECT_EQ(LastSystemErrorText.Get(), u"System Error:earlier");

  // A buffer too small for the request is refused before it is overrun.
  errorCode = 0;
  EXPECT_FALSE(RawVolume::ReadSectors(0, image.letter(), 5, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
}

#ifndef _WIN32
// Failures after a successful open, which need devices that only exist here.
TEST(RawVolumeDeviceFailures, AFailedReadAfterOpeningGivesCode4) {
  ResetSharedState();
  ASSERT_TRUE(platform::MapDrive('D', {::testing::TempDir(), {}}));  // a directory opens but cannot be read
  std::vector<std::uint8_t> buffer(kSectorSize);
  std::int32_t errorCode = 0;
  EXPECT_FALSE(RawVolume::ReadSectors(0, 'D', 1, buffer, errorCode));
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
  EXPECT_TRUE(LastSystemErrorText.Get().empty());
  platform::UnmapDrive('D');
}
#endif

}  // namespace
}  // namespace corvanel
