// Little-endian reads from a byte range that fail, instead of reading past the
// end, whatever offset a corrupt structure asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace corvanel {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }

  // Whether [offset, offset + length) lies inside; written so it cannot overflow.
  bool Has(std::size_t offset, std::size_t length) const {
    return length <= bytes_.size() && offset <= bytes_.size() - length;
  }

  // The sub-range, or nullopt when it does not lie inside.
  std::optional<std::span<const std::uint8_t>> Range(std::size_t offset, std::size_t length) const {
    if (!Has(offset, length)) return std::nullopt;
    return bytes_.subspan(offset, length);
  }

  std::optional<std::uint8_t> U8(std::size_t offset) const { return Read<std::uint8_t>(offset); }
  std::optional<std::uint16_t> U16(std::size_t offset) const { return Read<std::uint16_t>(offset); }
  std::optional<std::uint32_t> U32(std::size_t offset) const { return Read<std::uint32_t>(offset); }
  std::optional<std::uint64_t> U64(std::size_t offset) const { return Read<std::uint64_t>(offset); }

  // Whether the bytes at offset are exactly text (no terminator).
  bool Matches(std::size_t offset, std::string_view text) const {
    if (!Has(offset, text.size())) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (bytes_[offset + i] != static_cast<std::uint8_t>(text[i])) return false;
    return true;
  }

 private:
  template <typename Value>
  std::optional<Value> Read(std::size_t offset) const {
    if (!Has(offset, sizeof(Value))) return std::nullopt;
    Value value = 0;
    for (std::size_t i = sizeof(Value); i-- > 0;) value = static_cast<Value>((value << 8) | bytes_[offset + i]);
    return value;
  }

  std::span<const std::uint8_t> bytes_;
};

}  // namespace corvanel
