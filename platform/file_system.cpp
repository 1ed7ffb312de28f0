// What the file functions of every system share, and the free-space value
// tests can fix.
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

#include "platform/file_system.h"
#include "platform/console.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif
#include <cerrno>

namespace corvanel::platform {
namespace {
constexpr std::uint64_t kNoOverride = UINT64_MAX;
std::atomic<std::uint64_t> availableBytesOverride{kNoOverride};
}  // namespace

void SetAvailableBytesForTesting(std::optional<std::uint64_t> bytes) {
  availableBytesOverride = bytes.value_or(kNoOverride);
}

std::optional<std::uint64_t> AvailableBytesOverride() {
  std::uint64_t bytes = availableBytesOverride;
  if (bytes == kNoOverride) return std::nullopt;
  return bytes;
}

FileHandle::FileHandle(FileHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    SystemError ignored;
    Close(ignored);
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

FileHandle::~FileHandle() {
  SystemError ignored;
  Close(ignored);
}

StagedFile::StagedFile(StagedFile&& other) noexcept
    : NewFile(std::move(other)),
      scratch_(std::exchange(other.scratch_, {})),
      folder_(std::exchange(other.folder_, {})) {}

StagedFile& StagedFile::operator=(StagedFile&& other) noexcept {
  if (this != &other) {
    Discard();
    NewFile::operator=(std::move(other));
    scratch_ = std::exchange(other.scratch_, {});
    folder_ = std::exchange(other.folder_, {});
  }
  return *this;
}

StagedFile::~StagedFile() { Discard(); }

void StagedFile::Discard() {
  SystemError ignored;
  Close(ignored);
  if (!scratch_.empty()) RemoveFileAt(scratch_);
  scratch_.clear();
  folder_.clear();  // an unnamed file went with its handle
}

bool NamesFoldCase(std::u16string_view path) {
  SystemError ignored;
  const StagedFile probe = StagedFile::Create(path, ignored, StagedFile::Staging::Named);
  if (!probe.IsOpen()) return true;
  // The probe's own name in capitals ("~CRV0A1B2C.TMP") finds it only where case is folded.
  std::u16string capitals = probe.ScratchPath();
  for (std::size_t at = capitals.size(); at > 0 && !IsPathSeparator(capitals[at - 1]); --at)
    if (capitals[at - 1] >= u'a' && capitals[at - 1] <= u'z') capitals[at - 1] = static_cast<char16_t>(capitals[at - 1] - 32);
  return FileExistsAt(capitals);
}

std::optional<std::string> ReadDescriptorLine(int descriptor, SystemError& error) {
  std::string line;
  for (;;) {
    char byte = 0;
#ifdef _WIN32
    const int got = ::_read(descriptor, &byte, 1);
#else
    const auto got = ::read(descriptor, &byte, 1);
#endif
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = LastSystemError();
      if (error.code == 0) error = InvalidArgumentError();  // a descriptor the runtime does not know
      return std::nullopt;
    }
    if (got == 0 || byte == '\n') break;
    line += byte;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace corvanel::platform
