// One NTFS file record (1024 or 4096 bytes): its name, whether its data is resident,
// its size and its extents. The layout itself is in volume/ntfs_layout.h.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "volume/file_times.h"
#include "volume/ntfs_layout.h"
#include "volume/raw_volume.h"

namespace corvanel {

struct MftRecord {
  std::u16string name;
  std::u16string path;  // the folder it lay in, from its parent references ("" for the root)
  std::uint32_t isResident = 0;
  std::vector<std::uint8_t> residentData;  // the resident value (residentLength bytes)
  std::uint16_t residentLength = 0;       // resident data only
  // The whole run list (sparse extents included) and the full size.
  std::vector<DataRun> runs;
  std::uint64_t realSize = 0;
  // Non-resident data: the bytes ever written; past them the file reads as
  // zeros, whatever its clusters hold. None given: all of it.
  std::uint64_t initializedSize = UINT64_MAX;
  bool runsComplete = true;          // false: the run list broke off, or maps other VCNs than its header says (damaged)
  std::uint8_t compressionUnit = 0;  // compressed data: log2 of the clusters per unit; 0 when not compressed
  std::uint64_t parentReference = 0;  // of the file name taken
  // An attribute list: the file's attributes lie in other records too. Its
  // value, or (non-resident) its extents and size.
  bool hasAttributeList = false;
  std::vector<std::uint8_t> attributeList;
  std::vector<DataRun> attributeListRuns;
  std::uint64_t attributeListSize = 0;
  bool dataInBase = false;           // the first piece of the data lies in this record
  bool extensionsMissing = false;    // pieces of the data lie in records reused since, or unreadable
  std::uint64_t recordNumber = 0;
  FileTimes times{};  // from $STANDARD_INFORMATION (UTC)

  std::uint64_t Size() const { return isResident ? residentLength : realSize; }
};

using FileRecordView = std::span<const std::uint8_t>;

// What a parse takes of resident data: its bytes, or only its length (a
// listing, which reads the bytes again when the file is recovered).
enum class ResidentBytes { Copied, Skipped };

// Walks the attributes of a record (already fixed up) and fills out with the
// first file name and the first data attribute after it. False when there is
// no name before the first data attribute, no data attribute (and no
// attribute list that may lead to one), or the record is malformed; out may
// then hold part of what was read.
bool ParseFileRecord(FileRecordView record, MftRecord& out, ResidentBytes bytes = ResidentBytes::Copied);

// Fills residence, size, resident bytes and runs of out from the attribute at
// attributeOffset. False when the attribute's value or run list does not lie
// inside the record.
bool ParseDataAttribute(FileRecordView record, std::uint16_t attributeOffset, MftRecord& out,
                        ResidentBytes bytes = ResidentBytes::Copied);

// The runs of a run list (DecodeRunList), as far as they can be read.
std::vector<DataRun> DecodeDataRuns(std::span<const std::uint8_t> runList);

// The name of the file name attribute at attributeOffset. When the file has
// more than one link and that name is a short "~" name, the long name of a
// file name attribute right after it is taken instead.
std::u16string ReadFileName(FileRecordView record, std::uint16_t attributeOffset, bool singleLink);

// Puts back the last two bytes of each 512 bytes of the record from the
// update sequence array (ApplyFixUp).
FixUpResult FixUpRecordSector(std::span<std::uint8_t> record);

}  // namespace corvanel
