// exFAT on-disk layout: the boot sector's fields, the 32-byte directory
// entries of a file's entry set, the FAT's marks, and the rotate-add sums that
// guard the boot region, entry sets, names and the up-case table. The reading
// layer (exfat_directory) and, later, the scan, recovery and shred read exFAT
// through these names.
//
// Boot sector                           File entry (0x85)         Stream extension (0xC0)
//   0x03 "EXFAT   "                       0x01 secondary count      0x01 flags (1 allocation possible,
//   0x0B..0x3F zero                       0x02 set checksum               2 no FAT chain)
//   0x48 volume length (sectors)          0x04 attributes           0x03 name length (units)
//   0x50 FAT offset, 0x54 its length      0x08 created              0x04 name hash
//   0x58 cluster heap offset              0x0C modified             0x08 valid data length
//   0x5C cluster count                    0x10 accessed             0x14 first cluster
//   0x60 root directory's first cluster   0x14 created 10 ms        0x18 data length
//   0x64 volume serial                    0x15 modified 10 ms
//   0x6A volume flags (not summed)        0x16..0x18 UTC offsets    File name (0xC1)
//   0x6C bytes per sector (shift)                                     0x02 15 UTF-16 units
//   0x6D sectors per cluster (shift)
//   0x6E number of FATs
//   0x70 percent in use (not summed)
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace corvanel::exfat {

// ---- the boot region: sectors 0..11, its backup at 12..23 ----
inline constexpr std::size_t kFileSystemName = 0x03;
inline constexpr std::string_view kSignature = "EXFAT   ";
inline constexpr std::size_t kMustBeZero = 0x0B;  // up to 0x40: where FAT keeps its BIOS parameters
inline constexpr std::size_t kMustBeZeroEnd = 0x40;
inline constexpr std::size_t kVolumeLength = 0x48;
inline constexpr std::size_t kFatOffset = 0x50;
inline constexpr std::size_t kFatLength = 0x54;
inline constexpr std::size_t kClusterHeapOffset = 0x58;
inline constexpr std::size_t kClusterCount = 0x5C;
inline constexpr std::size_t kRootCluster = 0x60;
inline constexpr std::size_t kVolumeSerial = 0x64;
inline constexpr std::size_t kRevision = 0x68;
inline constexpr std::size_t kVolumeFlags = 0x6A;  // changes while mounted: left out of the sum
inline constexpr std::size_t kBytesPerSectorShift = 0x6C;
inline constexpr std::size_t kSectorsPerClusterShift = 0x6D;
inline constexpr std::size_t kNumberOfFats = 0x6E;
inline constexpr std::size_t kPercentInUse = 0x70;  // likewise
inline constexpr std::size_t kBootSignature = 0x1FE;  // 0x55 0xAA
inline constexpr unsigned kMinBytesPerSectorShift = 9;   // 512
inline constexpr unsigned kMaxBytesPerSectorShift = 12;  // 4096
inline constexpr unsigned kMaxClusterShift = 25;         // 32 MiB clusters at most
inline constexpr std::uint64_t kBootRegionSectors = 12;  // 11 summed, the 12th holds the sum
inline constexpr std::uint64_t kChecksumSector = 11;
inline constexpr std::uint64_t kBackupBootRegion = 12;
inline constexpr std::uint64_t kFirstFatSector = 24;  // the FAT lies past both boot regions

// ---- the FAT ----
inline constexpr std::uint32_t kFirstCluster = 2;
inline constexpr std::uint32_t kBadCluster = 0xFFFFFFF7;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFF;
inline constexpr std::uint32_t kMaxClusterCount = 0xFFFFFFF5;

// ---- directory entries ----
inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::uint8_t kInUse = 0x80;         // cleared in every entry of a deleted set
inline constexpr std::uint8_t kSecondaryBit = 0x40;  // a secondary entry of a set
inline constexpr std::uint8_t kEndOfDirectory = 0x00;
inline constexpr std::uint8_t kTypeBitmap = 0x81;
inline constexpr std::uint8_t kTypeUpcase = 0x82;
inline constexpr std::uint8_t kTypeFile = 0x85;
inline constexpr std::uint8_t kTypeStream = 0xC0;
inline constexpr std::uint8_t kTypeName = 0xC1;

// File entry
inline constexpr std::size_t kSecondaryCount = 0x01;
inline constexpr std::size_t kSetChecksum = 0x02;
inline constexpr std::size_t kAttributes = 0x04;
inline constexpr std::size_t kCreated = 0x08;
inline constexpr std::size_t kModified = 0x0C;
inline constexpr std::size_t kAccessed = 0x10;
inline constexpr std::size_t kCreated10ms = 0x14;
inline constexpr std::size_t kModified10ms = 0x15;
inline constexpr std::size_t kCreatedUtcOffset = 0x16;
inline constexpr std::size_t kModifiedUtcOffset = 0x17;
inline constexpr std::size_t kAccessedUtcOffset = 0x18;
inline constexpr std::uint8_t kMinSecondaryCount = 2;   // a stream and one name entry
inline constexpr std::uint16_t kAttributeDirectory = 0x10;
inline constexpr std::uint8_t kUtcOffsetValid = 0x80;  // the low 7 bits: a signed count of 15 minutes

// Stream extension
inline constexpr std::size_t kStreamFlags = 0x01;
inline constexpr std::size_t kNameLength = 0x03;
inline constexpr std::size_t kNameHash = 0x04;
inline constexpr std::size_t kValidDataLength = 0x08;
inline constexpr std::size_t kFirstClusterField = 0x14;  // also in the bitmap and up-case entries
inline constexpr std::size_t kDataLength = 0x18;         // likewise
inline constexpr std::uint8_t kAllocationPossible = 0x01;
inline constexpr std::uint8_t kNoFatChain = 0x02;

// File name entry
inline constexpr std::size_t kNameUnits = 0x02;
inline constexpr std::size_t kUnitsPerNameEntry = 15;
inline constexpr std::size_t kMaxNameLength = 255;

// Bitmap and up-case entries
inline constexpr std::size_t kBitmapFlags = 0x01;  // bit 0: which FAT the bitmap serves
inline constexpr std::size_t kUpcaseChecksum = 0x04;

inline constexpr std::uint64_t kMaxDirectoryBytes = 256ull << 20;  // no directory is larger

// The rotate-right-and-add sums: one step of each.
constexpr std::uint32_t Sum32(std::uint32_t sum, std::uint8_t byte) {
  return ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + byte;
}
constexpr std::uint16_t Sum16(std::uint16_t sum, std::uint8_t byte) {
  return static_cast<std::uint16_t>(((sum & 1) ? 0x8000u : 0) + (sum >> 1) + byte);
}

// The sum over the first eleven sectors of a boot region (the bytes that
// change while mounted left out), which the twelfth repeats.
constexpr std::uint32_t BootRegionChecksum(std::span<const std::uint8_t> elevenSectors) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < elevenSectors.size(); ++i)
    if (i != kVolumeFlags && i != kVolumeFlags + 1 && i != kPercentInUse) sum = Sum32(sum, elevenSectors[i]);
  return sum;
}

// The sum over an entry set's entries as written while the set was in use
// (a deleted set's cleared in-use bits are put back), its own field left out.
constexpr std::uint16_t EntrySetChecksum(std::span<const std::uint8_t> entries) {
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i == kSetChecksum || i == kSetChecksum + 1) continue;
    const std::uint8_t byte = i % kEntrySize == 0 ? static_cast<std::uint8_t>(entries[i] | kInUse) : entries[i];
    sum = Sum16(sum, byte);
  }
  return sum;
}

// A cluster's sector relative to the cluster heap's start.
constexpr std::uint64_t ClusterIndex(std::uint32_t cluster) { return std::uint64_t{cluster} - kFirstCluster; }

}  // namespace corvanel::exfat
