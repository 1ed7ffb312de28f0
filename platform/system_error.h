// Operating-system error numbers and their texts.
#pragma once

#include <cstdint>
#include <string>

namespace corvanel::platform {

// GetLastError() on Windows, errno elsewhere.
struct SystemError {
  std::uint32_t code = 0;
};

// The error of the calling thread's last failed system call.
SystemError LastSystemError();

// The system's own text for an error (FormatMessageW, strerror); Windows texts
// end with their line break.
std::u16string SystemErrorMessage(SystemError error);

// What a transfer reports when it would reach past the end of a device.
SystemError EndOfDeviceError();

// "The parameter is incorrect" and its kin, for calls refused before they start.
SystemError InvalidArgumentError();

// A path longer than the system takes.
SystemError NameTooLongError();

// A character that the ANSI code page cannot hold.
SystemError UnmappableCharacterError();

// A file name the system would not take, or that would leave its directory.
SystemError InvalidNameError();

// A directory or device where a regular file was expected.
SystemError NotARegularFileError();

// A file that would be overwritten while it is being read.
SystemError FileExistsError();

// Whether the system refused a file name itself (too long, a character the
// file system does not take), rather than the folder or the device failing.
bool IsRefusedName(SystemError error);

}  // namespace corvanel::platform
