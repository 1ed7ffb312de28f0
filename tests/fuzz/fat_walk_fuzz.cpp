// libFuzzer target: the FAT32 deleted-file walk and the path search over a
// small volume whose FAT and directory sectors are the input. The volume is
// a file in memory-backed /dev/shm behind a drive letter.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/drive_table.h"
#include "volume/deleted_file_scan.h"
#include "volume/fat_directory.h"
#include "volume/raw_volume.h"

namespace {

constexpr std::uint32_t kSectors = 64;

std::vector<std::uint8_t> BootSector() {
  std::vector<std::uint8_t> boot(corvanel::kSectorSize, 0);
  std::copy_n("FAT32   ", 8, boot.begin() + 0x52);
  boot[0x0C] = 2;     // 512 bytes per sector
  boot[0x0D] = 1;     // sectors per cluster
  boot[0x0E] = 2;     // reserved sectors: the FAT is sector 2
  boot[0x10] = 1;     // one FAT
  boot[0x20] = kSectors;
  boot[0x24] = 1;     // one sector per FAT: the data area starts at sector 3
  boot[0x2C] = 2;     // root directory cluster
  return boot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanel;
  static const std::string path = "/dev/shm/corvanel-fat-fuzz-" + std::to_string(::getpid()) + ".img";
  static const bool mapped = platform::MapDrive('F', {path, {}});
  if (!mapped) return 0;

  std::vector<std::uint8_t> image = BootSector();
  image.resize(2 * kSectorSize, 0);
  image.insert(image.end(), data, data + std::min<std::size_t>(size, (kSectors - 2) * kSectorSize));
  image.resize(kSectors * kSectorSize, 0);
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return 0;
  std::fwrite(image.data(), 1, image.size(), file);
  std::fclose(file);

  ListedFilesView view;
  std::int32_t errorCode = 0;
  ScanDeletedFiles('F', view, errorCode);
  RawVolume volume('F');
  FatLocation located;
  errorCode = 0;
  FindFatPath(volume, LastScan.ScannedVolume, u"a\\b.txt", located, errorCode);
  return 0;
}
