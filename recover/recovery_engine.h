// Writes the deleted files ticked in the deleted-files view into the
// destination folder, from the raw volume the last scan read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "volume/deleted_files_view.h"

namespace corvanel {

// The destination: a drive root ("D:\") or a folder without a trailing
// separator; and the names the folder held when it was chosen.
extern std::u16string RecoverDestination;
extern std::vector<std::u16string> DestinationFileNames;

struct RecoveredFile {
  std::int32_t entryKey = 0;  // the entry's key in the scan's map
  std::u16string path;        // where it was written (or was to be)
  std::uint64_t bytesWritten = 0;
  std::uint64_t size = 0;    // what the entry says the file holds
  bool complete = true;      // false when its extents ended before its size, sectors could not be read or
                             // compressed units did not decode
  std::uint64_t unreadableBytes = 0;  // of sectors that could not be read: zeros in the file, or cut from its end
  std::uint64_t damagedBytes = 0;     // of compressed units that did not decode: zeros in the file
  bool renamed = false;      // written as "Recover_" + size: the system refused its name
  bool nothingRead = false;  // not one of its sectors could be read: no file was left
};

class RecoveryObserver {
 public:
  virtual ~RecoveryObserver() = default;
  virtual void OnFileWritten(const RecoveredFile& /*file*/) {}
};

// Recovers every ticked child of the view's volume item, in step with the
// entries of the last scan. Each file is written under a scratch name and
// renamed into place when whole, so an interrupted or failed file never
// replaces anything. True when the walk reached its end or stopped for
// AbortRequested (the partial file is then removed); false when there was
// nothing to walk, the user declined to overwrite a file (errorCode
// unchanged), the destination lies on the scanned volume, or a failure ended
// the run: 13 too little space, 18 a file could not be created
// (LastSystemErrorText says why), 3 a write failed (the file is removed;
// LastSystemErrorText says why). Sectors that cannot be read make their file
// partial (observer) and leave 1 or 4 in errorCode, and the run goes on; so do
// codes 2 and 3 of resident files.
bool RecoverCheckedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode,
                         RecoveryObserver* observer = nullptr);

// The engine's own texts, in the language of UiLanguage (English for
// 0x0409, Chinese otherwise).
std::u16string SameNameQuestion(std::u16string_view name);                                    // Yes/No
std::u16string CannotRecoverText(std::u16string_view name, std::u16string_view systemText);   // for code 18
std::u16string RenamedNotice(std::u16string_view name, std::u16string_view systemText, std::int32_t number,
                             std::u16string_view extension);

}  // namespace corvanel
