// Raw access to the device behind a drive letter: the seam between the volume
// engines and the operating system ("\\.\X:" on Windows, the drive table
// elsewhere).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/system_error.h"

namespace corvanel::platform {

enum class DeviceAccess { Read, Write, ReadWrite };

class DiskImage;  // an E01, VHD(X), VMDK or QCOW image read through its library

// An open volume device. Owns its handle; closed on destruction.
class VolumeDevice {
 public:
  VolumeDevice() = default;
  VolumeDevice(VolumeDevice&& other) noexcept;
  VolumeDevice& operator=(VolumeDevice&& other) noexcept;
  VolumeDevice(const VolumeDevice&) = delete;
  VolumeDevice& operator=(const VolumeDevice&) = delete;
  ~VolumeDevice();

  // Opens the volume of a drive letter, shared for reading and writing with
  // everyone else. On failure the result is closed and error is set. A disk
  // image (E01, VHD, ...) is opened for reading only.
  static VolumeDevice Open(char driveLetter, DeviceAccess access, SystemError& error);

  bool IsOpen() const { return handle_ != kClosed; }
  void Close();

  // Transfers exactly buffer.size() bytes at a byte offset. Anything shorter
  // is a failure: the end of an image file is not data. A transfer that does
  // not start and end on the device's sectors (4096 bytes on 4K drives) goes
  // through whole sectors: read, and for a write changed and written back.
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error);
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> buffer, SystemError& error);

  // The device's sector size: what every transfer to it is aligned to.
  std::uint32_t SectorBytes() const { return sectorBytes_; }

  // The size in bytes, when the system can tell it.
  std::optional<std::uint64_t> Size();

  // Asks the file system on the volume to let go of it before a raw write
  // (FSCTL_DISMOUNT_VOLUME). The result is not examined.
  void Dismount();

  // Takes the volume for this handle alone (FSCTL_LOCK_VOLUME) until it is
  // closed. False where the system refuses (files open on it, the system
  // volume) or has no such lock.
  bool Lock();

  // Writes are flushed to the device one by one unless deferred; Flush then
  // pushes the deferred ones out.
  void DeferFlushes() { flushEachWrite_ = false; }
  bool Flush(SystemError& error);

 private:
  static constexpr std::intptr_t kClosed = -1;  // INVALID_HANDLE_VALUE, or no descriptor
  explicit VolumeDevice(std::intptr_t handle) : handle_(handle) { sectorBytes_ = QuerySectorBytes(); }
  // The system's part of ReadAt and WriteAt, on whole sectors, after the bounds check.
  bool ReadAll(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error);
  bool WriteAll(std::uint64_t offset, std::span<const std::uint8_t> buffer, SystemError& error);
  // A partition of a whole disk (the drive table's window): checks that size
  // bytes at offset lie inside it and makes offset one of the whole device.
  bool IntoWindow(std::uint64_t& offset, std::size_t size, SystemError& error) const;
  // The sector size the system gives the device: 512 when it gives none.
  std::uint32_t QuerySectorBytes();
  // The bytes of the whole sectors a transfer touches.
  std::size_t Covering(std::uint64_t offset, std::size_t size) const;
  bool Aligned(std::uint64_t offset, std::size_t size) const {
    return offset % sectorBytes_ == 0 && size % sectorBytes_ == 0;
  }

  std::intptr_t handle_ = kClosed;
  std::shared_ptr<DiskImage> image_;  // reads go here when the device is such an image
  bool flushEachWrite_ = true;
  std::uint64_t windowStart_ = 0;
  std::optional<std::uint64_t> windowLength_;  // none: the whole device
  std::uint32_t sectorBytes_ = 512;
};

}  // namespace corvanel::platform

namespace corvanel::platform {

// The drive letter of a volume named on a command line: "X:", "X:\" or
// "\\.\X:" everywhere; elsewhere than Windows also an image file or block
// device, which is then given a free letter in the drive table.
std::optional<char> DriveLetterForVolume(std::string_view name, SystemError& error);

}  // namespace corvanel::platform
