// Drive-letter forms of a volume name.
#include "platform/volume_name.h"

#include <gtest/gtest.h>

namespace corvanel::platform {
namespace {

TEST(VolumeName, DriveForms) {
  EXPECT_EQ(DriveLetterFromName("x:"), 'X');
  EXPECT_EQ(DriveLetterFromName("D:\\"), 'D');
  EXPECT_EQ(DriveLetterFromName("e:/"), 'E');
  EXPECT_EQ(DriveLetterFromName("\\\\.\\F:"), 'F');
  for (const char* notADrive : {"", ":", "1:", "C", "CD:", "C:\\dir", "\\\\.\\", "/dev/sda1", "image.img"})
    EXPECT_EQ(DriveLetterFromName(notADrive), std::nullopt) << notADrive;
}

}  // namespace
}  // namespace corvanel::platform
