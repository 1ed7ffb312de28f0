// Sector reads on a volume named by its drive letter: the file system's
// structures as they lie on the volume.
#pragma once

#include <cstdint>
#include <span>

#include "platform/volume_device.h"

namespace corvanel {

// The unit every sector number counts, whatever the volume's own sector size.
inline constexpr std::uint32_t kSectorSize = 512;
// The usual NTFS file record; a volume's own size is in its boot sector's facts.
inline constexpr std::uint32_t kFileRecordSize = 1024;

// Where sectors come from: the raw volume, or a handle that also writes it.
class SectorReader {
 public:
  // Reads sectorCount sectors from firstSector (byte offset firstSector × 512)
  // into the start of buffer, which must hold them; false with errorCode set.
  virtual bool ReadSectors(std::uint64_t firstSector, std::uint64_t sectorCount, std::span<std::uint8_t> buffer,
                           std::int32_t& errorCode) = 0;

 protected:
  ~SectorReader() = default;
};

// Failures set errorCode (table A of the catalogue): 1 the volume did not open
// for reading (LastSystemErrorText says why), 4 a read failed or came up short.
//
// An object keeps the volume open across the calls of one operation; the
// static form opens, reads and closes in one call. Either way a read after
// a write elsewhere sees the written bytes: nothing is cached here.
class RawVolume : public SectorReader {
 public:
  explicit RawVolume(char driveLetter) : driveLetter_(driveLetter) {}

  char DriveLetter() const { return driveLetter_; }

  // Reads sectorCount sectors from firstSector (byte offset firstSector × 512)
  // into the start of buffer, which must hold them. Sectors past any byte
  // offset fail as a read does.
  bool ReadSectors(std::uint64_t firstSector, std::uint64_t sectorCount, std::span<std::uint8_t> buffer,
                   std::int32_t& errorCode) override;

  // Why the calling thread's last failed read failed (code 4 itself carries no
  // system text).
  static platform::SystemError LastReadFailure();

  static bool ReadSectors(std::uint64_t firstSector, char driveLetter, std::uint64_t sectorCount,
                          std::span<std::uint8_t> buffer, std::int32_t& errorCode);

 private:
  char driveLetter_;
  platform::VolumeDevice reader_;
};

}  // namespace corvanel
