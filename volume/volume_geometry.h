// What a volume's boot sector says: FAT32, NTFS or exFAT, the cluster size and
// where the file system's metadata starts. Every sector count here is in 512-byte
// units, whatever the volume's own sector size (bytesPerSector): a 4096-byte
// sector is eight of them, so the engines count in one unit throughout.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace corvanel {

enum FileSystem : std::uint32_t {
  kFileSystemNone = 0,
  kFileSystemFat32 = 1,
  kFileSystemNtfs = 2,
  kFileSystemExfat = 3,
};

struct VolumeGeometryFields {
  std::uint16_t sectorsPerCluster = 0;   // in 512-byte sectors
  std::uint32_t fatFirstDataSector = 0;  // FAT32 and exFAT: the sector of cluster 2
  std::uint32_t totalSectors = 0;        // NTFS: low 32 bits of the sector count
};

// Everything one boot sector yields.
struct BootSectorFacts {
  FileSystem kind = kFileSystemNone;
  VolumeGeometryFields geometry;
  std::uint16_t bytesPerSector = 0;
  std::uint64_t sectorCount = 0;    // the volume's sectors, all 64 bits of NTFS's count
  std::uint32_t volumeSectors = 0;  // low 32 bits of the volume's sector count
  std::uint32_t metadataStart = 0;  // FAT32, exFAT: root directory's first sector; NTFS: the MFT's
  std::uint32_t rootCluster = 0;    // FAT32 and exFAT
  std::uint32_t fatStart = 0;       // FAT32 and exFAT: the first sector of the first FAT
  std::uint32_t sectorsPerFat = 0;  // FAT32 and exFAT
  std::uint32_t clusterCount = 0;   // exFAT only: the cluster heap's clusters
  std::uint32_t volumeSerial = 0;   // exFAT only
  std::uint64_t mftCluster = 0;     // NTFS only
  std::uint32_t fileRecordBytes = 1024;  // NTFS only: 1024, or 4096 on most 4K-sector volumes
};

// The bytes of one cluster, computed here once for every engine (the
// sectors counted are 512-byte units); 0 for a boot sector that gives none.
inline std::uint64_t ClusterBytes(const BootSectorFacts& facts) {
  return std::uint64_t{facts.geometry.sectorsPerCluster} * 512;
}

// Parses a boot sector (FAT32 tested first: a sector with both marks is
// FAT32); nullopt when it is none of the three, or too damaged to use (no
// cluster size; an exFAT sector whose geometry does not hold, or whose
// clusters count more 512-byte sectors than 16 bits hold).
std::optional<BootSectorFacts> ParseBootSector(std::span<const std::uint8_t> sector);

// Why a volume that ParseBootSector recognised cannot be read here, or 0:
// 21 when its sector size is none the formats allow (512, 1024, 2048 or 4096
// bytes), 22 when it has more 512-byte units than 32 bits can number (sector
// numbers would wrap).
std::int32_t UnsupportedVolume(const BootSectorFacts& facts);

// Reads sector 0 of a volume and returns its facts; callers keep them with
// their results. An exFAT volume whose sector 0 is damaged is read from its
// backup boot sector (sector 12); its engines check the boot region's sum. A failed read gives the code of the read (1 or 4), an
// unrecognised volume 11, an unsupported one the code of UnsupportedVolume
// (with the sector size in PromptDetail for 21).
std::optional<BootSectorFacts> ReadBootSector(char driveLetter, std::int32_t& errorCode);

}  // namespace corvanel
