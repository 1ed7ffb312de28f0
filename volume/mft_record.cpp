// NTFS file record parsing. Every offset read from the record is checked
// against the record's 1024 bytes.
#include "volume/mft_record.h"

#include <algorithm>
#include <optional>

#include "base/byte_reader.h"

namespace corvanel {
namespace {

// File record header
constexpr std::size_t kUpdateSequenceOffset = 0x04;
constexpr std::size_t kHardLinkCount = 0x12;
constexpr std::size_t kFirstAttribute = 0x14;
constexpr std::size_t kDefaultUpdateSequence = 0x30;

// Attribute header
constexpr std::size_t kAttributeLength = 0x04;
constexpr std::size_t kNonResidentFlag = 0x08;
constexpr std::size_t kValueLength = 0x10;
constexpr std::size_t kValueOffset = 0x14;
constexpr std::size_t kRunListOffset = 0x20;
constexpr std::size_t kRealSize = 0x30;

// File name attribute, from the attribute's start (value at 0x18)
constexpr std::size_t kNameLength = 0x58;
constexpr std::size_t kName = 0x5A;

constexpr std::uint8_t kTypeAttributeList = 0x20;
constexpr std::uint8_t kTypeFileName = 0x30;
constexpr std::uint8_t kTypeData = 0x80;
constexpr std::uint32_t kEndMarker = 0xFFFFFFFF;

// The name of a file name attribute, or nullopt when it does not fit the record.
std::optional<std::u16string> NameAt(const ByteReader& record, std::size_t attribute) {
  std::optional<std::uint8_t> length = record.U8(attribute + kNameLength);
  if (!length) return std::nullopt;
  std::optional<std::span<const std::uint8_t>> bytes = record.Range(attribute + kName, std::size_t{*length} * 2);
  if (!bytes) return std::nullopt;
  std::u16string name(*length, u'\0');
  for (std::size_t i = 0; i < name.size(); ++i)
    name[i] = static_cast<char16_t>((*bytes)[2 * i] | (*bytes)[2 * i + 1] << 8);
  return name;
}

// A run field of 1 to 4 bytes, little-endian.
std::uint32_t FieldValue(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

}  // namespace

std::vector<DataRun> DecodeDataRuns(std::span<const std::uint8_t> runList) {
  std::vector<DataRun> runs;
  std::uint32_t previousStart = 0;
  std::size_t position = 0;
  while (position < runList.size() && runList[position] != 0) {
    std::size_t lengthWidth = runList[position] & 0x0F;
    std::size_t offsetWidth = runList[position] >> 4;
    if (position + 1 + lengthWidth + offsetWidth > runList.size()) break;  // cut off: corrupt
    std::span<const std::uint8_t> lengthField = runList.subspan(position + 1, lengthWidth);
    std::span<const std::uint8_t> offsetField = runList.subspan(position + 1 + lengthWidth, offsetWidth);
    DataRun run;
    if (lengthWidth >= 1 && lengthWidth <= 4) run.clusterCount = FieldValue(lengthField);
    if (offsetWidth >= 1 && offsetWidth <= 4) {
      std::uint32_t delta = FieldValue(offsetField);
      if (runs.empty()) {
        run.startCluster = delta;  // the first offset is absolute
      } else {
        // Sign-extend 1 to 3 byte deltas; a 4-byte delta wraps around in 32 bits.
        if (offsetWidth < 4 && (offsetField.back() & 0x80)) delta |= ~0u << (8 * offsetWidth);
        run.startCluster = previousStart + delta;
      }
      previousStart = run.startCluster;
    }
    runs.push_back(run);
    position += 1 + lengthWidth + offsetWidth;
  }
  return runs;
}

bool ParseDataAttribute(FileRecordView record, std::uint16_t attributeOffset, MftRecord& out) {
  ByteReader reader(record);
  const std::size_t attribute = attributeOffset;
  std::optional<std::uint8_t> nonResident = reader.U8(attribute + kNonResidentFlag);
  if (!nonResident) return false;
  out.runStart.fill(0);
  out.runLength.fill(0);
  out.runs.clear();
  out.residentData.clear();
  out.residentLength = 0;
  if (*nonResident != 0) {
    std::optional<std::uint16_t> length = reader.U16(attribute + kAttributeLength);
    std::optional<std::uint16_t> runListOffset = reader.U16(attribute + kRunListOffset);
    std::optional<std::uint64_t> realSize = reader.U64(attribute + kRealSize);
    if (!length || !runListOffset || !realSize || *runListOffset > *length) return false;
    // The run list lies between its offset and the attribute's end, inside the record.
    std::size_t end = std::min<std::size_t>(attribute + *length, record.size());
    std::size_t start = attribute + *runListOffset;
    if (start > end) return false;
    out.isResident = 0;
    out.dataSize = static_cast<std::uint32_t>(*realSize);
    out.realSize = *realSize;
    out.runs = DecodeDataRuns(record.subspan(start, end - start));
    for (std::size_t i = 0; i < kMaxDataRuns && i < out.runs.size(); ++i) {
      out.runStart[i] = out.runs[i].startCluster;
      out.runLength[i] = out.runs[i].clusterCount;
    }
    return true;
  }
  std::optional<std::uint16_t> valueLength = reader.U16(attribute + kValueLength);
  std::optional<std::uint16_t> valueOffset = reader.U16(attribute + kValueOffset);
  if (!valueLength || !valueOffset) return false;
  std::optional<std::span<const std::uint8_t>> value = reader.Range(attribute + *valueOffset, *valueLength);
  if (!value) return false;
  out.isResident = 1;
  out.dataSize = 0;
  out.realSize = *valueLength;
  out.residentLength = *valueLength;
  out.residentData.assign(value->begin(), value->end());
  return true;
}

std::u16string ReadFileName(FileRecordView record, std::uint16_t attributeOffset, bool singleLink) {
  ByteReader reader(record);
  std::u16string first = NameAt(reader, attributeOffset).value_or(u"");
  if (singleLink || first.find(u'~') == std::u16string::npos) return first;
  // A file with a DOS name and a long name carries two file name attributes.
  std::optional<std::uint16_t> length = reader.U16(attributeOffset + kAttributeLength);
  if (!length || *length == 0) return first;
  std::size_t next = std::size_t{attributeOffset} + *length;
  if (reader.U8(next) != kTypeFileName) return first;
  std::optional<std::u16string> second = NameAt(reader, next);
  if (second && !second->empty() && second->find(u'~') == std::u16string::npos) return *second;
  return first;
}

bool ParseFileRecord(FileRecordView record, MftRecord& out) {
  ByteReader reader(record);
  const bool singleLink = reader.U16(kHardLinkCount) == 1;
  std::size_t offset = *reader.U16(kFirstAttribute);
  if (reader.U8(offset).value_or(0xFF) == 0xFF) return false;
  bool nameRead = false;
  while (offset < record.size()) {
    std::optional<std::uint8_t> type = reader.U8(offset);
    std::optional<std::uint16_t> length = reader.U16(offset + kAttributeLength);
    // A zero length would never move on.
    if (!type || !length || *length == 0) return false;
    if (*type == kTypeAttributeList) {
      if (!ParseDataAttribute(record, static_cast<std::uint16_t>(offset), out)) return false;
    } else if (*type == kTypeFileName && !nameRead) {
      out.name = ReadFileName(record, static_cast<std::uint16_t>(offset), singleLink);
      nameRead = true;
    } else if (*type == kTypeData) {
      return nameRead && ParseDataAttribute(record, static_cast<std::uint16_t>(offset), out);
    }
    offset += *length;
    if (offset >= record.size()) break;
    if (reader.U32(offset) == kEndMarker) return false;
    std::optional<std::uint16_t> nextLength = reader.U16(offset + kAttributeLength);
    if (!nextLength || *nextLength > record.size()) return false;
  }
  return false;
}

void FixUpRecordSector(std::span<std::uint8_t, kFileRecordSize> record) {
  ByteReader reader(record);
  std::size_t array = *reader.U16(kUpdateSequenceOffset);
  // The array follows the header's fixed fields; a value outside them is damage.
  if (array < 0x28 || array % 2 != 0 || !reader.Has(array, 6)) array = kDefaultUpdateSequence;
  for (std::size_t sector = 0; sector < kFileRecordSize / kSectorSize; ++sector) {
    std::size_t end = (sector + 1) * kSectorSize - 2;
    record[end] = record[array + 2 + 2 * sector];
    record[end + 1] = record[array + 3 + 2 * sector];
  }
}

}  // namespace corvanel
