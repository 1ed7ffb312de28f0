// What the file functions of every system share, and the free-space value
// tests can fix.
#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

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

NewFile::NewFile(NewFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kClosed)), scratch_(std::move(other.scratch_)) {
  other.scratch_.clear();
}

NewFile& NewFile::operator=(NewFile&& other) noexcept {
  if (this != &other) {
    Discard();
    handle_ = std::exchange(other.handle_, kClosed);
    scratch_ = std::move(other.scratch_);
    other.scratch_.clear();
  }
  return *this;
}

NewFile::~NewFile() { Discard(); }

void NewFile::Discard() {
  SystemError ignored;
  Close(ignored);
  if (!scratch_.empty()) RemoveFileAt(scratch_);
  scratch_.clear();
}

}  // namespace corvanel::platform
