// An image file that stands in for a volume behind a drive letter.
//
// Natively the image is a temporary file put in the drive table. Under Wine
// the letter must already point at the image (a dosdevices "x::" link), so
// tools/wine-run makes one and names it in CORVANEL_TEST_DRIVE (the letter)
// and CORVANEL_TEST_IMAGE (the image's Windows path); tests skip without them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvanel::testing {

class TestVolumeImage {
 public:
  // Sets the image up empty; available() tells whether that was possible.
  TestVolumeImage();
  ~TestVolumeImage();

  bool available() const { return letter_ != 0; }
  char letter() const { return letter_; }
  const std::string& path() const { return path_; }
  // How the command line names this volume.
  std::string VolumeArgument() const;

  void Resize(std::uint64_t bytes);
  std::uint64_t Size() const;
  void Write(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t length) const;

 private:
  char letter_ = 0;
  std::string path_;
  bool ownsFile_ = false;
};

// A letter that names no volume, natively and under Wine.
inline constexpr char kUnmappedDriveLetter = 'Q';

// Bytes that tell every sector apart: byte i of the image is a function of i.
std::vector<std::uint8_t> PatternBytes(std::uint64_t offset, std::size_t length);

}  // namespace corvanel::testing
