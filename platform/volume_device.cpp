// What the volume devices of every system share.
#include "platform/volume_device.h"

namespace corvanel::platform {

VolumeDevice::VolumeDevice(VolumeDevice&& other) noexcept
    : handle_(other.handle_),
      image_(std::move(other.image_)),
      flushEachWrite_(other.flushEachWrite_),
      windowStart_(other.windowStart_),
      windowLength_(other.windowLength_) {
  other.handle_ = kClosed;
}

VolumeDevice& VolumeDevice::operator=(VolumeDevice&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    image_ = std::move(other.image_);
    flushEachWrite_ = other.flushEachWrite_;
    windowStart_ = other.windowStart_;
    windowLength_ = other.windowLength_;
    other.handle_ = kClosed;
  }
  return *this;
}

VolumeDevice::~VolumeDevice() { Close(); }

bool VolumeDevice::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> buffer, SystemError& error) {
  // Writing past the end of an image file would grow it: refuse instead.
  std::optional<std::uint64_t> size = Size();
  if (size && (buffer.size() > *size || offset > *size - buffer.size())) {
    error = EndOfDeviceError();
    return false;
  }
  return IntoWindow(offset, buffer.size(), error) && WriteAll(offset, buffer, error);
}

bool VolumeDevice::IntoWindow(std::uint64_t& offset, std::size_t size, SystemError& error) const {
  if (windowLength_ && (size > *windowLength_ || offset > *windowLength_ - size)) {
    error = EndOfDeviceError();
    return false;
  }
  offset += windowStart_;
  return true;
}

}  // namespace corvanel::platform
