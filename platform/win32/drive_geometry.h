// The drive-geometry query the recover page tests drives with (Windows only).
#pragma once

#include <windows.h>
#include <winioctl.h>

namespace corvanel {

// The geometry of the drive behind a device path ("\\.\E:"): the disk's own
// answer, else the first media entry the storage driver lists. FALSE when the
// device does not open or neither answers (a removable drive without media).
BOOL QueryDriveGeometry(const wchar_t* devicePath, DISK_GEOMETRY& geometry);

}  // namespace corvanel
