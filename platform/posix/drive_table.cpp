// The drive table's letters and mounts on POSIX systems.
#include "platform/drive_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace corvanel::platform {

std::optional<char> FreeDriveLetter() {
  for (char letter = 'C'; letter <= 'Z'; ++letter)
    if (!LookUpDrive(letter)) return letter;
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

namespace {

bool IsDeviceOrImage(const std::string& path) {
  struct stat status {};
  return !path.empty() && path.front() == '/' && ::stat(path.c_str(), &status) == 0 &&
         (S_ISBLK(status.st_mode) || S_ISREG(status.st_mode));
}

// The arguments of a process, each made absolute against its working folder.
std::vector<std::string> ProcessArguments(const std::string& pid) {
  // Read with read(2): the process may end meanwhile, and a failed read
  // through a stream buffer's iterator throws.
  std::string all;
  const int file = ::open(("/proc/" + pid + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
  if (file >= 0) {
    char chunk[4096];
    for (ssize_t got; (got = ::read(file, chunk, sizeof chunk)) > 0;) all.append(chunk, static_cast<std::size_t>(got));
    ::close(file);
  }
  char cwd[PATH_MAX];
  ssize_t cwdLength = ::readlink(("/proc/" + pid + "/cwd").c_str(), cwd, sizeof cwd - 1);
  std::vector<std::string> arguments;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\0', start);
    if (end == std::string::npos) end = all.size();
    std::string argument = all.substr(start, end - start);
    if (!argument.empty() && argument.front() != '/' && argument.front() != '-' && cwdLength > 0)
      argument = std::string(cwd, static_cast<std::size_t>(cwdLength)) + "/" + argument;
    char resolved[PATH_MAX];
    arguments.push_back(::realpath(argument.c_str(), resolved) ? std::string(resolved) : argument);
    start = end + 1;
  }
  return arguments;
}

}  // namespace

std::string MountSource(const MountEntry& entry) {
  if (IsDeviceOrImage(entry.source) || !entry.type.starts_with("fuse")) return entry.source;
  // The daemon that serves the mount point names it among its arguments,
  // beside the one image or device it serves.
  DIR* processes = ::opendir("/proc");
  if (!processes) return entry.source;
  std::string found;
  bool ambiguous = false;
  while (dirent* process = ::readdir(processes)) {
    std::string pid = process->d_name;
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
      continue;
    std::vector<std::string> arguments = ProcessArguments(pid);
    if (arguments.size() < 2 || std::find(arguments.begin() + 1, arguments.end(), entry.mountPoint) == arguments.end())
      continue;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      if (arguments[i] == entry.mountPoint || !IsDeviceOrImage(arguments[i])) continue;
      if (!found.empty() && found != arguments[i]) ambiguous = true;
      found = arguments[i];
    }
  }
  ::closedir(processes);
  return found.empty() || ambiguous ? entry.source : found;
}

bool MayBeNtfsOrFat(std::string_view type) {
  return type == "ntfs" || type == "ntfs3" || type == "vfat" || type == "msdos" || type == "fat" ||
         type == "exfat" || type.starts_with("fuse");
}

std::optional<MountedFile> FindMountedFile(const std::string& path, SystemError& error, std::string* type) {
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
  if (best && type) *type = best->type;
  const std::string source = best ? MountSource(*best) : std::string();
  if (!best || best->root != "/" || !IsDeviceOrImage(source)) {
    error.code = ENODEV;
    return std::nullopt;
  }
  MountedFile found;
  found.device = source;
  found.type = best->type;
  found.mountDirectory = best->mountPoint;
  found.pathInVolume = best->mountPoint == "/" ? real.substr(1) : real.substr(std::min(real.size(), best->mountPoint.size() + 1));
  return found;
}

}  // namespace corvanel::platform
