// The drive table: letter -> device or image, and its mount directory.
#include "platform/drive_table.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <array>
#include <cctype>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

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

namespace {

// Mount table fields escape blanks, tabs, newlines and backslashes as \ooo.
std::string Unescaped(const std::string& field) {
  std::string decoded;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && std::isdigit(static_cast<unsigned char>(field[i + 1]))) {
      decoded += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      decoded += field[i];
    }
  }
  return decoded;
}

}  // namespace

std::vector<MountEntry> ReadMountTable() {
  std::vector<MountEntry> entries;
  std::ifstream table("/proc/self/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream fields(line);
    std::string id, parent, numbers, root, mountPoint, field;
    fields >> id >> parent >> numbers >> root >> mountPoint;
    while (fields >> field && field != "-") {
    }
    MountEntry entry;
    fields >> entry.type >> entry.source;
    if (std::sscanf(numbers.c_str(), "%u:%u", &entry.major, &entry.minor) != 2) continue;
    entry.root = Unescaped(root);
    entry.mountPoint = Unescaped(mountPoint);
    entry.source = Unescaped(entry.source);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<MountedFile> FindMountedFile(const std::string& path, SystemError& error) {
  char resolved[PATH_MAX];
  struct stat file {};
  if (!::realpath(path.c_str(), resolved) || ::stat(resolved, &file) != 0) {
    error = LastSystemError();
    return std::nullopt;
  }
  const std::string real = resolved;
  const MountEntry* best = nullptr;
  std::vector<MountEntry> table = ReadMountTable();
  for (const MountEntry& entry : table) {
    if (makedev(entry.major, entry.minor) != file.st_dev) continue;
    const std::string& point = entry.mountPoint;
    bool under = point == "/" || real == point || (real.starts_with(point) && real[point.size()] == '/');
    if (under && (!best || point.size() >= best->mountPoint.size())) best = &entry;
  }
  // Only a whole file system mounted from a device or an image file has raw
  // sectors to go with the file.
  struct stat source {};
  if (!best || best->root != "/" || best->source.empty() || best->source.front() != '/' ||
      ::stat(best->source.c_str(), &source) != 0 || !(S_ISBLK(source.st_mode) || S_ISREG(source.st_mode))) {
    error.code = ENODEV;
    return std::nullopt;
  }
  MountedFile found;
  found.device = best->source;
  found.mountDirectory = best->mountPoint;
  found.pathInVolume = best->mountPoint == "/" ? real.substr(1) : real.substr(std::min(real.size(), best->mountPoint.size() + 1));
  return found;
}

}  // namespace corvanel::platform
