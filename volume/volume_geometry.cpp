// Boot sector parsing for FAT32, NTFS and exFAT.
#include "volume/volume_geometry.h"

#include <array>
#include <string>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "base/byte_reader.h"
#include "platform/text_encoding.h"
#include "volume/exfat_directory.h"
#include "volume/exfat_layout.h"
#include "volume/raw_volume.h"

namespace corvanel {

namespace {

// Boot sector fields (FAT32 BPB and NTFS BPB).
constexpr std::size_t kOemId = 0x03;                // "NTFS    "
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kReservedSectors = 0x0E;     // FAT32
constexpr std::size_t kNumberOfFats = 0x10;        // FAT32
constexpr std::size_t kFat32TotalSectors = 0x20;
constexpr std::size_t kFat32SectorsPerFat = 0x24;
constexpr std::size_t kNtfsTotalSectors = 0x28;
constexpr std::size_t kFat32RootCluster = 0x2C;
constexpr std::size_t kNtfsMftCluster = 0x30;
constexpr std::size_t kFat32FileSystemType = 0x52;  // "FAT32   "

// NTFS writes cluster sizes above 128 sectors as a negative power of two: a
// byte v above 0x80 means 2^(256 - v) bytes; 0x80 itself is 128 sectors.
std::uint16_t NtfsSectorsPerCluster(std::uint8_t value) {
  if (value <= 0x80) return value;
  unsigned shift = 256u - value;
  if (shift < 9 || shift > 24) return 0;  // below one sector or beyond 16 MiB: corrupt
  return static_cast<std::uint16_t>(1u << (shift - 9));
}

}  // namespace

std::optional<BootSectorFacts> ParseBootSector(std::span<const std::uint8_t> sector) {
  ByteReader boot(sector);
  if (!boot.Has(0, kSectorSize)) return std::nullopt;
  BootSectorFacts facts;
  if (boot.Matches(kFat32FileSystemType, "FAT32")) {
    std::uint8_t sectorsPerCluster = *boot.U8(kSectorsPerCluster);
    if (sectorsPerCluster == 0) return std::nullopt;
    facts.kind = kFileSystemFat32;
    facts.bytesPerSector = *boot.U16(kBytesPerSector);
    facts.sectorCount = *boot.U32(kFat32TotalSectors);
    facts.geometry.sectorsPerCluster = sectorsPerCluster;
    facts.geometry.fatFirstDataSector =
        *boot.U16(kReservedSectors) + std::uint32_t{*boot.U8(kNumberOfFats)} * *boot.U32(kFat32SectorsPerFat);
    facts.volumeSectors = *boot.U32(kFat32TotalSectors);
    facts.rootCluster = *boot.U32(kFat32RootCluster);
    facts.fatStart = *boot.U16(kReservedSectors);
    facts.sectorsPerFat = *boot.U32(kFat32SectorsPerFat);
    facts.metadataStart = (facts.rootCluster - 2) * sectorsPerCluster + facts.geometry.fatFirstDataSector;
    return facts;
  }
  if (boot.Matches(kOemId, "NTFS")) {
    std::uint16_t sectorsPerCluster = NtfsSectorsPerCluster(*boot.U8(kSectorsPerCluster));
    if (sectorsPerCluster == 0) return std::nullopt;
    facts.kind = kFileSystemNtfs;
    facts.bytesPerSector = *boot.U16(kBytesPerSector);
    facts.sectorCount = *boot.U64(kNtfsTotalSectors);
    facts.geometry.sectorsPerCluster = sectorsPerCluster;
    facts.geometry.totalSectors = static_cast<std::uint32_t>(facts.sectorCount);
    facts.volumeSectors = facts.geometry.totalSectors;
    facts.mftCluster = *boot.U64(kNtfsMftCluster);
    facts.metadataStart = static_cast<std::uint32_t>(facts.mftCluster * sectorsPerCluster);
    return facts;
  }
  ExfatBootProblem problem = ExfatBootProblem::kNone;
  if (std::optional<ExfatFacts> exfat = ParseExfatBootSector(sector, problem)) {
    const std::uint64_t sectorsPerCluster = exfat->ClusterBytes() / kSectorSize;
    if (sectorsPerCluster == 0 || sectorsPerCluster > UINT16_MAX) return std::nullopt;
    // Sector numbers below count the volume's own sectors as 512 bytes: a
    // volume of larger sectors is refused by UnsupportedVolume before use.
    facts.kind = kFileSystemExfat;
    facts.bytesPerSector = static_cast<std::uint16_t>(exfat->bytesPerSector);
    facts.sectorCount = exfat->volumeSectors;
    facts.volumeSectors = static_cast<std::uint32_t>(exfat->volumeSectors);
    facts.geometry.sectorsPerCluster = static_cast<std::uint16_t>(sectorsPerCluster);
    facts.geometry.fatFirstDataSector = exfat->clusterHeapOffset;
    facts.rootCluster = exfat->rootCluster;
    facts.fatStart = exfat->fatOffset;
    facts.sectorsPerFat = exfat->fatLength;
    facts.clusterCount = exfat->clusterCount;
    facts.volumeSerial = exfat->volumeSerial;
    facts.metadataStart = static_cast<std::uint32_t>(
        exfat->clusterHeapOffset + exfat::ClusterIndex(exfat->rootCluster) * sectorsPerCluster);
    return facts;
  }
  return std::nullopt;
}

std::int32_t UnsupportedVolume(const BootSectorFacts& facts) {
  if (facts.bytesPerSector != kSectorSize) return error_code::kUnsupportedSectorSize;
  // The count itself is kept in 32 bits, and so is the MFT's first sector.
  if (facts.sectorCount > UINT32_MAX) return error_code::kVolumeTooLarge;
  if (facts.kind == kFileSystemNtfs && facts.mftCluster > UINT32_MAX / facts.geometry.sectorsPerCluster)
    return error_code::kVolumeTooLarge;
  return error_code::kNone;
}

std::optional<BootSectorFacts> ReadBootSector(char driveLetter, std::int32_t& errorCode) {
  std::array<std::uint8_t, kSectorSize> sector{};
  if (!RawVolume::ReadSectors(0, driveLetter, 1, sector, errorCode)) return std::nullopt;
  std::optional<BootSectorFacts> facts = ParseBootSector(sector);
  if (!facts && RawVolume::ReadSectors(exfat::kBackupBootRegion, driveLetter, 1, sector, errorCode)) {
    facts = ParseBootSector(sector);
    if (facts && facts->kind != kFileSystemExfat) facts.reset();
  }
  if (!facts) {
    errorCode = error_code::kUnrecognizedFileSystem;
    return std::nullopt;
  }
  if (std::int32_t refusal = UnsupportedVolume(*facts)) {
    if (refusal == error_code::kUnsupportedSectorSize)
      PromptDetail.Set(platform::Utf8ToUtf16(std::to_string(facts->bytesPerSector)));
    errorCode = refusal;
    return std::nullopt;
  }
  return facts;
}

}  // namespace corvanel
