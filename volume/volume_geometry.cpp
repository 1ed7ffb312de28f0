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

constexpr std::size_t kNtfsClustersPerRecord = 0x40;
constexpr std::uint32_t kLargestClusterUnits = 32768;  // 16 MiB in 512-byte units

// NTFS writes cluster sizes above 128 sectors as a negative power of two: a
// byte v above 0x80 means 2^(256 - v) sectors; 0x80 itself is 128 sectors.
std::uint16_t NtfsSectorsPerCluster(std::uint8_t value) {
  if (value <= 0x80) return value;
  unsigned shift = 256u - value;
  if (shift > 15) return 0;  // beyond what 16 bits count: corrupt
  return static_cast<std::uint16_t>(1u << shift);
}

// The file record size: clusters per record, or below zero 2^-v bytes. Only
// the sizes NTFS writes (1024 to 4096) are taken; a damaged field falls back
// to 1024.
std::uint32_t NtfsFileRecordBytes(std::uint8_t value, std::uint64_t clusterBytes) {
  const std::uint64_t bytes = value >= 0x80 ? (256u - value < 32 ? std::uint64_t{1} << (256u - value) : 0)
                                            : value * clusterBytes;
  if (bytes < 1024 || bytes > 4096 || (bytes & (bytes - 1)) != 0) return 1024;
  return static_cast<std::uint32_t>(bytes);
}

bool SectorSizeAllowed(std::uint32_t bytes) { return bytes >= 512 && bytes <= 4096 && (bytes & (bytes - 1)) == 0; }

// The boot sector's counts in 512-byte units (a 4096-byte sector is eight).
// A sector size the formats do not allow is left for UnsupportedVolume to
// refuse; counts that grow past 32 bits make the volume one too large.
std::optional<BootSectorFacts> InUnits(BootSectorFacts facts) {
  const std::uint32_t unit = facts.bytesPerSector / kSectorSize;
  if (!SectorSizeAllowed(facts.bytesPerSector) || unit == 1) return facts;
  if (std::uint32_t{facts.geometry.sectorsPerCluster} * unit > kLargestClusterUnits) return std::nullopt;
  facts.geometry.sectorsPerCluster = static_cast<std::uint16_t>(facts.geometry.sectorsPerCluster * unit);
  bool wraps = facts.sectorCount > UINT64_MAX / unit;
  facts.sectorCount = wraps ? UINT64_MAX : facts.sectorCount * unit;
  for (std::uint32_t* count : {&facts.geometry.fatFirstDataSector, &facts.geometry.totalSectors, &facts.volumeSectors,
                               &facts.metadataStart, &facts.fatStart, &facts.sectorsPerFat}) {
    wraps |= *count > UINT32_MAX / unit;
    *count *= unit;
  }
  if (wraps) facts.sectorCount = UINT64_MAX;
  return facts;
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
    return InUnits(facts);
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
    facts.fileRecordBytes =
        NtfsFileRecordBytes(*boot.U8(kNtfsClustersPerRecord), std::uint64_t{sectorsPerCluster} * facts.bytesPerSector);
    return InUnits(facts);
  }
  ExfatBootProblem problem = ExfatBootProblem::kNone;
  if (std::optional<ExfatFacts> exfat = ParseExfatBootSector(sector, problem)) {
    // Counted in the volume's own sectors here, then in 512-byte units as
    // FAT32's and NTFS's are.
    const std::uint64_t sectorsPerCluster =
        exfat->bytesPerSector == 0 ? 0 : exfat->ClusterBytes() / exfat->bytesPerSector;
    if (sectorsPerCluster == 0 || sectorsPerCluster > UINT16_MAX) return std::nullopt;
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
    if (facts.bytesPerSector < kSectorSize) return std::nullopt;
    return InUnits(facts);
  }
  return std::nullopt;
}

std::int32_t UnsupportedVolume(const BootSectorFacts& facts) {
  if (!SectorSizeAllowed(facts.bytesPerSector)) return error_code::kUnsupportedSectorSize;
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
