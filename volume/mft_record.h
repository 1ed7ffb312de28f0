// One NTFS file record (1024 bytes): its name, whether its data is resident,
// its size and its extents.
//
// Record header            Attribute header
//   0x00 "FILE"              0x00 type (0x30 name, 0x80 data, 0x20 list)
//   0x04 update seq. offset  0x04 length (next attribute = offset + length)
//   0x12 hard link count     0x08 non-resident flag
//   0x14 first attribute     0x10 resident: value length   0x20 non-resident: run list offset
//   0x16 flags (1 in use,    0x14 resident: value offset    0x30 non-resident: real size
//        2 directory)
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "volume/raw_volume.h"

namespace corvanel {

inline constexpr std::size_t kMaxDataRuns = 10;

// One extent of non-resident data; startCluster 0 is a sparse extent.
struct DataRun {
  std::uint32_t startCluster = 0;
  std::uint32_t clusterCount = 0;

  friend bool operator==(const DataRun&, const DataRun&) = default;
};

struct MftRecord {
  std::u16string name;
  std::uint32_t isResident = 0;
  std::vector<std::uint8_t> residentData;  // the resident value (residentLength bytes)
  std::uint16_t residentLength = 0;       // resident data only
  std::uint32_t dataSize = 0;             // non-resident data only: low 32 bits of the real size
  std::array<std::uint32_t, kMaxDataRuns> runStart{};
  std::array<std::uint32_t, kMaxDataRuns> runLength{};
  // The whole run list (the ten slots above hold its first ten runs) and the
  // full size, so that nothing past them is silently lost.
  std::vector<DataRun> runs;
  std::uint64_t realSize = 0;

  std::uint64_t Size() const { return isResident ? residentLength : dataSize; }
};

using FileRecordView = std::span<const std::uint8_t, kFileRecordSize>;

// Walks the attributes of a record (already fixed up) and fills out with the
// first file name and the first data attribute after it. False when there is
// no name before the first data attribute, no data attribute, or the record is
// malformed; out may then hold part of what was read.
bool ParseFileRecord(FileRecordView record, MftRecord& out);

// Fills residence, size, resident bytes and runs of out from the attribute at
// attributeOffset. False when the attribute's value or run list does not lie
// inside the record.
bool ParseDataAttribute(FileRecordView record, std::uint16_t attributeOffset, MftRecord& out);

// Decodes a run list: every run, up to the end marker or the end of the bytes.
// Offsets of 1 to 4 bytes only; any other width reads as a sparse run.
std::vector<DataRun> DecodeDataRuns(std::span<const std::uint8_t> runList);

// The name of the file name attribute at attributeOffset. When the file has
// more than one link and that name is a short "~" name, the long name of a
// file name attribute right after it is taken instead.
std::u16string ReadFileName(FileRecordView record, std::uint16_t attributeOffset, bool singleLink);

// Puts back the last two bytes of both sectors from the update sequence array.
void FixUpRecordSector(std::span<std::uint8_t, kFileRecordSize> record);

}  // namespace corvanel
