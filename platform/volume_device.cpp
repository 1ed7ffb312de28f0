// What the volume devices of every system share.
#include "platform/volume_device.h"

#include <algorithm>
#include <vector>

namespace corvanel::platform {

VolumeDevice::VolumeDevice(VolumeDevice&& other) noexcept
    : handle_(other.handle_),
      image_(std::move(other.image_)),
      flushEachWrite_(other.flushEachWrite_),
      windowStart_(other.windowStart_),
      windowLength_(other.windowLength_),
      sectorBytes_(other.sectorBytes_) {
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
    sectorBytes_ = other.sectorBytes_;
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
  if (!IntoWindow(offset, buffer.size(), error)) return false;
  if (Aligned(offset, buffer.size())) return WriteAll(offset, buffer, error);
  const std::uint64_t first = offset / sectorBytes_ * sectorBytes_;
  std::vector<std::uint8_t> whole(Covering(offset, buffer.size()));
  if (!ReadAll(first, whole, error)) return false;
  std::copy(buffer.begin(), buffer.end(), whole.begin() + static_cast<std::ptrdiff_t>(offset - first));
  return WriteAll(first, whole, error);
}

bool VolumeDevice::ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error) {
  if (!IntoWindow(offset, buffer.size(), error)) return false;
  if (Aligned(offset, buffer.size())) return ReadAll(offset, buffer, error);
  const std::uint64_t first = offset / sectorBytes_ * sectorBytes_;
  std::vector<std::uint8_t> whole(Covering(offset, buffer.size()));
  if (!ReadAll(first, whole, error)) return false;
  const auto from = whole.begin() + static_cast<std::ptrdiff_t>(offset - first);
  std::copy(from, from + static_cast<std::ptrdiff_t>(buffer.size()), buffer.begin());
  return true;
}

std::size_t VolumeDevice::Covering(std::uint64_t offset, std::size_t size) const {
  const std::uint64_t head = offset % sectorBytes_;
  return static_cast<std::size_t>((head + size + sectorBytes_ - 1) / sectorBytes_ * sectorBytes_);
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
