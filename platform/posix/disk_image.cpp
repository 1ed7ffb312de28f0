// The four libyal libraries behind one reader. They share one shape (a handle
// opened by file name, reads at an offset, errors as objects to print and
// free), which the Library traits below spell out for each.
#include "platform/posix/disk_image.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <mutex>
#include <vector>

namespace corvanel::platform {
namespace {

// The library's innermost message, the cause (its backtrace runs from there
// out to the call made here), without the name of its function.
template <typename Error, typename Print, typename Free>
std::string TakeMessage(Error*& error, Print print, Free release) {
  if (error == nullptr) return {};
  std::array<char, 4096> text{};
  std::string message;
  if (print(error, text.data(), text.size()) > 0) message = text.data();
  release(&error);
  message.erase(std::min(message.find_first_of("\r\n"), message.size()));
  if (std::size_t colon = message.find(": "); colon != std::string::npos && message.find(' ') > colon)
    message.erase(0, colon + 2);
  return message;
}

// The calls every libyal library names alike, for its object (handle or file).
#define LIBYAL_CALLS(lib, object)                                              \
  using Handle = lib##_##object##_t;                                           \
  using Error = lib##_error_t;                                                 \
  static constexpr auto kInitialize = lib##_##object##_initialize;            \
  static constexpr auto kFree = lib##_##object##_free;                        \
  static constexpr auto kClose = lib##_##object##_close;                      \
  static constexpr auto kMediaSize = lib##_##object##_get_media_size;         \
  static constexpr auto kPrint = lib##_error_backtrace_sprint;                \
  static constexpr auto kFreeError = lib##_error_free;

// What a Library's Open gives, besides 1 and -1, for an image it opened but
// will not read; its kRefusal says why.
constexpr int kRefused = 0;

struct Ewf {
  LIBYAL_CALLS(libewf, handle)
  static constexpr auto kRead = libewf_handle_read_random;
  // Every segment file (E01, E02, ...) is opened together; a file named
  // otherwise is taken as the only segment.
  static int Open(Handle* handle, const std::string& path, Error** error) {
    char** names = nullptr;
    int count = 0;
    Error* unglobbed = nullptr;
    int opened = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &unglobbed) == 1) {
      opened = libewf_handle_open(handle, names, count, LIBEWF_OPEN_READ, error);
      libewf_glob_free(names, count, nullptr);
    } else {
      libewf_error_free(&unglobbed);
      char* only[] = {const_cast<char*>(path.c_str())};
      opened = libewf_handle_open(handle, only, 1, LIBEWF_OPEN_READ, error);
    }
    // A segment cut short still opens, its lost chunks then read as zeros.
    if (opened == 1 && libewf_handle_segment_files_corrupted(handle, error) != 0) return kRefused;
    return opened;
  }
  static constexpr const char* kRefusal = "its segment files are damaged or cut short";
};

struct Vhdi {
  LIBYAL_CALLS(libvhdi, file)
  static constexpr auto kRead = libvhdi_file_read_buffer_at_offset;
  // A differencing image reads through to its parent, which is not opened.
  static int Open(Handle* handle, const std::string& path, Error** error) {
    if (libvhdi_file_open(handle, path.c_str(), LIBVHDI_OPEN_READ, error) != 1) return -1;
    std::uint32_t type = 0;
    if (libvhdi_file_get_disk_type(handle, &type, error) != 1) return -1;
    return type == LIBVHDI_DISK_TYPE_DIFFERENTIAL ? kRefused : 1;
  }
  static constexpr const char* kRefusal = "a differencing image, whose parent image is not read";
};

struct Vmdk {
  LIBYAL_CALLS(libvmdk, handle)
  static constexpr auto kRead = libvmdk_handle_read_buffer_at_offset;
  // A descriptor names its extent files relative to its own folder.
  static int Open(Handle* handle, const std::string& path, Error** error) {
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    if (libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, error) != 1) return -1;
    if (libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), error) != 1) return -1;
    return libvmdk_handle_open_extent_data_files(handle, error);
  }
  static constexpr const char* kRefusal = "";
};

struct Qcow {
  LIBYAL_CALLS(libqcow, file)
  static constexpr auto kRead = libqcow_file_read_buffer_at_offset;
  // An overlay reads through to its backing file, which is not opened.
  static int Open(Handle* handle, const std::string& path, Error** error) {
    if (libqcow_file_open(handle, path.c_str(), LIBQCOW_OPEN_READ, error) != 1) return -1;
    std::size_t backingName = 0;
    const int backed = libqcow_file_get_utf8_backing_filename_size(handle, &backingName, error);
    return backed == -1 ? -1 : backed == 1 ? kRefused : 1;
  }
  static constexpr const char* kRefusal = "an overlay on a backing file, which is not read";
};

template <typename Library>
class LibraryImage final : public DiskImage {
 public:
  explicit LibraryImage(DiskImageFormat format) : format_(format) {}

  // Closing what never opened (or opened halfway) fails harmlessly.
  ~LibraryImage() override {
    if (handle_ == nullptr) return;
    Library::kClose(handle_, nullptr);
    Library::kFree(&handle_, nullptr);
  }

  bool Open(const std::string& path, SystemError& error) {
    typename Library::Error* failure = nullptr;
    bool done = Library::kInitialize(&handle_, &failure) == 1;
    const int result = done ? Library::Open(handle_, path, &failure) : -1;
    done = result == 1 && Library::kMediaSize(handle_, &size_, &failure) == 1;
    if (result == kRefused && failure == nullptr) {
      error = DiskImageError(format_, DiskImageProblem::Unreadable, Library::kRefusal);
    } else if (!done) {
      error = Failure(DiskImageProblem::Unreadable, failure);
    }
    return done;
  }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> buffer, SystemError& error) override {
    if (buffer.size() > size_ || offset > size_ - buffer.size()) {
      error = EndOfDeviceError();
      return false;
    }
    // The handles keep a read position and caches: one reader at a time.
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t done = 0;
    while (done < buffer.size()) {
      typename Library::Error* failure = nullptr;
      ssize_t got = Library::kRead(handle_, buffer.data() + done, buffer.size() - done,
                                   static_cast<off64_t>(offset + done), &failure);
      if (got <= 0) {
        error = Failure(DiskImageProblem::Unreadable, failure);
        return false;
      }
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  std::uint64_t Size() const override { return size_; }

 private:
  SystemError Failure(DiskImageProblem problem, typename Library::Error*& failure) {
    return DiskImageError(format_, problem, TakeMessage(failure, Library::kPrint, Library::kFreeError));
  }

  DiskImageFormat format_;
  typename Library::Handle* handle_ = nullptr;
  size64_t size_ = 0;
  std::mutex mutex_;
};

template <typename Library>
std::unique_ptr<DiskImage> OpenWith(const std::string& path, DiskImageFormat format, SystemError& error) {
  auto image = std::make_unique<LibraryImage<Library>>(format);
  if (!image->Open(path, error)) return nullptr;
  return image;
}

bool ReadFully(int fd, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    ssize_t got = ::pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(offset + done));
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// The format from the signatures of what is open on fd.
DiskImageFormat DetectDiskImage(int fd) {
  std::array<std::uint8_t, kDiskImageHeadSize> head{};
  std::array<std::uint8_t, kDiskImageTailSize> tail{};
  if (!ReadFully(fd, 0, head)) return DiskImageFormat::None;
  // The tail only of a file: a fixed VHD is a file, and a device's last
  // sector would be one read more for every open.
  struct stat status {};
  std::span<const std::uint8_t> last;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
      static_cast<std::uint64_t>(status.st_size) >= head.size() + tail.size() &&
      ReadFully(fd, static_cast<std::uint64_t>(status.st_size) - tail.size(), tail))
    last = tail;
  return DetectDiskImageFormat(head, last);
}

}  // namespace

std::optional<std::unique_ptr<DiskImage>> OpenIfDiskImage(int fd, const std::string& path, DeviceAccess access,
                                                          SystemError& error) {
  // A write-only descriptor cannot read the signatures: a second one can.
  const int probe = access == DeviceAccess::Write ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC) : fd;
  const DiskImageFormat format = probe < 0 ? DiskImageFormat::None : DetectDiskImage(probe);
  if (probe != fd && probe >= 0) ::close(probe);
  if (format == DiskImageFormat::None) return std::nullopt;
  if (access != DeviceAccess::Read) {
    error = DiskImageError(format, DiskImageProblem::ReadOnly);
    return std::unique_ptr<DiskImage>();
  }
  switch (format) {
    case DiskImageFormat::Ewf:
    case DiskImageFormat::Ewf2: return OpenWith<Ewf>(path, format, error);
    case DiskImageFormat::Vhd:
    case DiskImageFormat::Vhdx: return OpenWith<Vhdi>(path, format, error);
    case DiskImageFormat::Vmdk: return OpenWith<Vmdk>(path, format, error);
    case DiskImageFormat::Qcow: return OpenWith<Qcow>(path, format, error);
    case DiskImageFormat::None: break;
  }
  return std::nullopt;
}

}  // namespace corvanel::platform
