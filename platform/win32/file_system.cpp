// Ordinary files on Windows.
#include "platform/file_system.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwchar>

#include "base/owned.h"
#include "platform/text_encoding.h"

namespace corvanel::platform {

namespace {

void CloseKernelHandle(HANDLE handle) { ::CloseHandle(handle); }
void CloseSearch(HANDLE search) { ::FindClose(search); }
using OwnedHandle = Owned<HANDLE, CloseKernelHandle>;
using OwnedSearch = Owned<HANDLE, CloseSearch>;

// CreateFile's and FindFirstFile's "none" is INVALID_HANDLE_VALUE, an owner's is null.
template <typename Owner>
Owner OwnedOrNone(HANDLE handle) {
  return Owner(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct VolumeFileId {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

std::optional<VolumeFileId> IdentityOf(const std::string& ansiPath) {
  const auto file = OwnedOrNone<OwnedHandle>(::CreateFileA(ansiPath.c_str(), 0,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.get(), &information)) return std::nullopt;
  return VolumeFileId{information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
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
  std::optional<VolumeFileId> a = IdentityOf(ansiPathA), b = IdentityOf(ansiPathB);
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

// ---- files by UTF-16 paths ------------------------------------------------

namespace corvanel::platform {
namespace {

std::wstring Wide(std::u16string_view path) { return std::wstring(path.begin(), path.end()); }

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// A handle from CreateFile as stored, or the reason it failed (the stored
// value of INVALID_HANDLE_VALUE is the closed one).
std::intptr_t HandleOrError(HANDLE handle, SystemError& error) {
  if (handle == INVALID_HANDLE_VALUE) error = LastSystemError();
  return reinterpret_cast<std::intptr_t>(handle);
}

}  // namespace

// Always under a scratch name here: MoveFileEx is the cheapest safe way found to name a file.
StagedFile StagedFile::Create(std::u16string_view path, SystemError& error, Staging /*staging*/) {
  StagedFile file;
  const std::u16string target(path);
  const std::size_t separator = target.find_last_of(u"\\/");
  const std::u16string folder = separator == std::u16string::npos ? u"" : target.substr(0, separator + 1);
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t name[32];
    std::swprintf(name, 32, L"~crv%06x.tmp",
                  (static_cast<unsigned>(::GetCurrentProcessId()) * 7919u + serial++ * 104729u) & 0xFFFFFFu);
    const std::u16string scratch = folder + std::u16string(name, name + std::wcslen(name));
    // CREATE_NEW: never a file or link that is already there.
    HANDLE handle = ::CreateFileW(Wide(scratch).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      file.handle_ = reinterpret_cast<std::intptr_t>(handle);
      file.scratch_ = scratch;
      return file;
    }
    if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  error = LastSystemError();
  return file;
}

bool StagedFile::Commit(std::u16string_view path, SystemError& error, Existing existing) {
  if (scratch_.empty() || !Close(error)) return false;
  // A rename replaces the directory entry itself, a reparse point included.
  if (!::MoveFileExW(Wide(scratch_).c_str(), Wide(path).c_str(),
                     existing == Existing::Replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    error = LastSystemError();
    if (error.code == ERROR_ALREADY_EXISTS) error = FileExistsError();
    return false;
  }
  scratch_.clear();
  return true;
}

NewFile NewFile::CreateAnsi(const std::string& ansiPath, SystemError& error) {
  NewFile file;
  file.handle_ = HandleOrError(::CreateFileA(ansiPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                               error);
  return file;
}

InputFile InputFile::Open(const std::string& ansiPath, SystemError& error) {
  // Sequential scan: the cache manager reads further ahead.
  InputFile file;
  file.handle_ = HandleOrError(::CreateFileA(ansiPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr),
                               error);
  return file;
}

namespace {

// A copy of a standard handle, closed by its FileHandle without closing the process's own.
std::intptr_t StandardHandleCopy(DWORD which, SystemError& error) {
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(which), ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    error = LastSystemError();
    return -1;
  }
  return reinterpret_cast<std::intptr_t>(copy);
}

}  // namespace

InputFile InputFile::StandardInput(SystemError& error) {
  InputFile file;
  file.handle_ = StandardHandleCopy(STD_INPUT_HANDLE, error);
  return file;
}

NewFile NewFile::StandardOutput(SystemError& error) {
  NewFile file;
  file.handle_ = StandardHandleCopy(STD_OUTPUT_HANDLE, error);
  return file;
}

std::optional<std::size_t> InputFile::Read(std::span<std::uint8_t> bytes, SystemError& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(AsHandle(handle_), bytes.data() + done, chunk, &got, nullptr)) {
      // A pipe whose writer is done reads as its end.
      if (::GetLastError() == ERROR_BROKEN_PIPE) break;
      error = LastSystemError();
      return std::nullopt;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool NewFile::Write(std::span<const std::uint8_t> bytes, SystemError& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(AsHandle(handle_), bytes.data() + done, chunk, &put, nullptr)) {
      error = LastSystemError();
      return false;
    }
    if (put == 0) {
      error = EndOfDeviceError();
      return false;
    }
    done += put;
  }
  return true;
}

bool NewFile::SetTimes(std::uint64_t created, std::uint64_t modified, std::uint64_t accessed, bool local,
                       SystemError& error) {
  FILETIME times[3]{};
  const std::uint64_t ticks[3] = {created, accessed, modified};
  for (int i = 0; i < 3; ++i) {
    times[i].dwLowDateTime = static_cast<DWORD>(ticks[i]);
    times[i].dwHighDateTime = static_cast<DWORD>(ticks[i] >> 32);
    if (local && ticks[i] != 0) {
      const FILETIME wallClock = times[i];
      if (!::LocalFileTimeToFileTime(&wallClock, &times[i])) {
        error = LastSystemError();
        return false;
      }
    }
  }
  auto given = [&](int i) { return ticks[i] != 0 ? &times[i] : nullptr; };
  if (::SetFileTime(AsHandle(handle_), given(0), given(1), given(2))) return true;
  error = LastSystemError();
  return false;
}

bool FileHandle::Close(SystemError& error) {
  if (handle_ == kClosed) return true;
  bool closed = ::CloseHandle(AsHandle(handle_)) != 0;
  handle_ = kClosed;
  if (!closed) error = LastSystemError();
  return closed;
}

bool RemoveFileAt(std::u16string_view path) { return ::DeleteFileW(Wide(path).c_str()) != 0; }

std::optional<std::uint64_t> FileSizeAt(std::u16string_view path, SystemError& error) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
    error = LastSystemError();
    return std::nullopt;
  }
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    error = NotARegularFileError();
    return std::nullopt;
  }
  return std::uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
}

bool DeleteFileAt(std::u16string_view path, SystemError& error) {
  if (::DeleteFileW(Wide(path).c_str())) return true;
  error = LastSystemError();
  return false;
}

bool TruncateFileAt(std::u16string_view path, SystemError& error) {
  const auto file = OwnedOrNone<OwnedHandle>(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                                           OPEN_EXISTING,
                                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    error = LastSystemError();
    return false;
  }
  const bool cut = ::SetEndOfFile(file.get()) && ::FlushFileBuffers(file.get());
  if (!cut) error = LastSystemError();
  return cut;
}

bool RenameFileAt(std::u16string_view from, std::u16string_view to, SystemError& error) {
  if (::MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), 0)) return true;
  error = LastSystemError();
  return false;
}

std::optional<std::uint64_t> OverwriteWithZeros(std::u16string_view path,
                                                const std::optional<std::vector<ByteRange>>& ranges, SystemError& error) {
  // Write-through, so the zeros reach the volume's clusters, not only the cache.
  const auto owned = OwnedOrNone<OwnedHandle>(
      ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!owned) {
    error = LastSystemError();
    return std::nullopt;
  }
  HANDLE file = owned.get();
  LARGE_INTEGER sizeField{};
  bool ok = ::GetFileSizeEx(file, &sizeField) != 0;
  const auto size = ok ? static_cast<std::uint64_t>(sizeField.QuadPart) : 0;
  const std::vector<ByteRange> whole{{0, size}};
  const std::vector<std::uint8_t> zeros(std::size_t{1} << 20, 0);
  std::uint64_t written = 0;
  for (const ByteRange& range : ranges ? *ranges : whole) {
    if (!ok || range.offset >= size) continue;
    const std::uint64_t end = range.offset + std::min(range.length, size - range.offset);
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(range.offset);
    ok = ::SetFilePointerEx(file, position, nullptr, FILE_BEGIN) != 0;
    for (std::uint64_t at = range.offset; ok && at < end;) {
      DWORD chunk = static_cast<DWORD>(std::min<std::uint64_t>(zeros.size(), end - at));
      DWORD put = 0;
      ok = ::WriteFile(file, zeros.data(), chunk, &put, nullptr) && put == chunk;
      at += put;
      written += put;
    }
  }
  ok = ok && ::FlushFileBuffers(file);
  if (!ok) {
    error = LastSystemError();
    return std::nullopt;
  }
  return written;
}

bool FileExistsAt(std::u16string_view path) {
  return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(std::u16string_view path) {
  DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeRealFolder(std::u16string_view path, SystemError& error) {
  const std::wstring wide = Wide(path);
  if (::CreateDirectoryW(wide.c_str(), nullptr)) return true;
  error = LastSystemError();
  if (error.code != ERROR_ALREADY_EXISTS) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return true;
  error = SystemError{static_cast<std::uint32_t>((attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? ERROR_CANT_ACCESS_FILE
                                                                                    : ERROR_DIRECTORY)};
  return false;
}

std::vector<std::u16string> DirectoryNames(std::u16string_view directory) {
  std::vector<std::u16string> names;
  std::wstring pattern = Wide(directory);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW found;
  const auto search = OwnedOrNone<OwnedSearch>(::FindFirstFileW(pattern.c_str(), &found));
  if (!search) return names;
  do {
    std::wstring_view name = found.cFileName;
    if (name != L"." && name != L"..") names.emplace_back(name.begin(), name.end());
  } while (::FindNextFileW(search.get(), &found));
  return names;
}

std::optional<FileIdentity> IdentifyFile(std::u16string_view path, SystemError& error) {
  const auto file = OwnedOrNone<OwnedHandle>(::CreateFileW(Wide(path).c_str(), 0,
                                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                           nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    error = LastSystemError();
    return std::nullopt;
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!::GetFileInformationByHandle(file.get(), &information)) {
    error = LastSystemError();
    return std::nullopt;
  }
  if (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) {
    error = NotARegularFileError();
    return std::nullopt;
  }
  return FileIdentity{std::uint64_t{information.nFileIndexHigh} << 32 | information.nFileIndexLow,
                      information.nNumberOfLinks,
                      std::uint64_t{information.nFileSizeHigh} << 32 | information.nFileSizeLow};
}

bool PathIsOnVolume(std::u16string_view path, char driveLetter) {
  // The volume that holds the path, through mount points, against the drive's.
  wchar_t volumePath[MAX_PATH];
  if (!::GetVolumePathNameW(Wide(path).c_str(), volumePath, MAX_PATH)) {
    return path.size() >= 2 && path[1] == u':' &&
           (path[0] | 0x20) == (static_cast<char16_t>(static_cast<unsigned char>(driveLetter)) | 0x20);
  }
  wchar_t pathVolume[64], driveVolume[64];
  wchar_t drive[] = L"A:\\";
  drive[0] = static_cast<wchar_t>(static_cast<unsigned char>(driveLetter));
  if (::GetVolumeNameForVolumeMountPointW(volumePath, pathVolume, 64) &&
      ::GetVolumeNameForVolumeMountPointW(drive, driveVolume, 64))
    return std::wstring_view(pathVolume) == std::wstring_view(driveVolume);
  return (volumePath[0] | 0x20) == (drive[0] | 0x20);
}

}  // namespace corvanel::platform
