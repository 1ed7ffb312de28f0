// Where a live file's bytes lie on the raw volume: its NTFS file record and
// extents, or its FAT32 directory entries (exFAT: entry set) and clusters. Found from the path
// before the file is deleted, so that what it leaves behind can be overwritten.
// The NTFS layout it reads is in volume/ntfs_layout.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "volume/exfat_directory.h"
#include "volume/fat_directory.h"
#include "volume/mft_record.h"
#include "volume/volume_geometry.h"

namespace corvanel {

// An extension record: one that holds attributes of a file whose base
// record's attribute list names it.
struct ExtensionRecordPlace {
  std::uint64_t number = 0;
  std::uint64_t sector = 0;
  std::uint16_t sequenceNumber = 0;
};

// One entry of an exFAT entry set: its volume byte offset and its bytes as
// the locate read them.
struct ExfatEntryPlace {
  std::uint64_t offset = 0;
  std::array<std::uint8_t, 32> bytes{};
};

struct LocatedFileData : FatLocation {
  // NTFS
  std::uint64_t recordSector = 0;     // the first sector of the file's record
  MftRecord record;                   // as parsed: residence, size, every extent (extension records' too)
  std::int32_t dataNotLocated = 0;    // 1: the file was not reached; cleared by every locate
  std::uint64_t recordNumber = 0;
  std::uint16_t sequenceNumber = 0;   // the record's, when it was found
  std::uint32_t linkNames = 0;        // its file names other than DOS-only ones: one per hard link
  std::vector<MftRecord> namedStreams;  // its other data attributes, each with its stream name as name
  std::vector<ExtensionRecordPlace> extensionRecords;  // through its attribute list
  std::uint64_t parentRecord = 0;       // the folder it was found in
  std::vector<std::u16string> names;    // its names as the record has them (DOS aliases too)
  // Set by the shred: the extents the data held after it was overwritten
  // through the file system (compressed data moves on every write).
  std::vector<DataRun> laterRuns;
  // FAT32 and exFAT: the data clusters, read before the file is deleted.
  std::vector<std::uint32_t> clusters;
  // exFAT: the file's entry set (file entry, stream extension, name
  // entries), its stream, and where the allocation bitmap lies.
  std::vector<ExfatEntryPlace> exfatEntries;
  ExfatStream exfatStream;
  ExfatFacts exfatVolume;
  std::vector<std::uint32_t> exfatBitmapClusters;
  // The volume as the locate read it.
  BootSectorFacts volume;
};

// What the last locate found; the shred engine consumes it on the same thread.
extern LocatedFileData LocatedFile;

// Locates ShredFilePath ("X:\dir\file") on the volume of driveLetter. True when the request was answered (look at
// LocatedFile.dataNotLocated); false with errorCode 19 (boot sector
// unreadable, with its system text), 11 (not FAT32, exFAT or NTFS), 1 or 4 (a
// read on the way), 21 (exFAT of sectors other than 512 bytes), 20 (NTFS: the
// path's first component is not in the root directory) or 6 (FAT32, exFAT: a
// component is missing).
bool LocateFileClusters(char driveLetter, std::int32_t& errorCode);

// Locates ShredFilePath once more, leaving LocatedFile as it is: where the
// file lies now. Nothing when it was not located.
std::optional<LocatedFileData> LocateAgain(char driveLetter, std::int32_t& errorCode);

// How many times one of names (UTF-16LE, as stored) is in the NTFS folder
// record's bytes and its index blocks, slack included; nothing when the folder
// cannot be read.
std::optional<std::uint32_t> CountNamesInFolder(char driveLetter, const BootSectorFacts& facts,
                                                std::uint64_t folderRecord, const std::vector<std::u16string>& names,
                                                std::int32_t& errorCode);

// A sector of a folder's index block, as it is to be written: copies of names
// that lay past the block's entries zeroed.
struct IndexSectorPatch {
  std::uint64_t offset = 0;         // bytes from the volume's start
  std::vector<std::uint8_t> before;  // as read
  std::vector<std::uint8_t> after;   // as to be written
};

// The sectors of the NTFS folder's index blocks that hold one of names past
// their live entries, with those copies zeroed; nothing when the folder
// cannot be read.
std::optional<std::vector<IndexSectorPatch>> NamesPastFolderEntries(char driveLetter, const BootSectorFacts& facts,
                                                                    std::uint64_t folderRecord,
                                                                    const std::vector<std::u16string>& names,
                                                                    std::int32_t& errorCode);

// ---- the NTFS steps, for the locate and its tests ---------------------------

using FileRecordBytes = std::span<const std::uint8_t>;

// Whether one of the record's file names (fixed-up record) equals wantedName
// without regard to case; parentRecord receives that name's parent, and
// exactCase (when given) whether a name equals it letter for letter (a name
// of exactly that case is preferred).
bool MatchFileNameAndParent(FileRecordBytes record, std::u16string_view wantedName, std::uint64_t& parentRecord,
                            bool* exactCase = nullptr);

// What a directory's record says of its index.
struct DirectoryIndex {
  std::vector<std::uint64_t> rootMatches;  // records the index root names wantedName for
  std::vector<DataRun> allocationRuns;     // the index blocks' extents; empty when none
  std::uint32_t blockSize = 4096;          // bytes per index block
  bool hasAttributeList = false;
};

// Reads the index root (0x90) and the index allocation (0xA0) of a fixed-up
// directory record; the root's entries are searched for wantedName.
DirectoryIndex LookUpInDirectory(FileRecordBytes record, std::u16string_view wantedName);

// Searches one index block (already read, as long as the block) for
// wantedName: fixes it up in place and returns the record numbers its entries
// give for the name, in order, or for a name that differs from it in the last
// character only (a short name; the caller checks the record's own names).
// Nothing when the block is not a sound "INDX" block.
std::vector<std::uint64_t> SearchIndexBlock(std::span<std::uint8_t> block, std::u16string_view wantedName);

}  // namespace corvanel
