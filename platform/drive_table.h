// Drive letters on systems that have none: each letter names a raw device or an
// image file, and optionally the directory where its file system is mounted,
// so "X:\dir\file" means "<mount>/dir/file" (the model of Wine's dosdevices).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvanel::platform {

struct DriveMapping {
  std::string device;          // block device or image file
  std::string mountDirectory;  // empty when not mounted
};

// Letters are A to Z in either case; anything else is never mapped.
bool MapDrive(char letter, DriveMapping mapping);
void UnmapDrive(char letter);
std::optional<DriveMapping> LookUpDrive(char letter);

// The first letter from 'C' on with no mapping, or nullopt when all are taken.
std::optional<char> FreeDriveLetter();

// "X:\dir\file" (or "X:/dir/file") on a mounted drive -> "<mount>/dir/file".
std::optional<std::string> HostPathFor(std::string_view drivePath);

}  // namespace corvanel::platform
