#include "tests/support/test_volume_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "platform/drive_table.h"
#endif

namespace corvanel::testing {

TestVolumeImage::TestVolumeImage() {
#ifdef _WIN32
  const char* drive = std::getenv("CORVANEL_TEST_DRIVE");
  const char* image = std::getenv("CORVANEL_TEST_IMAGE");
  if (drive == nullptr || image == nullptr || drive[0] == 0) return;
  letter_ = drive[0];
  path_ = image;
#else
  std::string pattern = ::testing::TempDir() + "corvanel-volume-XXXXXX";
  int fd = ::mkstemp(pattern.data());
  if (fd < 0) return;
  ::close(fd);
  path_ = pattern;
  ownsFile_ = true;
  letter_ = 'X';
  platform::MapDrive(letter_, {path_, {}});
#endif
  Resize(0);
}

TestVolumeImage::~TestVolumeImage() {
  if (!available()) return;
  std::error_code ignored;
#ifndef _WIN32
  platform::UnmapDrive(letter_);
#endif
  if (ownsFile_) std::filesystem::remove(path_, ignored);
  else std::filesystem::resize_file(path_, 0, ignored);
}

std::string TestVolumeImage::VolumeArgument() const {
#ifdef _WIN32
  return std::string(1, letter_) + ":";
#else
  return path_;
#endif
}

void TestVolumeImage::Resize(std::uint64_t bytes) {
#ifdef _WIN32
  // The C runtime's resize stops short of the 2 TiB images some tests need.
  HANDLE file = ::CreateFileA(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot open " << path_;
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(bytes);
  bool resized = ::SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && ::SetEndOfFile(file);
  ::CloseHandle(file);
  ASSERT_TRUE(resized) << "cannot resize " << path_;
#else
  std::filesystem::resize_file(path_, bytes);
#endif
}

std::uint64_t TestVolumeImage::Size() const { return std::filesystem::file_size(path_); }

void TestVolumeImage::Write(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(offset));
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.good()) << "writing the test image failed";
}

std::vector<std::uint8_t> TestVolumeImage::Read(std::uint64_t offset, std::size_t length) const {
  std::vector<std::uint8_t> bytes(length);
  std::ifstream file(path_, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return bytes;
}

std::vector<std::uint8_t> PatternBytes(std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) {
    std::uint64_t position = offset + i;
    bytes[i] = static_cast<std::uint8_t>((position * 131) ^ (position >> 9));
  }
  return bytes;
}

}  // namespace corvanel::testing
