// Partition tables of a whole disk: MBR (primary, extended and logical
// partitions) and GPT (the backup header taken when the primary is damaged).
// Everything read from the disk is checked before it is used: a table is
// either sound or refused with a reason, never followed into a loop.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvanel::partition {

enum class Scheme { None, Mbr, Gpt };

struct Partition {
  unsigned number = 0;         // MBR: 1-4 primary, 5 on logical; GPT: entry index + 1
  std::uint64_t firstSector = 0;
  std::uint64_t sectorCount = 0;
  std::uint8_t mbrType = 0;    // MBR only
  std::array<std::uint8_t, 16> gptType{};  // GPT only, as stored
  bool logical = false;
};

struct Table {
  Scheme scheme = Scheme::None;
  std::uint32_t sectorSize = 512;
  bool fromBackup = false;     // GPT: the primary header or its entries were damaged
  std::string primaryDamage;   // why, when fromBackup
  std::vector<Partition> partitions;  // data partitions in number order (no extended containers)
};

// Reads bytes at a byte offset of the disk; false when they cannot be read.
using DiskReader = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> bytes)>;

// The table of a disk of diskBytes bytes. Scheme::None when sector 0 holds no
// partition table; nullopt with a one-line reason when it holds a malformed one.
std::optional<Table> ReadTable(const DiskReader& read, std::uint64_t diskBytes, std::string& error);

// "NTFS/exFAT (0x07)", "Microsoft basic data", or the type GUID as text.
std::string TypeName(const Partition& partition, Scheme scheme);

// CRC-32 as GPT uses it (IEEE 802.3, reflected, inverted).
std::uint32_t Crc32(std::span<const std::uint8_t> bytes);

}  // namespace corvanel::partition
