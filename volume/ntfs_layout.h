// NTFS on-disk layout: every offset of the file record, attribute, file name,
// index and attribute-list structures, the fix-up of records and index
// blocks, the attribute walk, the run-list decoder and LZNT1. The scan, the
// locate, the allocation map, the recovery and the shred read NTFS only
// through this module.
//
// File record header               Attribute header
//   0x00 "FILE"                      0x00 type           0x04 length
//   0x04 update sequence offset      0x08 non-resident   0x09 name length
//   0x06 update sequence count       0x0A name offset    0x0E attribute id
//   0x10 sequence number             resident:     0x10 value length, 0x14 value offset
//   0x12 hard link count             non-resident: 0x10 first VCN, 0x18 last VCN,
//   0x14 first attribute               0x20 run list offset, 0x22 compression unit (log2 clusters),
//   0x16 flags (1 in use, 2 folder)    0x28 allocated size, 0x30 real size,
//                                      0x38 initialized size
//   0x20 base record reference
//
// Index entry (in an index root or an "INDX" block)
//   0x00 file reference (48-bit record number, 16-bit sequence number)
//   0x08 entry length        0x0C flags (1 sub-node, 2 last entry)
//   0x10 parent reference    0x50 name length   0x52 name, UTF-16LE
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "volume/volume_geometry.h"

namespace corvanel {

namespace ntfs {

// File record header
inline constexpr std::size_t kUpdateSequenceOffset = 0x04;
inline constexpr std::size_t kUpdateSequenceCount = 0x06;
inline constexpr std::size_t kRecordSequence = 0x10;
inline constexpr std::size_t kHardLinkCount = 0x12;
inline constexpr std::size_t kFirstAttribute = 0x14;
inline constexpr std::size_t kRecordFlags = 0x16;
inline constexpr std::size_t kBaseRecord = 0x20;
inline constexpr std::size_t kNeverWrittenMark = 0x39;  // 0xFF 0xFF here: a record slot never formatted
inline constexpr std::uint8_t kRecordInUse = 0x01;
inline constexpr std::uint8_t kRecordIsDirectory = 0x02;

// Attribute header
inline constexpr std::size_t kAttributeType = 0x00;
inline constexpr std::size_t kAttributeLength = 0x04;
inline constexpr std::size_t kNonResident = 0x08;
inline constexpr std::size_t kAttributeNameLength = 0x09;
inline constexpr std::size_t kAttributeNameOffset = 0x0A;
inline constexpr std::size_t kAttributeId = 0x0E;
inline constexpr std::size_t kValueLength = 0x10;
inline constexpr std::size_t kValueOffset = 0x14;
inline constexpr std::size_t kFirstVcn = 0x10;
inline constexpr std::size_t kLastVcn = 0x18;
inline constexpr std::size_t kRunListOffset = 0x20;
inline constexpr std::size_t kCompressionUnit = 0x22;
inline constexpr std::size_t kRealSize = 0x30;
inline constexpr std::size_t kInitializedSize = 0x38;
inline constexpr std::size_t kSmallestAttribute = 0x18;

inline constexpr std::uint32_t kTypeStandardInformation = 0x10;
inline constexpr std::uint32_t kTypeAttributeList = 0x20;
inline constexpr std::uint32_t kTypeFileName = 0x30;
inline constexpr std::uint32_t kTypeData = 0x80;
inline constexpr std::uint32_t kTypeIndexRoot = 0x90;
inline constexpr std::uint32_t kTypeIndexAllocation = 0xA0;
inline constexpr std::uint32_t kEndOfAttributes = 0xFFFFFFFF;

// Standard information value: the file's times (FILETIME: 100 ns since 1601, UTC)
inline constexpr std::size_t kTimeCreated = 0x00;
inline constexpr std::size_t kTimeModified = 0x08;
inline constexpr std::size_t kTimeRecordChanged = 0x10;
inline constexpr std::size_t kTimeAccessed = 0x18;

// File name value
inline constexpr std::size_t kNameParent = 0x00;
inline constexpr std::size_t kNameLength = 0x40;
inline constexpr std::size_t kNameNamespace = 0x41;
inline constexpr std::size_t kName = 0x42;
inline constexpr std::uint8_t kDosNamespace = 2;  // the 8.3 alias of a long name, not a link of its own

// Index root value, the node header inside it (and inside index blocks), index entries
inline constexpr std::size_t kRootBlockSize = 0x08;
inline constexpr std::size_t kRootNodeHeader = 0x10;
inline constexpr std::size_t kBlockNodeHeader = 0x18;
inline constexpr std::size_t kNodeEntriesOffset = 0x00;
inline constexpr std::size_t kNodeEntriesEnd = 0x04;
inline constexpr std::size_t kEntryReference = 0x00;
inline constexpr std::size_t kEntryLength = 0x08;
inline constexpr std::size_t kEntryFlags = 0x0C;
inline constexpr std::size_t kEntryNameLength = 0x50;
inline constexpr std::size_t kEntryName = 0x52;
inline constexpr std::uint32_t kLastEntry = 0x02;
inline constexpr std::size_t kSmallestEntry = 0x10;

inline constexpr std::uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;  // a file reference's low 48 bits
inline constexpr std::uint64_t kRootDirectoryRecord = 5;
inline constexpr std::uint32_t kBitmapRecord = 6;  // $Bitmap; the first sixteen records lie at the MFT's start

inline std::uint64_t RecordNumberOf(std::uint64_t reference) { return reference & kRecordNumberMask; }
inline std::uint16_t SequenceOf(std::uint64_t reference) { return static_cast<std::uint16_t>(reference >> 48); }

// Whether a record whose sequence number is now can still be the file that
// had was: the same, or the one more that freeing the record gives it.
inline bool SequenceFollows(std::uint16_t now, std::uint16_t was) {
  const auto next = static_cast<std::uint16_t>(was + 1 == 0 ? 1 : was + 1);
  return now == was || now == next;
}

}  // namespace ntfs

// One extent of non-resident data, in clusters: sparse extents have no
// clusters on the volume and read as zeros.
struct DataRun {
  std::uint64_t startCluster = 0;
  std::uint64_t clusterCount = 0;
  bool sparse = false;

  friend bool operator==(const DataRun&, const DataRun&) = default;
};

// A decoded run list: the extents up to the end marker, or up to the first
// run that cannot be read (then complete is false and the rest is unknown).
struct RunList {
  std::vector<DataRun> runs;
  bool complete = true;
};

// Decodes a run list. Lengths and offsets are 1 to 8 bytes; offsets are
// signed and relative to the previous extent's start; a run without an
// offset is sparse. A zero length, a field wider than 8 bytes, a start below
// cluster 0 or past 2^63, or a list cut off by the end of the bytes ends it as
// incomplete.
RunList DecodeRunList(std::span<const std::uint8_t> bytes);

// What the update sequence fix-up found.
enum class FixUpResult { Fixed, Torn, Malformed };

// Fixes up a record or an index block in place: checks that each 512-byte
// sector ends with the update sequence number and puts back the saved bytes.
// Torn: a sector did not end with the number (it was written apart from the
// others); its bytes are put back all the same. Malformed: the array does not
// fit, or its count is not one more than the sectors; nothing is changed.
FixUpResult ApplyFixUp(std::span<std::uint8_t> block);

// One attribute of a record, where it lies.
struct AttributeView {
  std::uint32_t type = 0;
  std::size_t offset = 0;               // in the record
  std::span<const std::uint8_t> bytes;  // the whole attribute

  bool NonResident() const { return bytes.size() > ntfs::kNonResident && bytes[ntfs::kNonResident] != 0; }
  std::u16string Name() const;
  std::uint16_t Id() const;
  // The resident value, when it lies inside the attribute.
  std::optional<std::span<const std::uint8_t>> ResidentValue() const;
};

// Calls visit(const AttributeView&) for each attribute of a fixed-up record
// while its header and length stay inside the record; visit returns false to
// stop. Returns false when the walk ended at a damaged header rather than at
// the end marker or on visit's word.
template <typename Visit>
bool ForEachAttribute(std::span<const std::uint8_t> record, Visit visit);

// A UTF-16LE name of `length` units at offset, or nullopt when it does not fit.
std::optional<std::u16string> ReadUtf16(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t length);

// What a file name attribute's value holds.
struct FileNameValue {
  std::uint64_t parent = 0;  // the parent folder's file reference
  std::uint8_t nameSpace = 0;
  std::u16string name;
};
std::optional<FileNameValue> ReadFileNameValue(std::span<const std::uint8_t> value);

// One entry of an attribute list: an attribute of the file and the record
// that holds it.
struct AttributeListEntry {
  std::uint32_t type = 0;
  std::uint64_t firstVcn = 0;
  std::uint64_t record = 0;  // file reference
  std::uint16_t attributeId = 0;
  std::u16string name;
};

// Reads an attribute list's value; the entries up to the first that does not
// fit (complete false from there).
std::vector<AttributeListEntry> ReadAttributeList(std::span<const std::uint8_t> value, bool& complete);

// LZNT1: decompresses one compression unit into out (which the caller sizes
// to the unit's bytes; it is zeroed first). A chunk that decodes short leaves the rest
// of its 4096 bytes zero, as the format writes. False when the unit is
// damaged: a chunk cut off, a back-reference before the chunk's start, or
// output past the end of out.
bool DecompressLznt1(std::span<const std::uint8_t> unit, std::span<std::uint8_t> out);

// ---- template ---------------------------------------------------------------

template <typename Visit>
bool ForEachAttribute(std::span<const std::uint8_t> record, Visit visit) {
  if (record.size() < ntfs::kFirstAttribute + 2) return false;
  std::size_t offset = record[ntfs::kFirstAttribute] | record[ntfs::kFirstAttribute + 1] << 8;
  auto u32 = [&](std::size_t at) {
    return std::uint32_t{record[at]} | std::uint32_t{record[at + 1]} << 8 | std::uint32_t{record[at + 2]} << 16 |
           std::uint32_t{record[at + 3]} << 24;
  };
  while (offset <= record.size() - 4) {
    const std::uint32_t type = u32(offset);
    if (type == ntfs::kEndOfAttributes) return true;
    if (offset > record.size() - 8) return false;
    const std::uint32_t length = u32(offset + ntfs::kAttributeLength);
    if (length < ntfs::kSmallestAttribute || length > record.size() - offset) return false;
    if (!visit(AttributeView{type, offset, record.subspan(offset, length)})) return true;
    offset += length;
  }
  return false;
}

}  // namespace corvanel
