// Drive letters on systems that have none: each letter names a raw device or an
// image file, and optionally the directory where its file system is mounted,
// so "X:\dir\file" means "<mount>/dir/file" (the model of Wine's dosdevices).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/system_error.h"

namespace corvanel::platform {

struct DriveMapping {
  std::string device;          // block device or image file
  std::string mountDirectory;  // empty when not mounted
  // A partition of a whole disk: the byte range the volume occupies (the
  // whole device when windowLength is 0).
  std::uint64_t windowStart = 0;
  std::uint64_t windowLength = 0;
};

// Letters are A to Z in either case; anything else is never mapped.
bool MapDrive(char letter, DriveMapping mapping);
void UnmapDrive(char letter);
std::optional<DriveMapping> LookUpDrive(char letter);

// The first letter from 'C' on with no mapping, or nullopt when all are taken.
std::optional<char> FreeDriveLetter();

// "X:\dir\file" (or "X:/dir/file") on a mounted drive -> "<mount>/dir/file".
std::optional<std::string> HostPathFor(std::string_view drivePath);

// One line of /proc/self/mountinfo.
struct MountEntry {
  unsigned major = 0, minor = 0;  // the st_dev of the files under it
  std::string root;               // the directory of the file system mounted there
  std::string mountPoint;
  std::string type;
  std::string source;             // the device or image, as the mounter named it
};
std::vector<MountEntry> ReadMountTable();

// The device or image file behind a mount: its source, or for a FUSE mount
// whose source names no file (fusefat without fsname=) the file among its
// daemon's arguments; the source as it stands when neither is found.
std::string MountSource(const MountEntry& entry);

// The mounted file system that holds an existing file, and the file's path
// inside it ("dir/sub/file").
struct MountedFile {
  std::string device;          // block device or image file (absolute)
  std::string mountDirectory;
  std::string pathInVolume;
  std::string type;            // the file system type the mount table gives
};
// False with error set when the file does not exist, or its file system has
// no device or image behind it (tmpfs, a network share, ...); type is then
// still filled in.
std::optional<MountedFile> FindMountedFile(const std::string& path, SystemError& error, std::string* type = nullptr);

// Whether a mount of this type may hold an NTFS, FAT32 or exFAT volume: the
// kernel's drivers for them, and FUSE (ntfs-3g, fusefat, exfat-fuse), which
// the boot sector decides.
bool MayBeNtfsOrFat(std::string_view type);

}  // namespace corvanel::platform
