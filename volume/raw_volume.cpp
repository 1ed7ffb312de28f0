// Raw volume I/O over the platform's volume devices.
#include "volume/raw_volume.h"

#include "app/message_catalogue.h"
#include "app/shared_state.h"

namespace corvanel {
namespace {
thread_local platform::SystemError lastReadFailure;
}  // namespace

platform::SystemError RawVolume::LastReadFailure() { return lastReadFailure; }

bool RawVolume::ReadSectors(std::uint64_t firstSector, std::uint64_t sectorCount, std::span<std::uint8_t> buffer,
                            std::int32_t& errorCode) {
  platform::SystemError error;
  if (!reader_.IsOpen()) {
    reader_ = platform::VolumeDevice::Open(driveLetter_, platform::DeviceAccess::Read, error);
    if (!reader_.IsOpen()) {
      ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
      return false;
    }
  }
  if (sectorCount > buffer.size() / kSectorSize || firstSector > UINT64_MAX / kSectorSize - sectorCount) {
    lastReadFailure = platform::InvalidArgumentError();
    errorCode = error_code::kSectorReadFailed;
    return false;
  }
  const std::uint64_t offset = firstSector * kSectorSize;
  if (!reader_.ReadAt(offset, buffer.first(static_cast<std::size_t>(sectorCount * kSectorSize)), error)) {
    // The device may be in any state after a failed read: start afresh next time.
    reader_.Close();
    lastReadFailure = error;
    errorCode = error_code::kSectorReadFailed;
    return false;
  }
  return true;
}

bool RawVolume::ReadSectors(std::uint64_t firstSector, char driveLetter, std::uint64_t sectorCount,
                            std::span<std::uint8_t> buffer, std::int32_t& errorCode) {
  RawVolume volume(driveLetter);
  return volume.ReadSectors(firstSector, sectorCount, buffer, errorCode);
}

}  // namespace corvanel
