// FAT32 on-disk layout: the 32-byte directory entry and long-name slot, their
// attribute bits and marks, the FAT's entries, and the arithmetic from
// clusters to sectors. The scan, the locate, the allocation map and the
// shred read FAT32 through these names.
//
// Short entry                           Long-name slot
//   0x00 8.3 name (0xE5 first: deleted,   0x00 order (0x40: the last part; 0xE5 deleted)
//        0x00 first: the folder ends)     0x01 5 UTF-16 units
//   0x08 extension                        0x0B attribute 0x0F
//   0x0B attribute bits                   0x0D checksum of the short name
//   0x0C case flags (Windows NT)          0x0E 6 UTF-16 units
//   0x0D-0x11 created, 0x12 accessed date
//   0x16 modified time, 0x18 its date
//   0x14 first cluster, high 16 bits      0x1C 2 UTF-16 units
//   0x1A first cluster, low 16 bits
//   0x1C size
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/byte_reader.h"
#include "volume/raw_volume.h"
#include "volume/volume_geometry.h"

namespace corvanel::fat {

inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kEntriesPerSector = kSectorSize / kEntrySize;
inline constexpr std::size_t kAttributes = 0x0B;
inline constexpr std::size_t kCaseFlags = 0x0C;  // which parts of the 8.3 name are lower case
inline constexpr std::size_t kCreatedHundredths = 0x0D;  // 0..199: hundredths of the two seconds
inline constexpr std::size_t kCreatedTime = 0x0E;
inline constexpr std::size_t kCreatedDate = 0x10;
inline constexpr std::size_t kAccessedDate = 0x12;
inline constexpr std::size_t kModifiedTime = 0x16;
inline constexpr std::size_t kModifiedDate = 0x18;
inline constexpr std::size_t kClusterHigh = 0x14;
inline constexpr std::size_t kClusterLow = 0x1A;
inline constexpr std::size_t kFileSize = 0x1C;
inline constexpr std::size_t kSlotChecksum = 0x0D;  // in a long-name slot
// Where a long-name slot carries its 13 UTF-16 units, in name order.
inline constexpr std::size_t kSlotUnitOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
inline constexpr std::uint8_t kLastSlotMark = 0x40;  // in the order byte of a name's last part
inline constexpr std::uint8_t kMaxSlotOrder = 20;    // parts of a 255-unit name

inline constexpr std::uint8_t kDeletedMark = 0xE5;
inline constexpr std::uint8_t kEndOfDirectory = 0x00;  // a first byte that ends a folder
inline constexpr std::uint8_t kAttributeVolumeLabel = 0x08;
inline constexpr std::uint8_t kAttributeLongName = 0x0F;  // read-only, hidden, system and label at once
inline constexpr std::uint8_t kAttributeDirectory = 0x10;
inline constexpr std::uint8_t kLastAttribute = 0x3F;  // no entry FAT writes has bits above
inline constexpr std::uint8_t kLowerCaseBase = 0x08;
inline constexpr std::uint8_t kLowerCaseExtension = 0x10;

// FAT entries: 28 bits of 32.
inline constexpr std::uint32_t kFatEntryMask = 0x0FFFFFFF;
inline constexpr std::uint32_t kBadCluster = 0x0FFFFFF7;
inline constexpr std::uint32_t kFirstEndOfChain = 0x0FFFFFF8;

inline std::uint32_t FirstCluster(std::span<const std::uint8_t, kEntrySize> entry) {
  ByteReader bytes(entry);
  return std::uint32_t{*bytes.U16(kClusterHigh)} << 16 | *bytes.U16(kClusterLow);
}

// Where the first FAT holds a cluster's entry: its sector on the volume and
// the byte within; nothing past the FAT.
struct FatLinkPlace {
  std::uint64_t sector;
  std::size_t offset;
};
inline std::optional<FatLinkPlace> FatLinkPlaceOf(const BootSectorFacts& facts, std::uint32_t cluster) {
  const std::uint64_t byte = std::uint64_t{cluster} * 4;
  if (byte / kSectorSize >= facts.sectorsPerFat) return std::nullopt;
  return FatLinkPlace{facts.fatStart + byte / kSectorSize, static_cast<std::size_t>(byte % kSectorSize)};
}

// The number forensic tools (The Sleuth Kit's fls and istat) give the entry
// at a sector's index: entries counted from the data area's first sector,
// after three numbers of their own (root, FATs).
inline std::uint64_t EntryNumber(const BootSectorFacts& facts, std::uint64_t sector, std::uint16_t index) {
  return (sector - facts.geometry.fatFirstDataSector) * kEntriesPerSector + index + 3;
}

}  // namespace corvanel::fat
