// Volume devices on Windows: "\\.\X:" opened with CreateFileW.
#include "platform/volume_device.h"
#include "platform/volume_name.h"

#include "platform/drive_table.h"
#include "platform/text_encoding.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <vector>

#include "platform/disk_image_format.h"
#include <cctype>
#include <string>

namespace corvanel::platform {
namespace {

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

bool SeekTo(HANDLE handle, std::uint64_t offset) {
  LARGE_INTEGER position;
  position.QuadPart = static_cast<LONGLONG>(offset);
  return ::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) != 0;
}

// Moves exactly size bytes with ReadFile or WriteFile from a byte offset.
template <typename Byte, typename Transfer>
bool TransferAll(HANDLE handle, std::uint64_t offset, Byte* bytes, std::size_t size, Transfer transfer,
                 SystemError& error) {
  if (size == 0) return true;
  if (!SeekTo(handle, offset)) {
    error = LastSystemError();
    return false;
  }
  std::size_t done = 0;
  while (done < size) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD moved = 0;
    if (!transfer(handle, bytes + done, chunk, &moved, nullptr)) {
      error = LastSystemError();
      return false;
    }
    // ReadFile succeeds with nothing read at the end of an image file.
    if (moved == 0) {
      error = EndOfDeviceError();
      return false;
    }
    done += moved;
  }
  return true;
}

}  // namespace

void VolumeDevice::Close() {
  if (handle_ != kClosed) ::CloseHandle(AsHandle(handle_));
  handle_ = kClosed;
}

VolumeDevice VolumeDevice::Open(char driveLetter, DeviceAccess access, SystemError& error) {
  std::wstring path = L"\\\\.\\A:";
  path[4] = static_cast<wchar_t>(static_cast<unsigned char>(driveLetter));
  // A letter of the drive table: a whole disk, or a partition of one.
  const std::optional<DriveMapping> mapping = LookUpDrive(driveLetter);
  if (mapping) {
    const std::u16string device = Utf8ToUtf16(mapping->device);
    path.assign(device.begin(), device.end());
  }
  DWORD desired = access == DeviceAccess::Write       ? GENERIC_WRITE
                  : access == DeviceAccess::ReadWrite ? GENERIC_READ | GENERIC_WRITE
                                                      : GENERIC_READ;
  HANDLE handle = ::CreateFileW(path.c_str(), desired, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastSystemError();
    return {};
  }
  VolumeDevice device(reinterpret_cast<std::intptr_t>(handle));
  // An image file behind the letter (Wine's dosdevices) in a format this
  // build has no library for: say what it is rather than "no file system".
  std::vector<std::uint8_t> head(4096);  // a whole sector of every size
  SystemError unread;
  if (access != DeviceAccess::Write && TransferAll(handle, 0, head.data(), head.size(), ::ReadFile, unread)) {
    if (DiskImageFormat format = DetectDiskImageFormat(head); format != DiskImageFormat::None) {
      error = DiskImageError(format, DiskImageProblem::NotThisBuild);
      return {};
    }
  }
  if (mapping && mapping->windowLength != 0) {
    device.windowStart_ = mapping->windowStart;
    device.windowLength_ = mapping->windowLength;
  }
  return device;
}

bool VolumeDevice::ReadAll(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error) {
  return TransferAll(AsHandle(handle_), offset, buffer.data(), buffer.size(), ::ReadFile, error);
}

bool VolumeDevice::WriteAll(std::uint64_t offset, std::span<const std::uint8_t> buffer, SystemError& error) {
  // A volume handle opened without buffering flags writes through the
  // volume's own cache, which every later read of the volume sees.
  return TransferAll(AsHandle(handle_), offset, buffer.data(), buffer.size(), ::WriteFile, error);
}

bool VolumeDevice::Flush(SystemError& error) {
  if (::FlushFileBuffers(AsHandle(handle_))) return true;
  error = LastSystemError();
  return false;
}

// A volume handle reads and writes whole sectors only: 4096 bytes on 4K drives.
std::uint32_t VolumeDevice::QuerySectorBytes() {
  DISK_GEOMETRY geometry{};
  DWORD returned = 0;
  if (::DeviceIoControl(AsHandle(handle_), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                        &returned, nullptr) &&
      geometry.BytesPerSector >= 512 && geometry.BytesPerSector <= 65536 &&
      (geometry.BytesPerSector & (geometry.BytesPerSector - 1)) == 0)
    return geometry.BytesPerSector;
  return 512;
}

std::optional<std::uint64_t> VolumeDevice::Size() {
  if (windowLength_) return windowLength_;
  GET_LENGTH_INFORMATION length{};
  DWORD returned = 0;
  if (::DeviceIoControl(AsHandle(handle_), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                        &returned, nullptr) &&
      length.Length.QuadPart > 0)
    return static_cast<std::uint64_t>(length.Length.QuadPart);
  // An image file standing in for a volume (Wine's dosdevices).
  LARGE_INTEGER fileSize{};
  if (::GetFileSizeEx(AsHandle(handle_), &fileSize) && fileSize.QuadPart > 0)
    return static_cast<std::uint64_t>(fileSize.QuadPart);
  return std::nullopt;
}

bool VolumeDevice::Lock() {
  DWORD returned = 0;
  return ::DeviceIoControl(AsHandle(handle_), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr) != 0;
}

void VolumeDevice::Dismount() {
  DWORD returned = 0;
  ::DeviceIoControl(AsHandle(handle_), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
}

std::optional<char> DriveLetterForVolume(std::string_view name, SystemError& error) {
  if (std::optional<char> letter = DriveLetterFromName(name)) return letter;
  // A whole disk, "\\.\PhysicalDriveN", gets a letter of the drive table.
  std::string_view rest = name;
  if (rest.starts_with("\\\\.\\") || rest.starts_with("//./")) rest.remove_prefix(4);
  constexpr std::string_view kDisk = "physicaldrive";
  bool disk = rest.size() > kDisk.size();
  for (std::size_t i = 0; disk && i < rest.size(); ++i)
    disk = i < kDisk.size() ? std::tolower(static_cast<unsigned char>(rest[i])) == kDisk[i]
                            : std::isdigit(static_cast<unsigned char>(rest[i])) != 0;
  if (!disk || rest.size() == name.size()) {
    error.code = ERROR_INVALID_NAME;
    return std::nullopt;
  }
  std::optional<char> letter = FreeDriveLetter();
  if (!letter) {
    error.code = ERROR_TOO_MANY_OPEN_FILES;
    return std::nullopt;
  }
  MapDrive(*letter, {"\\\\.\\" + std::string(rest), {}});
  return letter;
}

}  // namespace corvanel::platform
