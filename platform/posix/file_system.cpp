// Ordinary files on POSIX systems.
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <unordered_map>

#include "platform/drive_table.h"
#include "platform/text_encoding.h"

namespace corvanel::platform {

namespace {

// A descriptor from open as stored (-1 is the closed value), or the reason it failed.
std::intptr_t DescriptorOrError(int fd, SystemError& error) {
  if (fd < 0) error = LastSystemError();
  return fd;
}

}  // namespace

std::size_t MaxAnsiPathLength() { return PATH_MAX - 1; }

bool IsPathSeparator(char16_t c) { return c == u'/'; }

std::uint64_t AvailableBytes(std::u16string_view path) {
  if (std::optional<std::uint64_t> fixed = AvailableBytesOverride()) return *fixed;
  std::u16string directory(path);
  std::size_t slash = directory.rfind(u'/');
  directory = slash == std::u16string::npos ? u"." : slash == 0 ? u"/" : directory.substr(0, slash);
  std::optional<std::string> ansi = ToNarrowPath(directory);
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

InputFile InputFile::Open(const std::string& ansiPath, SystemError& error) {
  InputFile file;
  file.handle_ = DescriptorOrError(::open(ansiPath.c_str(), O_RDONLY | O_CLOEXEC), error);
  // Doubles the read-ahead: measured faster on files not yet in the cache.
  if (file.IsOpen()) ::posix_fadvise(static_cast<int>(file.handle_), 0, 0, POSIX_FADV_SEQUENTIAL);
  return file;
}

InputFile InputFile::StandardInput(SystemError& error) {
  InputFile file;
  file.handle_ = DescriptorOrError(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3), error);
  return file;
}

NewFile NewFile::StandardOutput(SystemError& error) {
  NewFile file;
  file.handle_ = DescriptorOrError(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3), error);
  return file;
}

std::optional<std::size_t> InputFile::Read(std::span<std::uint8_t> bytes, SystemError& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t got = ::read(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = LastSystemError();
      return std::nullopt;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

NewFile NewFile::CreateAnsi(const std::string& ansiPath, SystemError& error) {
  NewFile file;
  file.handle_ = DescriptorOrError(::open(ansiPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644), error);
  return file;
}

bool RenameOver(const std::string& fromAnsiPath, const std::string& toAnsiPath, SystemError& error) {
  if (std::rename(fromAnsiPath.c_str(), toAnsiPath.c_str()) == 0) return true;
  error = LastSystemError();
  return false;
}

}  // namespace corvanel::platform

// ---- files by UTF-16 paths ------------------------------------------------

namespace corvanel::platform {
namespace {

// "X:\dir\file" on a drive of the drive table that is mounted names a file
// under its mount directory; any other path is taken as it stands.
std::string HostPath(std::u16string_view path) {
  std::string utf8 = Utf16ToUtf8(path);
  if (utf8.size() >= 3 && utf8[1] == ':' && utf8[2] == '\\') {
    if (std::optional<std::string> mapped = HostPathFor(utf8)) return *mapped;
  }
  return utf8;
}

// The mount directories of a device or image file, from the mount table.
std::vector<std::string> MountDirectoriesOf(const std::string& device) {
  std::vector<std::string> directories;
  struct stat wanted {};
  const bool known = ::stat(device.c_str(), &wanted) == 0;
  for (const MountEntry& entry : ReadMountTable()) {
    struct stat candidate {};
    const std::string source = MountSource(entry);
    bool same = source == device ||
                (known && ::stat(source.c_str(), &candidate) == 0 &&
                 ((S_ISBLK(wanted.st_mode) && S_ISBLK(candidate.st_mode) && wanted.st_rdev == candidate.st_rdev) ||
                  (S_ISREG(wanted.st_mode) && wanted.st_dev == candidate.st_dev && wanted.st_ino == candidate.st_ino)));
    if (same) directories.push_back(entry.mountPoint);
  }
  return directories;
}

}  // namespace

namespace {

// A scratch name in folder ("" the working folder) for each try: "~crv" and six hex digits.
std::string ScratchName(const std::string& folder) {
  static std::atomic<unsigned> serial{0};
  char name[32];
  std::snprintf(name, sizeof name, "~crv%06x.tmp",
                (static_cast<unsigned>(::getpid()) * 7919u + serial++ * 104729u) & 0xFFFFFFu);
  return folder + name;
}

// Whether an open file can be given a name through /proc/self/fd (linkat
// with AT_SYMLINK_FOLLOW, which needs no privilege, unlike AT_EMPTY_PATH).
bool DescriptorsLinkable() {
  static const bool linkable = ::access("/proc/self/fd", X_OK) == 0;
  return linkable;
}

std::string DescriptorPath(std::intptr_t fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Names an open unnamed file: by the descriptor itself where the process may
// (AT_EMPTY_PATH wants CAP_DAC_READ_SEARCH; no path to resolve), else through
// /proc. Whether the first works is learnt from its first refusal.
int LinkDescriptor(std::intptr_t fd, const char* name) {
  static std::atomic<bool> byDescriptor{true};
  if (byDescriptor) {
    if (::linkat(static_cast<int>(fd), "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT && errno != EPERM) return -1;
    if (::linkat(AT_FDCWD, DescriptorPath(fd).c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) != 0) return -1;
    byDescriptor = false;
    return 0;
  }
  return ::linkat(AT_FDCWD, DescriptorPath(fd).c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW);
}

// Links an open unnamed file under a fresh scratch name in folder.
bool LinkUnderScratchName(std::intptr_t fd, const std::string& folder, std::string& scratch, SystemError& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    scratch = ScratchName(folder);
    if (LinkDescriptor(fd, scratch.c_str()) == 0) return true;
    if (errno != EEXIST) break;
  }
  error = LastSystemError();
  return false;
}

}  // namespace

StagedFile StagedFile::Create(std::u16string_view path, SystemError& error, Staging staging) {
  StagedFile file;
  const std::string host = HostPath(path);
  const std::size_t slash = host.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : host.substr(0, slash + 1);
  if (staging == Staging::Unnamed && DescriptorsLinkable()) {
    // Unnamed: no name to create, rename or clean up, and a crash leaves nothing.
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) {
      file.handle_ = fd;
      file.folder_ = folder.empty() ? "./" : folder;
      return file;
    }
    // Refused where the file system has no unnamed files (EOPNOTSUPP, EISDIR,
    // EINVAL: FUSE, some others): a scratch name instead, which also gives
    // any other failure the reason it always had.
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string scratch = ScratchName(folder);
    // O_EXCL with O_NOFOLLOW: never a file someone else made, never through a link.
    int fd = ::open(scratch.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      file.handle_ = fd;
      file.scratch_ = Utf8ToUtf16(scratch);
      return file;
    }
    if (errno != EEXIST) break;
  }
  error = LastSystemError();
  return file;
}

bool StagedFile::Commit(std::u16string_view path, SystemError& error, Existing existing) {
  const std::string target = HostPath(path);
  if (!folder_.empty()) {
    // linkat never replaces a name; where that is wanted the file is linked
    // under a scratch name and renamed over it below, as a named one is.
    if (LinkDescriptor(handle_, target.c_str()) == 0) {
      folder_.clear();
      if (Close(error)) return true;
      ::unlink(target.c_str());  // its last bytes were not written: the name goes with it
      return false;
    }
    if (errno != EEXIST || existing == Existing::Keep) {
      error = LastSystemError();
      return false;
    }
    std::string scratch;
    if (!LinkUnderScratchName(handle_, folder_, scratch, error)) return false;
    scratch_ = Utf8ToUtf16(scratch);
    folder_.clear();
  }
  if (scratch_.empty() || !Close(error)) return false;
  if (existing == Existing::Keep) {
    if (!RenameFileAt(scratch_, path, error)) return false;
  } else if (::rename(HostPath(scratch_).c_str(), target.c_str()) != 0) {
    // rename() replaces the directory entry itself, a symbolic link included.
    error = LastSystemError();
    return false;
  }
  scratch_.clear();
  return true;
}

bool NewFile::Write(std::span<const std::uint8_t> bytes, SystemError& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = ::write(static_cast<int>(handle_), bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      error = put < 0 ? LastSystemError() : EndOfDeviceError();
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool NewFile::SetTimes(std::uint64_t /*created*/, std::uint64_t modified, std::uint64_t accessed, bool local,
                       SystemError& error) {
  constexpr std::int64_t kSecondsBefore1970 = 11'644'473'600;
  auto toTimespec = [local](std::uint64_t ticks) {
    timespec time{0, UTIME_OMIT};
    if (ticks == 0) return time;
    std::int64_t seconds = static_cast<std::int64_t>(ticks / 10'000'000) - kSecondsBefore1970;
    if (local) {
      // The wall clock as this machine's zone reads it, whatever daylight
      // saving says then. mktime looks at the zone file each time (a stat a
      // file): its answer is kept for each quarter hour of wall clock, as
      // zones change their offset only on quarter hours.
      constexpr std::int64_t kQuarter = 900;
      thread_local std::unordered_map<std::int64_t, std::int64_t> known;
      const std::int64_t quarter = seconds - ((seconds % kQuarter) + kQuarter) % kQuarter;
      if (auto found = known.find(quarter); found != known.end()) {
        seconds = found->second + (seconds - quarter);
      } else {
        const std::time_t asUtc = static_cast<std::time_t>(seconds);
        std::tm clock{};
        gmtime_r(&asUtc, &clock);
        clock.tm_isdst = -1;
        const std::int64_t utc = static_cast<std::int64_t>(std::mktime(&clock));
        if (known.size() >= 4096) known.clear();
        if (utc != -1) known[quarter] = utc - (seconds - quarter);
        seconds = utc;
      }
    }
    time.tv_sec = static_cast<std::time_t>(seconds);
    time.tv_nsec = static_cast<long>(ticks % 10'000'000 * 100);
    return time;
  };
  const timespec times[2] = {toTimespec(accessed), toTimespec(modified)};
  if (::futimens(static_cast<int>(handle_), times) == 0) return true;
  error = LastSystemError();
  return false;
}

bool FileHandle::Close(SystemError& error) {
  if (handle_ == kClosed) return true;
  int result = ::close(static_cast<int>(handle_));
  handle_ = kClosed;
  if (result != 0) {
    error = LastSystemError();
    return false;
  }
  return true;
}

bool RemoveFileAt(std::u16string_view path) { return ::unlink(HostPath(path).c_str()) == 0; }

std::optional<std::uint64_t> FileSizeAt(std::u16string_view path, SystemError& error) {
  return RegularFileSize(HostPath(path), error);
}

bool DeleteFileAt(std::u16string_view path, SystemError& error) {
  const std::string host = HostPath(path);
  if (::unlink(host.c_str()) != 0) {
    error = LastSystemError();
    return false;
  }
  // The deletion put on the volume now, where the file system would keep it
  // back (exfat-fuse holds its allocation bitmap in memory until a sync):
  // what reads the volume next must see the clusters free. Best effort.
  const std::string folder = std::filesystem::path(host).parent_path().string();
  const int directory = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

bool TruncateFileAt(std::u16string_view path, SystemError& error) {
  if (::truncate(HostPath(path).c_str(), 0) == 0) return true;
  error = LastSystemError();
  return false;
}

bool RenameFileAt(std::u16string_view from, std::u16string_view to, SystemError& error) {
  const std::string source = HostPath(from);
  const std::string target = HostPath(to);
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) {
    error = LastSystemError();
    return false;
  }
  // A FUSE daemon of an older protocol takes no flags: look first, then rename.
  struct stat status {};
  if (::lstat(target.c_str(), &status) == 0) {
    error.code = EEXIST;
    return false;
  }
  if (::rename(source.c_str(), target.c_str()) == 0) return true;
  error = LastSystemError();
  return false;
}

std::optional<std::uint64_t> OverwriteWithZeros(std::u16string_view path,
                                                const std::optional<std::vector<ByteRange>>& ranges, SystemError& error) {
  // Direct I/O, as shred(1) does: through a FUSE file system buffered writes
  // go to the daemon a page at a time, and nothing needs the page cache here.
  int fd = ::open(HostPath(path).c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_DIRECT);
  if (fd < 0 && errno == EINVAL) fd = ::open(HostPath(path).c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    error = LastSystemError();
    return std::nullopt;
  }
  struct stat status {};
  bool ok = ::fstat(fd, &status) == 0;
  if (ok && !S_ISREG(status.st_mode)) {
    ::close(fd);
    error = NotARegularFileError();
    return std::nullopt;
  }
  const auto size = ok ? static_cast<std::uint64_t>(status.st_size) : 0;
  const std::vector<ByteRange> whole{{0, size}};
  constexpr std::size_t kBlock = std::size_t{4} << 20;
  // Direct I/O wants an aligned buffer.
  std::unique_ptr<std::uint8_t, decltype(&std::free)> zeros(static_cast<std::uint8_t*>(std::aligned_alloc(4096, kBlock)),
                                                            &std::free);
  if (!zeros) {
    ::close(fd);
    error.code = ENOMEM;
    return std::nullopt;
  }
  std::memset(zeros.get(), 0, kBlock);
  std::uint64_t written = 0;
  for (const ByteRange& range : ranges ? *ranges : whole) {
    if (range.offset >= size) continue;
    const std::uint64_t end = range.offset + std::min(range.length, size - range.offset);
    for (std::uint64_t at = range.offset; ok && at < end;) {
      std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - at));
      ssize_t put = ::pwrite(fd, zeros.get(), chunk, static_cast<off_t>(at));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && errno == EINVAL && (::fcntl(fd, F_GETFL) & O_DIRECT)) {
        // An unaligned piece (the file's tail): on without direct I/O.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_DIRECT);
        continue;
      }
      if (put <= 0) {
        ok = false;
        break;
      }
      at += static_cast<std::uint64_t>(put);
      written += static_cast<std::uint64_t>(put);
    }
  }
  ok = ok && ::fsync(fd) == 0;
  if (!ok) error = LastSystemError();
  ::close(fd);
  if (!ok) return std::nullopt;
  return written;
}

bool FileExistsAt(std::u16string_view path) {
  struct stat status {};
  return ::lstat(HostPath(path).c_str(), &status) == 0;
}

bool IsDirectory(std::u16string_view path) {
  struct stat status {};
  return ::stat(HostPath(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool MakeRealFolder(std::u16string_view path, SystemError& error) {
  const std::string host = HostPath(path);
  if (::mkdir(host.c_str(), 0755) == 0) return true;
  if (errno != EEXIST) {
    error = LastSystemError();
    return false;
  }
  struct stat status {};
  if (::lstat(host.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
  error = S_ISLNK(status.st_mode) ? SystemError{ELOOP} : SystemError{ENOTDIR};
  return false;
}

std::vector<std::u16string> DirectoryNames(std::u16string_view directory) {
  std::vector<std::u16string> names;
  DIR* listing = ::opendir(HostPath(directory).c_str());
  if (!listing) return names;
  while (dirent* entry = ::readdir(listing)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.push_back(Utf8ToUtf16(name));
  }
  ::closedir(listing);
  return names;
}

bool PathIsOnVolume(std::u16string_view path, char driveLetter) {
  std::optional<DriveMapping> mapping = LookUpDrive(driveLetter);
  if (!mapping) return false;
  // A folder still to be made would land on the volume of its nearest existing parent.
  std::error_code ignored;
  std::filesystem::path nearest = std::filesystem::absolute(HostPath(path), ignored);
  struct stat target {};
  while (::stat(nearest.c_str(), &target) != 0) {
    if (!nearest.has_relative_path()) return false;
    nearest = nearest.parent_path();
  }
  std::vector<std::string> mounts = MountDirectoriesOf(mapping->device);
  if (!mapping->mountDirectory.empty()) mounts.push_back(mapping->mountDirectory);
  for (const std::string& mount : mounts) {
    struct stat mounted {};
    if (::stat(mount.c_str(), &mounted) == 0 && mounted.st_dev == target.st_dev) return true;
  }
  return false;
}

std::optional<FileIdentity> IdentifyFile(std::u16string_view path, SystemError& error) {
  struct stat status {};
  if (::lstat(HostPath(path).c_str(), &status) != 0) {
    error = LastSystemError();
    return std::nullopt;
  }
  if (!S_ISREG(status.st_mode)) {
    error = NotARegularFileError();
    return std::nullopt;
  }
  return FileIdentity{static_cast<std::uint64_t>(status.st_ino), static_cast<std::uint32_t>(status.st_nlink),
                      static_cast<std::uint64_t>(status.st_size)};
}

}  // namespace corvanel::platform
