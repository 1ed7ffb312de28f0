// Error numbers on POSIX systems: errno and strerror.
#include "platform/system_error.h"

#include <cerrno>
#include <cstring>

#include "platform/disk_image_format.h"
#include "platform/text_encoding.h"

namespace corvanel::platform {
namespace {
// Past every errno value: there is none for "a directory, FIFO or device
// where a regular file was expected" that says so.
constexpr std::uint32_t kNotARegularFile = 0x10000;
}  // namespace

SystemError LastSystemError() { return {static_cast<std::uint32_t>(errno)}; }

std::u16string SystemErrorMessage(SystemError error) {
  if (std::optional<std::u16string> image = DiskImageErrorMessage(error)) return *image;
  if (error.code == kNotARegularFile) return u"Not a regular file";
  return Utf8ToUtf16(std::strerror(static_cast<int>(error.code)));
}

SystemError EndOfDeviceError() { return {static_cast<std::uint32_t>(ENXIO)}; }

SystemError InvalidArgumentError() { return {static_cast<std::uint32_t>(EINVAL)}; }

SystemError NameTooLongError() { return {static_cast<std::uint32_t>(ENAMETOOLONG)}; }

SystemError UnmappableCharacterError() { return {static_cast<std::uint32_t>(EILSEQ)}; }

SystemError InvalidNameError() { return {static_cast<std::uint32_t>(EINVAL)}; }

SystemError NotARegularFileError() { return {kNotARegularFile}; }

SystemError FileExistsError() { return {static_cast<std::uint32_t>(EEXIST)}; }

bool IsRefusedName(SystemError error) {
  // EILSEQ and EINVAL: bytes or characters a file system (vfat, ntfs-3g) will not store.
  return error.code == ENAMETOOLONG || error.code == EILSEQ || error.code == EINVAL;
}

}  // namespace corvanel::platform
