// Disk images read through the libraries of the forensic field (libewf,
// libvhdi, libvmdk, libqcow), as the volume device reads a plain image file.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/disk_image_format.h"
#include "platform/system_error.h"
#include "platform/volume_device.h"

namespace corvanel::platform {

// The media inside an image: what a raw image of it would hold.
class DiskImage {
 public:
  virtual ~DiskImage() = default;
  // Exactly buffer.size() bytes at a byte offset of the media, or false.
  virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error) = 0;
  virtual std::uint64_t Size() const = 0;
};

// nullopt when the file or device open on fd (as path) is no disk image by
// its signatures; otherwise its reader, or nullptr with error set when a
// write was asked for or the format's library refuses the image.
std::optional<std::unique_ptr<DiskImage>> OpenIfDiskImage(int fd, const std::string& path, DeviceAccess access,
                                                          SystemError& error);

}  // namespace corvanel::platform
