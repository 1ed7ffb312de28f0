// Ordinary files on Windows.
#include "platform/file_system.h"

#include <windows.h>

#include "platform/text_encoding.h"

namespace corvanel::platform {

namespace {

struct FileIdentity {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

std::optional<FileIdentity> IdentityOf(const std::string& ansiPath) {
  HANDLE file = ::CreateFileA(ansiPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information{};
  bool known = ::GetFileInformationByHandle(file, &information) != 0;
  ::CloseHandle(file);
  if (!known) return std::nullopt;
  return FileIdentity{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
}

}  // namespace

// MAX_PATH less its terminating zero.
std::size_t MaxAnsiPathLength() { return MAX_PATH - 1; }

bool IsPathSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

std::uint64_t AvailableBytes(std::u16string_view path) {
  if (std::optional<std::uint64_t> fixed = AvailableBytesOverride()) return *fixed;
  // The file's own directory: right for drive paths, mount points and shares.
  std::size_t separator = path.find_last_of(u"\\/");
  std::wstring directory = separator == std::u16string_view::npos
                               ? std::wstring(L".\\")
                               : std::wstring(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(separator) + 1);
  ULARGE_INTEGER available{};
  if (!::GetDiskFreeSpaceExW(directory.c_str(), &available, nullptr, nullptr)) return 0;
  return available.QuadPart;
}

std::optional<std::uint64_t> RegularFileSize(const std::string& ansiPath, SystemError& error) {
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (!::GetFileAttributesExA(ansiPath.c_str(), GetFileExInfoStandard, &attributes)) {
    error = LastSystemError();
    return std::nullopt;
  }
  if (attributes.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    error = NotARegularFileError();
    return std::nullopt;
  }
  return (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
}

bool IsSameFile(const std::string& ansiPathA, const std::string& ansiPathB) {
  std::optional<FileIdentity> a = IdentityOf(ansiPathA), b = IdentityOf(ansiPathB);
  return a && b && a->volume == b->volume && a->indexHigh == b->indexHigh && a->indexLow == b->indexLow;
}

bool FileExists(const std::string& ansiPath) {
  return ::GetFileAttributesA(ansiPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool RenameOver(const std::string& fromAnsiPath, const std::string& toAnsiPath, SystemError& error) {
  if (::MoveFileExA(fromAnsiPath.c_str(), toAnsiPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  error = LastSystemError();
  return false;
}

bool RemoveFile(const std::string& ansiPath) {
  // The wide form names the same file; fall back to the narrow call for
  // bytes the code page cannot read back.
  if (std::optional<std::u16string> wide = FromAnsi(ansiPath))
    return ::DeleteFileW(reinterpret_cast<const wchar_t*>(wide->c_str())) != 0;
  return ::DeleteFileA(ansiPath.c_str()) != 0;
}

}  // namespace corvanel::platform
