// Free letters on Windows: those the system leaves unused, given to whole
// disks ("\\.\PhysicalDrive1") and to partitions of them, so that the
// engines reach them by a letter like any volume.
#include "platform/drive_table.h"

#include <windows.h>

namespace corvanel::platform {

// Taken from Z down, where the system's own letters are least likely.
std::optional<char> FreeDriveLetter() {
  const DWORD used = ::GetLogicalDrives();
  for (char letter = 'Z'; letter >= 'C'; --letter)
    if (!(used & (DWORD{1} << (letter - 'A'))) && !LookUpDrive(letter)) return letter;
  return std::nullopt;
}

}  // namespace corvanel::platform
