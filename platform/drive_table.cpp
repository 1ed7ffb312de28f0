// The drive table: letter -> device or image, its mount directory and the
// window of a partition.
#include "platform/drive_table.h"

#include <array>
#include <cctype>
#include <mutex>

namespace corvanel::platform {
namespace {

std::mutex tableMutex;
std::array<std::optional<DriveMapping>, 26> table;

std::optional<std::size_t> SlotOf(char letter) {
  auto c = static_cast<unsigned char>(letter);
  if (!std::isalpha(c)) return std::nullopt;
  return static_cast<std::size_t>(std::toupper(c) - 'A');
}

}  // namespace

bool MapDrive(char letter, DriveMapping mapping) {
  std::optional<std::size_t> slot = SlotOf(letter);
  if (!slot) return false;
  std::lock_guard lock(tableMutex);
  table[*slot] = std::move(mapping);
  return true;
}

void UnmapDrive(char letter) {
  std::optional<std::size_t> slot = SlotOf(letter);
  if (!slot) return;
  std::lock_guard lock(tableMutex);
  table[*slot].reset();
}

std::optional<DriveMapping> LookUpDrive(char letter) {
  std::optional<std::size_t> slot = SlotOf(letter);
  if (!slot) return std::nullopt;
  std::lock_guard lock(tableMutex);
  return table[*slot];
}

}  // namespace corvanel::platform
