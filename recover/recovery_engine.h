// Writes the deleted files ticked in the deleted-files view into the
// destination folder, from the raw volume the last scan read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "volume/deleted_files_view.h"
#include "volume/mft_record.h"

namespace corvanel {

// The destination: a drive root ("D:\") or a folder without a trailing
// separator; and the names the folder held when it was chosen.
extern std::u16string RecoverDestination;
extern std::vector<std::u16string> DestinationFileNames;
// Whether recovered files get their times back from the scan (modified,
// accessed and, on Windows, created). The command line's --no-times clears it.
extern bool RecoverFileTimes;
// Whether each recovered file's SHA-256 is computed as it is written (into
// RecoveredFile::sha256). The command line's --hash sets it.
extern bool RecoverHashes;
// Whether each file goes under its folder path inside the destination
// ("projects/old/numbers.csv"), folders made as needed, rather than into the
// destination itself. The command line's --keep-paths sets it.
extern bool RecoverKeepPaths;
// Where files go whose folder the scan could not follow ("?/..." paths),
// under the destination, when RecoverKeepPaths.
inline constexpr std::u16string_view kUnknownFolderName = u"(folder unknown)";

// Why a ticked file was left out; the run goes on after each.
enum class SkipReason {
  None,
  NothingRead,     // not one of its sectors could be read
  NameTaken,       // a file of its name was there before the run and no one could say whether to replace it
  NoSpace,         // the destination has too little space for it
  NotWritten,      // the system refused to create, write or name it (systemText says why)
  Changed,         // its record is no longer the deleted file the scan listed (taken again since)
};

struct RecoveredFile {
  std::int32_t entryKey = 0;  // the listed file's key in the scan
  std::u16string path;        // where it was written (or was to be)
  std::uint64_t bytesWritten = 0;
  std::uint64_t size = 0;    // what the entry says the file holds
  bool complete = true;      // false when its extents ended before its size, sectors could not be read or
                             // compressed units did not decode
  std::uint64_t unreadableBytes = 0;  // of sectors that could not be read: zeros in the file, or cut from its end
  std::uint64_t damagedBytes = 0;     // of compressed units that did not decode: zeros in the file
  bool renamed = false;      // written as "Recover_" + size: the system refused its name
  std::u16string takenName{};  // when an earlier file had its name: that name (it got " (2)"...)
  SkipReason skipped = SkipReason::None;  // no file was left
  std::u16string systemText{};            // NotWritten: the system's reason
  std::string sha256{};                   // of the bytes written, in hex, when RecoverHashes
};

class RecoveryObserver {
 public:
  virtual ~RecoveryObserver() = default;
  // Each ticked file, once written or skipped.
  virtual void OnFileWritten(const RecoveredFile& /*file*/) {}
};

// A listed file's name as the recovery writes it: each "?" (a character
// the scan could not read, or a lost name) becomes "Recover".
std::u16string RecoveredName(std::u16string_view listed);

// How a recovery run ended.
struct RecoveryReport {
  enum class End {
    Walked,           // every ticked file was handled: written, or skipped and reported
    NothingListed,    // the view lists no file: nothing was done
    OnScannedVolume,  // the destination lies on the scanned volume: refused (prompt 6), nothing written
    Declined,         // the user would not have a file of the folder replaced: the run ended there
    Interrupted,      // AbortRequested ended the run; the file being written was removed
  };
  End end = End::Walked;
};

// Recovers every ticked child of the view's volume item: the file of
// LastScan its item data names, in the tree's order. Each file is written under a scratch name and
// renamed into place when whole, so an interrupted or failed file never
// replaces anything. A name a file of this run already took gets a number
// ("name (2).ext"); a file that was in the folder before is replaced only
// after Yes to the same-name question (No ends the run; no answer skips the
// file). Names differ by letter case only where the destination keeps them
// apart. A file that cannot be had (nothing readable, too little space, the
// system refuses it) is skipped, reported to the observer, and the run goes
// on, leaving a code in errorCode: 13 too little space, 18 a file could not
// be created or named (LastSystemErrorText says why), 3 a write failed
// (LastSystemErrorText says why), 1 or 4 sectors could not be read (the file
// is partial). True when the run ended with errorCode 0, however it ended:
// report says whether it handled every ticked file or stopped (nothing
// listed, the destination on the scanned volume, a No, AbortRequested).
// Tests: NTFS files taken from these records, by key, instead of their
// records read again from the volume (nullptr: from the volume).
void SetListedRecordsForTesting(const std::vector<MftRecord>* records);

bool RecoverCheckedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode,
                         RecoveryReport* report = nullptr, RecoveryObserver* observer = nullptr);


}  // namespace corvanel
