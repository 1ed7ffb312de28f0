// NTFS layout: run lists, fix-ups, names, attribute lists and LZNT1.
#include "volume/ntfs_layout.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/byte_reader.h"

namespace corvanel {
namespace {

constexpr std::size_t kSectorBytes = 512;

// Attribute list entry
constexpr std::size_t kListEntryType = 0x00;
constexpr std::size_t kListEntryLength = 0x04;
constexpr std::size_t kListEntryNameLength = 0x06;
constexpr std::size_t kListEntryNameOffset = 0x07;
constexpr std::size_t kListEntryFirstVcn = 0x08;
constexpr std::size_t kListEntryRecord = 0x10;
constexpr std::size_t kListEntryAttributeId = 0x18;
constexpr std::size_t kSmallestListEntry = 0x1A;

// LZNT1 chunk header: bits 0-11 the chunk's bytes less 3, bit 15 compressed.
constexpr std::size_t kChunkBytes = 4096;
constexpr std::uint16_t kChunkCompressed = 0x8000;
constexpr std::uint16_t kChunkSizeMask = 0x0FFF;

}  // namespace

RunList DecodeRunList(std::span<const std::uint8_t> bytes) {
  RunList list;
  std::int64_t previousStart = 0;
  std::size_t position = 0;
  for (;;) {
    if (position >= bytes.size()) {
      list.complete = false;  // no end marker
      return list;
    }
    const std::uint8_t header = bytes[position];
    if (header == 0) return list;
    const std::size_t lengthWidth = header & 0x0F;
    const std::size_t offsetWidth = header >> 4;
    if (lengthWidth == 0 || lengthWidth > 8 || offsetWidth > 8 ||
        lengthWidth + offsetWidth >= bytes.size() - position) {
      list.complete = false;
      return list;
    }
    std::uint64_t length = 0;
    for (std::size_t i = lengthWidth; i-- > 0;) length = length << 8 | bytes[position + 1 + i];
    DataRun run;
    run.clusterCount = length;
    if (offsetWidth == 0) {
      run.sparse = true;
    } else {
      std::uint64_t raw = 0;
      for (std::size_t i = offsetWidth; i-- > 0;) raw = raw << 8 | bytes[position + 1 + lengthWidth + i];
      // Sign-extend the delta from its width.
      if (offsetWidth < 8 && (raw >> (8 * offsetWidth - 1)) & 1) raw |= ~std::uint64_t{0} << (8 * offsetWidth);
      const auto delta = static_cast<std::int64_t>(raw);
      // A start below zero or past 2^63 clusters lies on no volume.
      if ((delta > 0 && previousStart > INT64_MAX - delta) || previousStart + delta < 0) {
        list.complete = false;
        return list;
      }
      previousStart += delta;
      run.startCluster = static_cast<std::uint64_t>(previousStart);
    }
    if (length == 0) {
      list.complete = false;
      return list;
    }
    list.runs.push_back(run);
    position += 1 + lengthWidth + offsetWidth;
  }
}

FixUpResult ApplyFixUp(std::span<std::uint8_t> block) {
  ByteReader reader(block);
  if (block.empty() || block.size() % kSectorBytes != 0) return FixUpResult::Malformed;
  const std::size_t sectors = block.size() / kSectorBytes;
  const std::size_t array = reader.U16(ntfs::kUpdateSequenceOffset).value_or(0);
  const std::size_t count = reader.U16(ntfs::kUpdateSequenceCount).value_or(0);
  // The array follows the header's fixed fields and lies in the first sector.
  if (array < 0x28 || array % 2 != 0 || count != sectors + 1 || !reader.Has(array, 2 * count) ||
      array + 2 * count > kSectorBytes)
    return FixUpResult::Malformed;
  bool torn = false;
  for (std::size_t s = 0; s < sectors; ++s) {
    const std::size_t end = (s + 1) * kSectorBytes - 2;
    torn |= block[end] != block[array] || block[end + 1] != block[array + 1];
    block[end] = block[array + 2 + 2 * s];
    block[end + 1] = block[array + 3 + 2 * s];
  }
  return torn ? FixUpResult::Torn : FixUpResult::Fixed;
}

std::optional<std::u16string> ReadUtf16(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t length) {
  std::optional<std::span<const std::uint8_t>> raw = ByteReader(bytes).Range(offset, length * 2);
  if (!raw) return std::nullopt;
  std::u16string text(length, u'\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>((*raw)[2 * i] | (*raw)[2 * i + 1] << 8);
  return text;
}

std::u16string AttributeView::Name() const {
  ByteReader reader(bytes);
  const std::uint8_t length = reader.U8(ntfs::kAttributeNameLength).value_or(0);
  if (length == 0) return {};
  return ReadUtf16(bytes, reader.U16(ntfs::kAttributeNameOffset).value_or(0), length).value_or(u"");
}

std::uint16_t AttributeView::Id() const { return ByteReader(bytes).U16(ntfs::kAttributeId).value_or(0); }

std::optional<std::span<const std::uint8_t>> AttributeView::ResidentValue() const {
  ByteReader reader(bytes);
  if (reader.U8(ntfs::kNonResident) != 0) return std::nullopt;
  std::optional<std::uint32_t> length = reader.U32(ntfs::kValueLength);
  std::optional<std::uint16_t> offset = reader.U16(ntfs::kValueOffset);
  if (!length || !offset) return std::nullopt;
  return reader.Range(*offset, *length);
}

std::optional<FileNameValue> ReadFileNameValue(std::span<const std::uint8_t> value) {
  ByteReader reader(value);
  std::optional<std::uint8_t> length = reader.U8(ntfs::kNameLength);
  if (!length) return std::nullopt;
  std::optional<std::u16string> name = ReadUtf16(value, ntfs::kName, *length);
  if (!name) return std::nullopt;
  return FileNameValue{*reader.U64(ntfs::kNameParent), *reader.U8(ntfs::kNameNamespace), std::move(*name)};
}

std::vector<AttributeListEntry> ReadAttributeList(std::span<const std::uint8_t> value, bool& complete) {
  std::vector<AttributeListEntry> entries;
  ByteReader reader(value);
  complete = true;
  for (std::size_t at = 0; at < value.size();) {
    std::optional<std::uint16_t> length = reader.U16(at + kListEntryLength);
    if (!length || *length < kSmallestListEntry || !reader.Has(at, *length)) {
      complete = false;
      return entries;
    }
    std::span<const std::uint8_t> bytes = value.subspan(at, *length);
    ByteReader entry(bytes);
    AttributeListEntry parsed;
    parsed.type = *entry.U32(kListEntryType);
    parsed.firstVcn = *entry.U64(kListEntryFirstVcn);
    parsed.record = *entry.U64(kListEntryRecord);
    parsed.attributeId = *entry.U16(kListEntryAttributeId);
    std::optional<std::u16string> name =
        ReadUtf16(bytes, *entry.U8(kListEntryNameOffset), *entry.U8(kListEntryNameLength));
    if (!name) {
      complete = false;
      return entries;
    }
    parsed.name = std::move(*name);
    entries.push_back(std::move(parsed));
    at += *length;
  }
  return entries;
}

bool DecompressLznt1(std::span<const std::uint8_t> unit, std::span<std::uint8_t> out) {
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::size_t in = 0;
  std::size_t chunkStart = 0;
  while (chunkStart < out.size()) {
    if (in + 2 > unit.size()) return true;  // the unit ends without its end marker: the rest is zeros
    const std::uint16_t header = static_cast<std::uint16_t>(unit[in] | unit[in + 1] << 8);
    if (header == 0) return true;  // end of the unit's data
    const std::size_t chunkSize = (header & kChunkSizeMask) + 1u;
    in += 2;
    if (chunkSize > unit.size() - in) return false;  // cut off
    std::span<const std::uint8_t> chunk = unit.subspan(in, chunkSize);
    in += chunkSize;
    const std::size_t chunkEnd = std::min(out.size(), chunkStart + kChunkBytes);
    if (!(header & kChunkCompressed)) {
      // Stored: the chunk's bytes as they are (4096 of them, but for the last).
      if (chunk.size() > chunkEnd - chunkStart) return false;
      std::copy(chunk.begin(), chunk.end(), out.begin() + static_cast<std::ptrdiff_t>(chunkStart));
      chunkStart += kChunkBytes;
      continue;
    }
    std::size_t dest = chunkStart;
    for (std::size_t at = 0; at < chunk.size();) {
      const std::uint8_t flags = chunk[at++];
      if (flags == 0 && chunk.size() - at >= 8 && chunkEnd - dest >= 8) {  // eight literals
        std::memcpy(out.data() + dest, chunk.data() + at, 8);
        dest += 8;
        at += 8;
        continue;
      }
      for (int bit = 0; bit < 8 && at < chunk.size(); ++bit) {
        if (!(flags >> bit & 1)) {
          if (dest >= chunkEnd) return false;
          out[dest++] = chunk[at++];
          continue;
        }
        if (at + 2 > chunk.size()) return false;
        const std::uint16_t token = static_cast<std::uint16_t>(chunk[at] | chunk[at + 1] << 8);
        at += 2;
        if (dest == chunkStart) return false;  // nothing to refer back to
        // The split between offset and length moves with the position in the
        // chunk: 12 length bits up to 16 bytes in, one fewer each time it doubles.
        const std::size_t position = dest - chunkStart - 1;
        const std::size_t width = std::bit_width(position);
        const unsigned lengthBits = 12 - static_cast<unsigned>(width > 4 ? width - 4 : 0);
        const std::size_t back = (token >> lengthBits) + 1u;
        const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3u;
        if (back > dest - chunkStart || length > chunkEnd - dest) return false;
        if (back >= length) {
          std::memcpy(out.data() + dest, out.data() + dest - back, length);
          dest += length;
        } else {  // overlapping: each byte may be one just written
          for (std::size_t i = 0; i < length; ++i, ++dest) out[dest] = out[dest - back];
        }
      }
    }
    chunkStart += kChunkBytes;
  }
  return true;
}

}  // namespace corvanel
