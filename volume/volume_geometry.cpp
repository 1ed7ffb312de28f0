// Boot sector parsing for FAT32 and NTFS.
#include "volume/volume_geometry.h"

#include <array>

#include "app/message_catalogue.h"
#include "volume/byte_reader.h"
#include "volume/raw_volume.h"

namespace corvanel {

std::atomic<std::uint32_t> FileSystemKind{kFileSystemNone};
VolumeGeometryFields VolumeGeometry;

namespace {

// Boot sector fields (FAT32 BPB and NTFS BPB).
constexpr std::size_t kOemId = 0x03;                // "NTFS    "
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kReservedSectors = 0x0E;     // FAT32
constexpr std::size_t kNumberOfFats = 0x10;        // FAT32
constexpr std::size_t kFat32TotalSectors = 0x20;
constexpr std::size_t kFat32SectorsPerFat = 0x24;
constexpr std::size_t kNtfsTotalSectors = 0x28;
constexpr std::size_t kFat32RootCluster = 0x2C;
constexpr std::size_t kNtfsMftCluster = 0x30;
constexpr std::size_t kFat32FileSystemType = 0x52;  // "FAT32   "

// NTFS writes cluster sizes of 128 KiB and more as a negative power of two:
// a byte v of 0xF4 and up means 2^(256 - v) bytes.
std::uint16_t NtfsSectorsPerCluster(std::uint8_t value) {
  if (value < 0x80) return value;
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
    facts.geometry.sectorsPerCluster = sectorsPerCluster;
    facts.geometry.totalSectors = static_cast<std::uint32_t>(*boot.U64(kNtfsTotalSectors));
    facts.volumeSectors = facts.geometry.totalSectors;
    facts.mftCluster = *boot.U64(kNtfsMftCluster);
    facts.metadataStart = static_cast<std::uint32_t>(facts.mftCluster * sectorsPerCluster);
    return facts;
  }
  return std::nullopt;
}

std::optional<BootSectorFacts> ReadBootSector(char driveLetter, std::int32_t& errorCode) {
  std::array<std::uint8_t, kSectorSize> sector{};
  if (!RawVolume::ReadSectors(0, driveLetter, 1, sector, errorCode)) return std::nullopt;
  std::optional<BootSectorFacts> facts = ParseBootSector(sector);
  if (!facts) {
    FileSystemKind = kFileSystemNone;
    errorCode = error_code::kUnrecognizedFileSystem;
    return std::nullopt;
  }
  FileSystemKind = facts->kind;
  VolumeGeometry = facts->geometry;
  return facts;
}

bool ReadVolumeGeometry(char driveLetter, std::int32_t& errorCode, std::uint32_t& volumeSectors,
                        std::uint32_t& metadataStart) {
  std::optional<BootSectorFacts> facts = ReadBootSector(driveLetter, errorCode);
  if (!facts) return false;
  volumeSectors = facts->volumeSectors;
  metadataStart = facts->metadataStart;
  return true;
}

}  // namespace corvanel
