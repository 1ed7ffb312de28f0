// Hand-made NTFS file records, built attribute by attribute.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "volume/raw_volume.h"

namespace corvanel::testing {

// Builds a 1024-byte file record attribute by attribute.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint16_t links = 1, std::uint8_t flags = 0) {
    Text(0, "FILE");
    Put(0x04, 0x30, 2);  // update sequence array offset
    Put(0x06, 3, 2);     // its size in words
    Put(0x12, links, 2);
    Put(0x14, 0x38, 2);  // first attribute
    Put(0x16, flags, 2);
  }

  RecordBuilder& FileName(std::u16string_view name, std::uint32_t parent = 5) {
    std::size_t length = Align(0x5A + 2 * name.size());
    std::size_t at = Attribute(0x30, length, false);
    Put(at + 0x10, 0x42 + 2 * name.size(), 4);
    Put(at + 0x14, 0x18, 2);
    Put(at + 0x18, parent, 4);
    Put(at + 0x58, name.size(), 1);
    for (std::size_t i = 0; i < name.size(); ++i) Put(at + 0x5A + 2 * i, name[i], 2);
    return *this;
  }

  RecordBuilder& ResidentData(const std::vector<std::uint8_t>& value, std::uint8_t type = 0x80) {
    std::size_t at = Attribute(type, Align(0x18 + value.size()), false);
    Put(at + 0x10, value.size(), 4);
    Put(at + 0x14, 0x18, 2);
    for (std::size_t i = 0; i < value.size(); ++i) bytes[at + 0x18 + i] = value[i];
    return *this;
  }

  RecordBuilder& NonResidentData(const std::vector<std::uint8_t>& runList, std::uint64_t realSize) {
    std::size_t at = Attribute(0x80, Align(0x40 + runList.size() + 1), true);
    Put(at + 0x20, 0x40, 2);
    Put(at + 0x30, realSize, 8);
    for (std::size_t i = 0; i < runList.size(); ++i) bytes[at + 0x40 + i] = runList[i];
    // The last VCN the runs map (first VCN 0): the lengths of the list's runs.
    std::uint64_t clusters = 0;
    for (std::size_t i = 0; i < runList.size() && runList[i] != 0; i += 1 + (runList[i] & 0x0F) + (runList[i] >> 4)) {
      std::uint64_t length = 0;
      for (std::size_t j = runList[i] & 0x0F; j-- > 0;)
        length = length << 8 | (i + 1 + j < runList.size() ? runList[i + 1 + j] : 0);
      clusters += length;
    }
    Put(at + 0x18, clusters - 1, 8);
    return *this;
  }

  RecordBuilder& Other(std::uint8_t type, std::size_t length) {
    Attribute(type, length, false);
    return *this;
  }

  RecordBuilder& End() {
    Put(next, 0xFFFFFFFF, 4);
    return *this;
  }

  void Put(std::size_t offset, std::uint64_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  void Text(std::size_t offset, std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) bytes[offset + i] = static_cast<std::uint8_t>(text[i]);
  }

  std::array<std::uint8_t, kFileRecordSize> bytes{};
  std::size_t next = 0x38;

 private:
  static std::size_t Align(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

  std::size_t Attribute(std::uint8_t type, std::size_t length, bool nonResident) {
    std::size_t at = next;
    Put(at, type, 4);
    Put(at + 4, length, 4);
    Put(at + 8, nonResident ? 1 : 0, 1);
    next += length;
    return at;
  }
};

}  // namespace corvanel::testing
