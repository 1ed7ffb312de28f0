// The drive table: letter -> device or image, and its mount directory.
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

std::optional<char> FreeDriveLetter() {
  std::lock_guard lock(tableMutex);
  for (char letter = 'C'; letter <= 'Z'; ++letter)
    if (!table[static_cast<std::size_t>(letter - 'A')]) return letter;
  return std::nullopt;
}

std::optional<std::string> HostPathFor(std::string_view drivePath) {
  if (drivePath.size() < 2 || drivePath[1] != ':') return std::nullopt;
  std::optional<DriveMapping> mapping = LookUpDrive(drivePath[0]);
  if (!mapping || mapping->mountDirectory.empty()) return std::nullopt;
  std::string rest(drivePath.substr(2));
  for (char& c : rest)
    if (c == '\\') c = '/';
  std::string host = mapping->mountDirectory;
  while (host.size() > 1 && host.back() == '/') host.pop_back();
  if (rest.empty() || rest.front() != '/') rest.insert(rest.begin(), '/');
  return host == "/" ? rest : host + rest;
}

}  // namespace corvanel::platform
