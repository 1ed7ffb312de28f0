// Ordinary files on POSIX systems.
#include "platform/file_system.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <cstdio>

#include "platform/text_encoding.h"

namespace corvanel::platform {

std::size_t MaxAnsiPathLength() { return PATH_MAX - 1; }

bool IsPathSeparator(char16_t c) { return c == u'/'; }

std::uint64_t AvailableBytes(std::u16string_view path) {
  if (std::optional<std::uint64_t> fixed = AvailableBytesOverride()) return *fixed;
  std::u16string directory(path);
  std::size_t slash = directory.rfind(u'/');
  directory = slash == std::u16string::npos ? u"." : slash == 0 ? u"/" : directory.substr(0, slash);
  std::optional<std::string> ansi = ToAnsi(directory);
  struct statvfs volume {};
  if (!ansi || ::statvfs(ansi->c_str(), &volume) != 0) return 0;
  return std::uint64_t{volume.f_bavail} * volume.f_frsize;
}

std::optional<std::uint64_t> RegularFileSize(const std::string& ansiPath, SystemError& error) {
  struct stat status {};
  if (::stat(ansiPath.c_str(), &status) != 0) {
    error = LastSystemError();
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    error = NotARegularFileError();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(status.st_size);
}

bool IsSameFile(const std::string& ansiPathA, const std::string& ansiPathB) {
  struct stat a {}, b {};
  return ::stat(ansiPathA.c_str(), &a) == 0 && ::stat(ansiPathB.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

bool RemoveFile(const std::string& ansiPath) { return ::unlink(ansiPath.c_str()) == 0; }

bool FileExists(const std::string& ansiPath) {
  struct stat status {};
  return ::lstat(ansiPath.c_str(), &status) == 0;
}

bool RenameOver(const std::string& fromAnsiPath, const std::string& toAnsiPath, SystemError& error) {
  if (std::rename(fromAnsiPath.c_str(), toAnsiPath.c_str()) == 0) return true;
  error = LastSystemError();
  return false;
}

}  // namespace corvanel::platform
