// The drive-geometry query, through the disk's and the storage driver's controls.
#include "platform/win32/drive_geometry.h"

#include <cstdint>
#include <cstring>

#include "base/owned.h"

namespace corvanel {
namespace {

void CloseDevice(HANDLE device) { ::CloseHandle(device); }

}  // namespace

static_assert(sizeof(DISK_GEOMETRY) == 24, "six 32-bit words");

BOOL QueryDriveGeometry(const wchar_t* devicePath, DISK_GEOMETRY& geometry) {
  HANDLE opened = ::CreateFileW(devicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return FALSE;
  const Owned<HANDLE, CloseDevice> owned(opened);
  HANDLE device = owned.get();
  DWORD returned = 0;
  BOOL result = ::DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                                  &returned, nullptr);
  if (!result) {
    // The media types list: device type and entry count, then the first
    // entry, whose first six words have the disk geometry's layout.
    alignas(8) std::uint8_t media[520] = {};
    result = ::DeviceIoControl(device, IOCTL_STORAGE_GET_MEDIA_TYPES_EX, nullptr, 0, media, sizeof media, &returned,
                               nullptr);
    if (result) std::memcpy(&geometry, media + 8, sizeof geometry);
  }
  return result;
}

}  // namespace corvanel
