// Volume devices on POSIX systems: the drive table names a block device or an
// image file, read and written with pread/pwrite at 64-bit offsets.
#include "platform/volume_device.h"
#include "platform/volume_name.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/drive_table.h"
#include "platform/posix/disk_image.h"

namespace corvanel::platform {

void VolumeDevice::Close() {
  if (handle_ != kClosed) ::close(static_cast<int>(handle_));
  handle_ = kClosed;
  image_.reset();
}

VolumeDevice VolumeDevice::Open(char driveLetter, DeviceAccess access, SystemError& error) {
  std::optional<DriveMapping> mapping = LookUpDrive(driveLetter);
  if (!mapping) {
    error.code = ENODEV;
    return {};
  }
  int flags = (access == DeviceAccess::Write       ? O_WRONLY
               : access == DeviceAccess::ReadWrite ? O_RDWR
                                                   : O_RDONLY) |
              O_CLOEXEC;
  int fd = ::open(mapping->device.c_str(), flags);
  if (fd < 0) {
    error = LastSystemError();
    return {};
  }
  VolumeDevice device(fd);
  if (std::optional<std::unique_ptr<DiskImage>> image = OpenIfDiskImage(fd, mapping->device, access, error)) {
    if (!*image) return {};
    device.image_ = std::move(*image);
  }
  // A partition of a whole disk (or of a disk image): offsets count from its start.
  if (mapping->windowLength != 0) {
    device.windowStart_ = mapping->windowStart;
    device.windowLength_ = mapping->windowLength;
  }
  return device;
}

bool VolumeDevice::ReadAll(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error) {
  if (image_) return image_->ReadAt(offset, buffer, error);
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t got = ::pread(static_cast<int>(handle_), buffer.data() + done, buffer.size() - done,
                          static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = LastSystemError();
      return false;
    }
    if (got == 0) {
      error = EndOfDeviceError();
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool VolumeDevice::WriteAll(std::uint64_t offset, std::span<const std::uint8_t> buffer, SystemError& error) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t put = ::pwrite(static_cast<int>(handle_), buffer.data() + done, buffer.size() - done,
                           static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error.code = put < 0 ? static_cast<std::uint32_t>(errno) : EndOfDeviceError().code;
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  // The bytes must be on the device before anyone reads it through another path.
  return !flushEachWrite_ || Flush(error);
}

bool VolumeDevice::Flush(SystemError& error) {
  if (::fsync(static_cast<int>(handle_)) != 0 && errno != EINVAL && errno != EROFS) {
    error = LastSystemError();
    return false;
  }
  return true;
}

// A block device's logical sector; an image file takes any offset.
std::uint32_t VolumeDevice::QuerySectorBytes() {
  struct stat status {};
  if (::fstat(static_cast<int>(handle_), &status) != 0) return 512;
  if (S_ISREG(status.st_mode)) return 1;
  int bytes = 0;
  if (S_ISBLK(status.st_mode) && ::ioctl(static_cast<int>(handle_), BLKSSZGET, &bytes) == 0 && bytes >= 512 &&
      bytes <= 65536 && (bytes & (bytes - 1)) == 0)
    return static_cast<std::uint32_t>(bytes);
  return 512;
}

std::optional<std::uint64_t> VolumeDevice::Size() {
  if (windowLength_) return windowLength_;
  if (image_) return image_->Size();
  struct stat status {};
  if (::fstat(static_cast<int>(handle_), &status) != 0) return std::nullopt;
  if (S_ISREG(status.st_mode)) return static_cast<std::uint64_t>(status.st_size);
  std::uint64_t bytes = 0;
  if (S_ISBLK(status.st_mode) && ::ioctl(static_cast<int>(handle_), BLKGETSIZE64, &bytes) == 0) return bytes;
  return std::nullopt;
}

// Nothing to dismount here: a mounted image is left to its file system.
void VolumeDevice::Dismount() {}

// No volume locks here: a mounted file system cannot be kept out.
bool VolumeDevice::Lock() { return false; }

std::optional<char> DriveLetterForVolume(std::string_view name, SystemError& error) {
  if (std::optional<char> letter = DriveLetterFromName(name)) {
    if (LookUpDrive(*letter)) return letter;
  }
  std::string path(name);
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) {
    error = LastSystemError();
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
    error.code = S_ISDIR(status.st_mode) ? EISDIR : ENODEV;
    return std::nullopt;
  }
  std::optional<char> letter = FreeDriveLetter();
  if (!letter) {
    error.code = EMFILE;
    return std::nullopt;
  }
  MapDrive(*letter, {path, {}});
  return letter;
}

}  // namespace corvanel::platform
