// The VOLUME of a command: a drive, block device or image file, or a
// partition of a whole disk (DISK --partition N, DISK@OFFSET).
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "volume/partition_table.h"

namespace corvanel::cli {

struct VolumeArgument {
  std::string volume;
  unsigned partition = 0;  // 0: none chosen
};

// Adds VOLUME and --partition to a command.
void AddVolumeArgument(CLI::App& command, VolumeArgument& argument);

// A whole disk's partitions as info lists them.
struct DiskListing {
  partition::Table table;
  std::vector<std::string> fileSystems;  // per partition: "NTFS", "FAT32", "exFAT" or ""
};

// The drive letter of the volume, narrowed to the chosen partition. A whole
// disk with one NTFS or FAT32 partition opens it with a notice; with several,
// or a malformed table, the reason is printed and status set. With listing
// given, a whole disk with no partition chosen is not opened: listing gets
// its table instead.
std::optional<char> ResolveVolume(const VolumeArgument& argument, Console& console, int& status,
                                  std::optional<DiskListing>* listing = nullptr);

// Prints a whole disk's table, like mmls (text) or as one JSON object.
void PrintDiskListing(const DiskListing& listing, bool json, Console& console);

}  // namespace corvanel::cli
