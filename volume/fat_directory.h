// FAT32 directories read from the raw volume: long names from their slots,
// the deleted entries of a whole tree, and the entry a path names.
//
// Directory entry (32 bytes)         Long-name slot (attribute 0x0F)
//   0x00 name (0xE5: deleted)          0x01 5 UTF-16 units
//   0x08 extension                     0x0E 6 units
//   0x0B attributes                    0x1C 2 units
//   0x14 first cluster, high word
//   0x1A first cluster, low word
//   0x1C size
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "volume/deleted_files_view.h"
#include "volume/file_times.h"
#include "volume/volume_geometry.h"

namespace corvanel {

class RawVolume;

struct FatDeletedEntry {
  std::u16string name;
  std::uint32_t dirSector = 0;        // the sector holding the short entry
  std::uint16_t entryIndex = 0;       // its place in that sector, 0..15
  std::uint16_t slotCount = 0;        // 1 + the long-name slots before it
  std::uint32_t firstDataSector = 0;  // the sector of its first cluster
  std::uint32_t fileSize = 0;
  std::uint32_t clusterHigh = 0;      // the entry's high cluster word
  std::u16string path;                // the folder it lies in: "a/b", "" for the root
  FileTimes times{};                  // local times, as the entry keeps them
};

// One 32-byte directory entry where it lies, and the bytes it held when read.
struct FatEntryPlace {
  std::uint32_t sector = 0;
  std::uint16_t index = 0;  // 0..15 within the sector
  std::array<std::uint8_t, 32> bytes{};
};

// The FAT32 part of a located file.
struct FatLocation {
  std::u16string name;
  std::uint32_t dirSector = 0;
  std::uint16_t entryIndex = 0;
  std::uint16_t slotCount = 0;
  std::uint32_t firstDataSector = 0;
  std::uint32_t fileSize = 0;
  // The file's own entries, long-name slots first and the short entry last,
  // wherever the directory's clusters put them; slots whose checksum does
  // not belong to the short name are not the file's and are left out.
  std::vector<FatEntryPlace> entries;
  std::uint32_t firstCluster = 0;
};

// Long names: each slot's UTF-16 units up to its terminator (0xFFFF is
// padding); slots come last part first, so they are joined in reverse.
class LongNameCollector {
 public:
  void AddSlot(std::span<const std::uint8_t, 32> slot);
  bool Pending() const { return !slots_.empty(); }
  // The checksum of the short name that every slot gathered names (byte 13),
  // nullopt when they name different ones.
  std::optional<std::uint8_t> Checksum() const { return checksum_; }
  // The long name, cut to 255 units; empties the collector.
  std::u16string Take();
  void Clear() {
    slots_.clear();
    checksum_.reset();
  }

 private:
  std::vector<std::u16string> slots_;
  std::optional<std::uint8_t> checksum_;
};

// "NAME.EXT" from an entry's 8.3 bytes through the ANSI code page, base and
// extension in lower case where the entry's case flags (byte 0x0C: 0x08 the
// base, 0x10 the extension) say so; withExtension false gives the base alone.
std::u16string ShortName(std::span<const std::uint8_t, 32> entry, bool withExtension = true);

struct ScanResult;

// Appends the deleted files under the directory at firstSector / firstCluster
// (and its subdirectories) to result's listed files and as children of
// parent. Each directory cluster is read at most once; one that cannot be
// read is added to result's ScanUnreadableStretches and the walk goes on
// without it. A deleted folder whose first cluster is in use again is not
// entered. result's ScanDamagedDirectories counts the directories whose
// chain broke off where it looped or ran into clusters already read (their
// entries up to there are listed). False when AbortRequested stopped it.
bool WalkFatDirectory(RawVolume& volume, const BootSectorFacts& facts, std::uint32_t firstSector,
                      std::uint32_t firstCluster, DeletedFilesView& view, TreeItem parent, std::int32_t& errorCode,
                      ScanResult& result);

// Follows a path ("dir\sub\file", components compared without regard to case
// with an entry's long name, or its 8.3 name when it has none) from the root
// directory to a live file's entry, through any entry with the directory bit.
// Entries are read as WalkFatDirectory reads them: what it passes over is
// passed over here too. False with errorCode 6 when a component is missing, a
// directory stands where the file should or a file where a directory should,
// or a directory's chain loops; or with the read's code.
bool FindFatPath(RawVolume& volume, const BootSectorFacts& facts, std::u16string_view path, FatLocation& located,
                 std::int32_t& errorCode);

// The clusters of a chain in the first FAT, from firstCluster, at most
// maxClusters of them. The walk stops at the end mark, and at anything that
// is no link of a live chain (free, bad, out of range, a loop): `complete`
// then says whether the chain ended where it should.
struct FatChain {
  std::vector<std::uint32_t> clusters;
  bool complete = false;
};
FatChain ReadFatChain(RawVolume& volume, const BootSectorFacts& facts, std::uint32_t firstCluster,
                      std::uint64_t maxClusters);

// The number of data clusters, which no chain can be longer than.
std::uint32_t FatClusterCount(const BootSectorFacts& facts);

// The first sector of a data cluster, or nullopt outside the volume.
std::optional<std::uint32_t> FatClusterSector(const BootSectorFacts& facts, std::uint32_t cluster);

// The 8.3 checksum that a name's long-name slots carry at byte 13.
std::uint8_t ShortNameChecksum(std::span<const std::uint8_t, 32> entry);

}  // namespace corvanel
