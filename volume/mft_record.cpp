// NTFS file record parsing. Every offset read from the record is checked
// against the record's 1024 bytes.
#include "volume/mft_record.h"

#include <algorithm>
#include <optional>

#include "base/byte_reader.h"

namespace corvanel {
namespace {

constexpr std::size_t kAttributeFlags = 0x0C;
constexpr std::uint16_t kAttributeCompressed = 0x0001;

// The file name attribute at offset, when its value fits the record.
std::optional<FileNameValue> FileNameAt(FileRecordView record, std::size_t offset) {
  std::optional<std::uint32_t> length = ByteReader(record).U32(offset + ntfs::kAttributeLength);
  if (!length || *length < ntfs::kSmallestAttribute || *length > record.size() - offset) return std::nullopt;
  AttributeView attribute{ntfs::kTypeFileName, offset, std::span<const std::uint8_t>(record).subspan(offset, *length)};
  std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue();
  return value ? ReadFileNameValue(*value) : std::nullopt;
}

}  // namespace

std::vector<DataRun> DecodeDataRuns(std::span<const std::uint8_t> runList) { return DecodeRunList(runList).runs; }

bool ParseDataAttribute(FileRecordView record, std::uint16_t attributeOffset, MftRecord& out, ResidentBytes bytes) {
  ByteReader reader(record);
  const std::size_t attribute = attributeOffset;
  std::optional<std::uint8_t> nonResident = reader.U8(attribute + ntfs::kNonResident);
  if (!nonResident) return false;
  out.runs.clear();
  out.runsComplete = true;
  out.compressionUnit = 0;
  out.residentData.clear();
  out.residentLength = 0;
  if (*nonResident != 0) {
    std::optional<std::uint16_t> length = reader.U16(attribute + ntfs::kAttributeLength);
    std::optional<std::uint16_t> runListOffset = reader.U16(attribute + ntfs::kRunListOffset);
    std::optional<std::uint64_t> realSize = reader.U64(attribute + ntfs::kRealSize);
    if (!length || !runListOffset || !realSize || *runListOffset > *length) return false;
    // The run list lies between its offset and the attribute's end, inside the record.
    std::size_t end = std::min<std::size_t>(attribute + *length, record.size());
    std::size_t start = attribute + *runListOffset;
    if (start > end) return false;
    out.isResident = 0;
    out.realSize = *realSize;
    out.initializedSize = reader.U64(attribute + ntfs::kInitializedSize).value_or(*realSize);
    RunList list = DecodeRunList(record.subspan(start, end - start));
    out.runs = std::move(list.runs);
    out.runsComplete = list.complete;
    // The header says which VCNs the runs map; runs that map others belong
    // to no stretch of the file the header vouches for.
    std::uint64_t clusters = 0;
    for (const DataRun& run : out.runs) clusters += run.clusterCount;
    std::optional<std::uint64_t> firstVcn = reader.U64(attribute + ntfs::kFirstVcn);
    std::optional<std::uint64_t> lastVcn = reader.U64(attribute + ntfs::kLastVcn);
    if (!out.runs.empty() && (!firstVcn || !lastVcn || *lastVcn + 1 != *firstVcn + clusters)) out.runsComplete = false;
    if (reader.U16(attribute + kAttributeFlags).value_or(0) & kAttributeCompressed)
      out.compressionUnit = reader.U8(attribute + ntfs::kCompressionUnit).value_or(0);
    return true;
  }
  std::optional<std::uint16_t> valueLength = reader.U16(attribute + ntfs::kValueLength);
  std::optional<std::uint16_t> valueOffset = reader.U16(attribute + ntfs::kValueOffset);
  if (!valueLength || !valueOffset) return false;
  std::optional<std::span<const std::uint8_t>> value = reader.Range(attribute + *valueOffset, *valueLength);
  if (!value) return false;
  out.isResident = 1;
  out.realSize = *valueLength;
  out.initializedSize = *valueLength;
  out.residentLength = *valueLength;
  if (bytes == ResidentBytes::Copied) out.residentData.assign(value->begin(), value->end());
  return true;
}

std::u16string ReadFileName(FileRecordView record, std::uint16_t attributeOffset, bool singleLink) {
  ByteReader reader(record);
  std::optional<FileNameValue> firstValue = FileNameAt(record, attributeOffset);
  std::u16string first = firstValue ? firstValue->name : u"";
  if (singleLink || first.find(u'~') == std::u16string::npos) return first;
  // A file with a DOS name and a long name carries two file name attributes.
  std::optional<std::uint16_t> length = reader.U16(attributeOffset + ntfs::kAttributeLength);
  if (!length || *length == 0) return first;
  std::size_t next = std::size_t{attributeOffset} + *length;
  if (reader.U8(next) != ntfs::kTypeFileName) return first;
  std::optional<FileNameValue> second = FileNameAt(record, next);
  if (second && !second->name.empty() && second->name.find(u'~') == std::u16string::npos) return second->name;
  return first;
}

bool ParseFileRecord(FileRecordView record, MftRecord& out, ResidentBytes bytes) {
  ByteReader reader(record);
  const bool singleLink = reader.U16(ntfs::kHardLinkCount) == 1;
  bool nameRead = false;
  bool dataSeen = false;
  bool dataRead = false;
  out.hasAttributeList = false;
  out.attributeList.clear();
  out.attributeListRuns.clear();
  out.attributeListSize = 0;
  out.dataInBase = false;
  out.extensionsMissing = false;
  out.runsComplete = true;
  out.name.clear();
  out.parentReference = 0;
  out.times = {};
  ForEachAttribute(record, [&](const AttributeView& attribute) {
    const auto offset = static_cast<std::uint16_t>(attribute.offset);
    if (attribute.type == ntfs::kTypeStandardInformation) {
      if (std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue())
        out.times = ReadStandardInformationTimes(*value).value_or(FileTimes{});
    } else if (attribute.type == ntfs::kTypeAttributeList) {
      out.hasAttributeList = true;
      if (std::optional<std::span<const std::uint8_t>> value = attribute.ResidentValue()) {
        out.attributeList.assign(value->begin(), value->end());
      } else {
        MftRecord list;
        if (ParseDataAttribute(record, offset, list) && !list.isResident) {
          out.attributeListRuns = std::move(list.runs);
          out.attributeListSize = list.realSize;
        }
      }
    } else if (attribute.type == ntfs::kTypeFileName && !nameRead) {
      // The value is read once: a DOS alias alone sends ReadFileName on to the long name.
      std::optional<FileNameValue> value = FileNameAt(record, attribute.offset);
      if (value) out.parentReference = value->parent;
      if (!value) out.name.clear();
      else if (singleLink || value->name.find(u'~') == std::u16string::npos) out.name.swap(value->name);
      else out.name = ReadFileName(record, offset, singleLink);
      nameRead = true;
    } else if (attribute.type == ntfs::kTypeData) {
      dataSeen = true;
      // With an attribute list the name may lie in an extension record.
      dataRead = (nameRead || out.hasAttributeList) && ParseDataAttribute(record, offset, out, bytes);
      // Alone in its record, the data starts at VCN 0; a header that says
      // otherwise is damaged.
      if (dataRead && !out.hasAttributeList && !out.isResident &&
          ByteReader(attribute.bytes).U64(ntfs::kFirstVcn).value_or(1) != 0)
        out.runsComplete = false;
      return false;
    }
    return true;
  });
  if (dataSeen) return out.dataInBase = dataRead;
  // No data here: with an attribute list it lies in extension records.
  if (nameRead && out.hasAttributeList) {
    out.isResident = 0;
    out.runs.clear();
    out.realSize = 0;
    return true;
  }
  return false;
}

FixUpResult FixUpRecordSector(std::span<std::uint8_t> record) { return ApplyFixUp(record); }

}  // namespace corvanel
