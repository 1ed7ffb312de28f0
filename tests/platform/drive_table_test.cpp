// The drive table that stands in for drive letters on POSIX systems.
#include "platform/drive_table.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/volume_device.h"

namespace corvanel::platform {
namespace {

TEST(DriveTable, MapsLettersInEitherCase) {
  ASSERT_TRUE(MapDrive('k', {"/images/k.img", "/mnt/k"}));
  ASSERT_TRUE(LookUpDrive('K'));
  EXPECT_EQ(LookUpDrive('K')->device, "/images/k.img");
  EXPECT_FALSE(MapDrive('1', {"/x", {}}));
  EXPECT_FALSE(LookUpDrive('@'));
  UnmapDrive('K');
  EXPECT_FALSE(LookUpDrive('k'));
}

TEST(DriveTable, DrivePathsLeadIntoTheMountDirectory) {
  MapDrive('M', {"/images/m.img", "/mnt/m/"});
  EXPECT_EQ(HostPathFor("M:\\dir\\file.txt"), "/mnt/m/dir/file.txt");
  EXPECT_EQ(HostPathFor("m:/dir/file.txt"), "/mnt/m/dir/file.txt");
  EXPECT_EQ(HostPathFor("M:"), "/mnt/m/");
  EXPECT_EQ(HostPathFor("N:\\file"), std::nullopt);  // not mapped
  MapDrive('N', {"/images/n.img", {}});
  EXPECT_EQ(HostPathFor("N:\\file"), std::nullopt);  // not mounted
  EXPECT_EQ(HostPathFor("relative\\file"), std::nullopt);
  UnmapDrive('M');
  UnmapDrive('N');
}

TEST(DriveTable, VolumeNamesOnTheCommandLine) {
  std::string image = ::testing::TempDir() + "corvanel-drive-table.img";
  std::ofstream(image) << "x";
  SystemError error;
  std::optional<char> letter = DriveLetterForVolume(image, error);
  ASSERT_TRUE(letter);
  EXPECT_EQ(LookUpDrive(*letter)->device, image);
  // The letter it was given names it from then on.
  EXPECT_EQ(DriveLetterForVolume(std::string(1, *letter) + ":", error), letter);
  UnmapDrive(*letter);

  EXPECT_EQ(DriveLetterForVolume(image + ".missing", error), std::nullopt);
  EXPECT_NE(error.code, 0u);
  EXPECT_EQ(DriveLetterForVolume(::testing::TempDir(), error), std::nullopt);  // a directory is no volume
  std::remove(image.c_str());
}

}  // namespace
}  // namespace corvanel::platform
