// What the file functions of every system share, and the free-space value
// tests can fix.
#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/file_system.h"

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

}  // namespace corvanel::platform
