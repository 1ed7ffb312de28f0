// Error numbers on Windows: GetLastError and FormatMessageW.
#include "platform/system_error.h"

#include "platform/disk_image_format.h"

#include <windows.h>

namespace corvanel::platform {

SystemError LastSystemError() { return {static_cast<std::uint32_t>(::GetLastError())}; }

std::u16string SystemErrorMessage(SystemError error) {
  if (std::optional<std::u16string> image = DiskImageErrorMessage(error)) return *image;
  wchar_t* text = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
      error.code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string message;
  if (length != 0 && text != nullptr) message.assign(reinterpret_cast<const char16_t*>(text), length);
  if (text != nullptr) ::LocalFree(text);
  return message;
}

SystemError EndOfDeviceError() { return {ERROR_HANDLE_EOF}; }

SystemError InvalidArgumentError() { return {ERROR_INVALID_PARAMETER}; }

SystemError NameTooLongError() { return {ERROR_FILENAME_EXCED_RANGE}; }

SystemError UnmappableCharacterError() { return {ERROR_NO_UNICODE_TRANSLATION}; }

SystemError InvalidNameError() { return {ERROR_INVALID_NAME}; }

// What opening a directory as a file gives.
SystemError NotARegularFileError() { return {ERROR_ACCESS_DENIED}; }

SystemError FileExistsError() { return {ERROR_FILE_EXISTS}; }

bool IsRefusedName(SystemError error) {
  return error.code == ERROR_INVALID_NAME || error.code == ERROR_FILENAME_EXCED_RANGE ||
         error.code == ERROR_BAD_PATHNAME;
}

}  // namespace corvanel::platform
