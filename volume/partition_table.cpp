// Partition tables: MBR and GPT, read through bounds-checked copies.
#include "volume/partition_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

namespace corvanel::partition {
namespace {

constexpr std::uint32_t kMbrSector = 512;
// Far more than any real disk has: an extended chain that gets this long loops.
constexpr unsigned kMaxLogical = 1024;
// A GPT's entry array is 16 KiB in practice; refuse anything absurd before reading it.
constexpr std::uint64_t kMaxEntryArray = 4 << 20;

std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
         std::uint32_t{b[at + 3]} << 24;
}
std::uint64_t Le64(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint64_t{Le32(b, at)} | std::uint64_t{Le32(b, at + 4)} << 32;
}

std::string Num(std::uint64_t value) { return std::to_string(value); }

bool IsExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct MbrEntry {
  std::uint8_t status, type;
  std::uint64_t first, count;
};
MbrEntry EntryAt(std::span<const std::uint8_t> sector, int slot) {
  const std::size_t at = 446 + 16 * static_cast<std::size_t>(slot);
  return {sector[at], sector[at + 4], Le32(sector, at + 8), Le32(sector, at + 12)};
}
bool HasSignature(std::span<const std::uint8_t> sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// A file system's boot sector at sector 0: a volume, not a disk.
bool IsBootSector(std::span<const std::uint8_t> sector) {
  return std::memcmp(&sector[3], "NTFS    ", 8) == 0 || std::memcmp(&sector[3], "EXFAT   ", 8) == 0 ||
         std::memcmp(&sector[82], "FAT32   ", 8) == 0 || std::memcmp(&sector[54], "FAT1", 4) == 0;
}

// Partitions in order of their start; the first overlap found, or an empty text.
std::string Overlap(std::vector<Partition> partitions) {
  std::sort(partitions.begin(), partitions.end(),
            [](const Partition& a, const Partition& b) { return a.firstSector < b.firstSector; });
  for (std::size_t i = 1; i < partitions.size(); ++i) {
    const Partition& before = partitions[i - 1];
    if (before.firstSector + before.sectorCount > partitions[i].firstSector)
      return "partitions " + Num(std::min(before.number, partitions[i].number)) + " and " +
             Num(std::max(before.number, partitions[i].number)) + " overlap";
  }
  return {};
}

std::string PastEnd(const Partition& partition, std::uint64_t diskSectors) {
  return "partition " + Num(partition.number) + " (sectors " + Num(partition.firstSector) + "-" +
         Num(partition.firstSector + partition.sectorCount - 1) + ") runs past the end of the disk (" +
         Num(diskSectors) + " sectors)";
}

std::optional<Table> ReadMbr(const DiskReader& read, std::span<const std::uint8_t> sector0, std::uint64_t diskSectors,
                             std::string& error) {
  Table table;
  table.scheme = Scheme::Mbr;
  std::optional<MbrEntry> extended;
  std::vector<Partition> placed;  // data partitions and the extended one, which primaries must not overlap
  for (int slot = 0; slot < 4; ++slot) {
    const MbrEntry entry = EntryAt(sector0, slot);
    if (entry.type == 0 || entry.count == 0) continue;
    Partition partition;
    partition.number = static_cast<unsigned>(slot + 1);
    partition.firstSector = entry.first;
    partition.sectorCount = entry.count;
    partition.mbrType = entry.type;
    if (entry.first == 0) {
      error = "partition " + Num(partition.number) + " starts at sector 0, over the partition table";
      return std::nullopt;
    }
    if (entry.first + entry.count > diskSectors) {
      error = PastEnd(partition, diskSectors);
      return std::nullopt;
    }
    placed.push_back(partition);
    if (!IsExtended(entry.type)) {
      table.partitions.push_back(partition);
    } else if (extended) {
      error = "two extended partitions";
      return std::nullopt;
    } else {
      extended = entry;
    }
  }
  if (std::string overlap = Overlap(placed); !overlap.empty()) {
    error = overlap;
    return std::nullopt;
  }
  if (!extended) return table;
  // The logical partitions: a chain of tables, each giving one partition
  // (relative to itself) and the next table (relative to the extended partition).
  const std::uint64_t extendedEnd = extended->first + extended->count;
  std::set<std::uint64_t> visited;
  std::vector<Partition> logical;
  std::array<std::uint8_t, kMbrSector> sector{};
  unsigned number = 5;
  for (std::uint64_t at = extended->first;;) {
    if (!visited.insert(at).second || visited.size() > kMaxLogical) {
      error = "the chain of extended partition tables loops (back to sector " + Num(at) + ")";
      return std::nullopt;
    }
    if (at < extended->first || at >= extendedEnd) {
      error = "an extended partition table (sector " + Num(at) + ") lies outside the extended partition";
      return std::nullopt;
    }
    if (!read(at * kMbrSector, sector)) {
      error = "the extended partition table at sector " + Num(at) + " cannot be read";
      return std::nullopt;
    }
    if (!HasSignature(sector)) {
      error = "the extended partition table at sector " + Num(at) + " has no 55 AA signature";
      return std::nullopt;
    }
    const MbrEntry entry = EntryAt(sector, 0);
    if (entry.type != 0 && entry.count != 0) {
      Partition partition;
      partition.number = number++;
      partition.firstSector = at + entry.first;
      partition.sectorCount = entry.count;
      partition.mbrType = entry.type;
      partition.logical = true;
      if (entry.first == 0 || partition.firstSector + partition.sectorCount > extendedEnd) {
        error = "logical partition " + Num(partition.number) + " (sectors " + Num(partition.firstSector) + "-" +
                Num(partition.firstSector + partition.sectorCount - 1) + ") lies outside its extended partition";
        return std::nullopt;
      }
      logical.push_back(partition);
    }
    const MbrEntry next = EntryAt(sector, 1);
    if (next.count == 0 || !IsExtended(next.type)) break;
    at = extended->first + next.first;
  }
  if (std::string overlap = Overlap(logical); !overlap.empty()) {
    error = overlap;
    return std::nullopt;
  }
  table.partitions.insert(table.partitions.end(), logical.begin(), logical.end());
  return table;
}

// One GPT header and its entries; empty `why` when they are sound.
std::optional<Table> ReadGptAt(const DiskReader& read, std::uint32_t sectorSize, std::uint64_t headerLba,
                               std::uint64_t diskSectors, bool primary, std::string& why) {
  std::vector<std::uint8_t> header(sectorSize);
  if (!read(headerLba * sectorSize, header)) {
    why = "its header (sector " + Num(headerLba) + ") cannot be read";
    return std::nullopt;
  }
  if (std::memcmp(header.data(), "EFI PART", 8) != 0) {
    why = "no GPT header at sector " + Num(headerLba);
    return std::nullopt;
  }
  const std::span<const std::uint8_t> h(header);
  const std::uint32_t headerSize = Le32(h, 12);
  if (headerSize < 92 || headerSize > sectorSize) {
    why = "its header gives a size of " + Num(headerSize) + " bytes";
    return std::nullopt;
  }
  std::vector<std::uint8_t> zeroed(header.begin(), header.begin() + headerSize);
  std::fill(zeroed.begin() + 16, zeroed.begin() + 20, 0);
  if (Crc32(zeroed) != Le32(h, 16)) {
    why = "its header's checksum does not match";
    return std::nullopt;
  }
  const std::uint64_t firstUsable = Le64(h, 40), lastUsable = Le64(h, 48), entriesLba = Le64(h, 72);
  const std::uint32_t entryCount = Le32(h, 80), entrySize = Le32(h, 84);
  if (Le64(h, 24) != headerLba) {
    why = "its header names sector " + Num(Le64(h, 24)) + " as its own, not " + Num(headerLba);
    return std::nullopt;
  }
  if (firstUsable > lastUsable || lastUsable >= diskSectors) {
    why = "its usable sectors " + Num(firstUsable) + "-" + Num(lastUsable) + " do not fit a disk of " +
          Num(diskSectors) + " sectors";
    return std::nullopt;
  }
  if (entrySize < 128 || entrySize % 8 != 0 || std::uint64_t{entryCount} * entrySize > kMaxEntryArray) {
    why = "its entry array (" + Num(entryCount) + " entries of " + Num(entrySize) + " bytes) is not a valid size";
    return std::nullopt;
  }
  const std::uint64_t arrayBytes = std::uint64_t{entryCount} * entrySize;
  const std::uint64_t arraySectors = (arrayBytes + sectorSize - 1) / sectorSize;
  // The array lies between the header and the usable sectors (primary), or
  // between the usable sectors and the header (backup).
  const bool fits = primary ? entriesLba > headerLba && entriesLba <= firstUsable &&
                                  arraySectors <= firstUsable - entriesLba
                            : entriesLba > lastUsable && entriesLba < headerLba &&
                                  arraySectors <= headerLba - entriesLba;
  if (!fits) {
    why = "its " + Num(entryCount) + " entries run past their array (sector " + Num(entriesLba) + " on)";
    return std::nullopt;
  }
  std::vector<std::uint8_t> entries(static_cast<std::size_t>(arrayBytes));
  if (!read(entriesLba * sectorSize, entries)) {
    why = "its entries (sector " + Num(entriesLba) + " on) cannot be read";
    return std::nullopt;
  }
  if (Crc32(entries) != Le32(h, 88)) {
    why = "its entries' checksum does not match";
    return std::nullopt;
  }
  Table table;
  table.scheme = Scheme::Gpt;
  table.sectorSize = sectorSize;
  for (std::uint32_t index = 0; index < entryCount; ++index) {
    const std::span<const std::uint8_t> e = std::span<const std::uint8_t>(entries).subspan(
        std::size_t{index} * entrySize, entrySize);
    Partition partition;
    std::copy_n(e.begin(), 16, partition.gptType.begin());
    if (std::all_of(partition.gptType.begin(), partition.gptType.end(), [](std::uint8_t b) { return b == 0; }))
      continue;
    partition.number = index + 1;
    const std::uint64_t first = Le64(e, 32), last = Le64(e, 40);
    if (first > last || first < firstUsable || last > lastUsable) {
      why = "partition " + Num(partition.number) + " (sectors " + Num(first) + "-" + Num(last) +
            ") lies outside the usable sectors " + Num(firstUsable) + "-" + Num(lastUsable) +
            (last >= diskSectors ? ", past the end of the disk" : "");
      return std::nullopt;
    }
    partition.firstSector = first;
    partition.sectorCount = last - first + 1;
    table.partitions.push_back(partition);
  }
  if (std::string overlap = Overlap(table.partitions); !overlap.empty()) {
    why = overlap;
    return std::nullopt;
  }
  return table;
}

std::optional<Table> ReadGpt(const DiskReader& read, std::uint64_t diskBytes, std::string& error) {
  // The sector size is the one whose sector 1 holds the header; 512 when
  // neither does (the backup is then looked for at the end in 512-byte sectors).
  std::uint32_t sectorSize = 512;
  std::array<std::uint8_t, 8> signature{};
  if (!(read(512, signature) && std::memcmp(signature.data(), "EFI PART", 8) == 0) &&
      read(4096, signature) && std::memcmp(signature.data(), "EFI PART", 8) == 0)
    sectorSize = 4096;
  const std::uint64_t diskSectors = diskBytes / sectorSize;
  if (diskSectors < 3) {
    error = "the disk is too small for its GPT";
    return std::nullopt;
  }
  std::string primaryWhy, backupWhy;
  if (std::optional<Table> table = ReadGptAt(read, sectorSize, 1, diskSectors, true, primaryWhy)) return table;
  if (std::optional<Table> table = ReadGptAt(read, sectorSize, diskSectors - 1, diskSectors, false, backupWhy)) {
    table->fromBackup = true;
    table->primaryDamage = primaryWhy;
    return table;
  }
  error = "damaged GPT: " + primaryWhy + (backupWhy == primaryWhy ? "" : "; its backup: " + backupWhy);
  return std::nullopt;
}

}  // namespace

std::optional<Table> ReadTable(const DiskReader& read, std::uint64_t diskBytes, std::string& error) {
  std::array<std::uint8_t, kMbrSector> sector0{};
  if (diskBytes < kMbrSector) return Table{};
  if (!read(0, sector0)) {
    error = "sector 0 cannot be read";
    return std::nullopt;
  }
  if (IsBootSector(sector0)) return Table{};
  bool mbr = HasSignature(sector0);
  bool protective = false;
  for (int slot = 0; mbr && slot < 4; ++slot) {
    const MbrEntry entry = EntryAt(sector0, slot);
    if (entry.status != 0 && entry.status != 0x80) mbr = false;  // boot code, not a table
    if (entry.type == 0xEE) protective = true;
  }
  std::array<std::uint8_t, 8> signature{};
  const bool gptHeader = read(512, signature) && std::memcmp(signature.data(), "EFI PART", 8) == 0;
  if ((mbr && protective) || (!mbr && gptHeader)) return ReadGpt(read, diskBytes, error);
  if (!mbr) return Table{};
  return ReadMbr(read, sector0, diskBytes / kMbrSector, error);
}

std::string TypeName(const Partition& partition, Scheme scheme) {
  if (scheme == Scheme::Mbr) {
    static const std::pair<std::uint8_t, const char*> kNames[] = {
        {0x01, "FAT12"},        {0x04, "FAT16 <32M"},   {0x06, "FAT16"},          {0x07, "NTFS / exFAT"},
        {0x0B, "FAT32"},        {0x0C, "FAT32 (LBA)"},  {0x0E, "FAT16 (LBA)"},    {0x27, "Windows recovery"},
        {0x82, "Linux swap"},   {0x83, "Linux"},        {0x8E, "Linux LVM"},      {0xA5, "FreeBSD"},
        {0xAF, "Apple HFS"},    {0xEF, "EFI system"},   {0xFD, "Linux RAID"},
    };
    char code[8];
    std::snprintf(code, sizeof code, "0x%02x", partition.mbrType);
    for (const auto& [type, name] : kNames)
      if (type == partition.mbrType) return std::string(name) + " (" + code + ")";
    return code;
  }
  // Mixed-endian as GUIDs are written.
  const auto& g = partition.gptType;
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  static const std::pair<const char*, const char*> kNames[] = {
      {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
      {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
      {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
      {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
      {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
      {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
      {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
      {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
  };
  for (const auto& [guid, name] : kNames)
    if (std::strcmp(guid, text) == 0) return name;
  return text;
}

std::uint32_t Crc32(std::span<const std::uint8_t> bytes) {
  static const std::array<std::uint32_t, 256> kTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[n] = c;
    }
    return table;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

}  // namespace corvanel::partition
