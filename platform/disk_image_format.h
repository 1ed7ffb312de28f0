// Disk-image containers (EWF, VHD, VHDX, VMDK, QCOW) told apart by their
// signatures, and the errors that say what was found and why it cannot be used.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/system_error.h"

namespace corvanel::platform {

enum class DiskImageFormat : std::uint8_t { None, Ewf, Ewf2, Vhd, Vhdx, Vmdk, Qcow };

// How many bytes of the head and of the tail a detection looks at.
inline constexpr std::size_t kDiskImageHeadSize = 512;
inline constexpr std::size_t kDiskImageTailSize = 512;

// The format of an image from its first bytes and its last 512 (a fixed VHD
// has its footer only there). Either span may be shorter or empty.
DiskImageFormat DetectDiskImageFormat(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail = {});

// "E01 (EWF)", "VHDX", ...
std::string_view DiskImageFormatName(DiskImageFormat format);

enum class DiskImageProblem : std::uint8_t {
  Unreadable,    // the library would not open it: damaged, truncated, a segment or parent missing
  ReadOnly,      // a write was asked for
  NotThisBuild,  // this build has no reader for the format
};

// A SystemError naming the format and the problem; its message comes from
// DiskImageErrorMessage. detail (the library's own words) is kept for the
// calling thread's next message.
SystemError DiskImageError(DiskImageFormat format, DiskImageProblem problem, std::string_view detail = {});

// The text of such an error; nullopt for every other code.
std::optional<std::u16string> DiskImageErrorMessage(SystemError error);

}  // namespace corvanel::platform
