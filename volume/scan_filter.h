// Which deleted files a scan lists: by name, extension, size and modified
// time, and by whether the file's clusters are still free. The scan applies it as it finds each file, so files
// turned down are never held; they still take their index, so a filtered
// scan numbers its files as an unfiltered one does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel {

struct ListedFile;

struct ScanFilter {
  // Glob patterns (* any run, ? one character, [abc] [a-z] [!x] a set),
  // compared without regard to case; a file matches when one does. A pattern
  // with a '/' is matched against "folder/name", the others against the name.
  std::vector<std::u16string> names;
  // Extensions ("jpg", no dot), without regard to case; one must match.
  std::vector<std::u16string> extensions;
  std::optional<std::uint64_t> minSize, maxSize;  // bytes, both ends included
  // Modified at or after / before these times, in ticks as the file system
  // keeps its times (NTFS UTC, FAT32 the entry's local time); a file with no
  // known time never matches a date.
  std::optional<std::uint64_t> modifiedAfter, modifiedBefore;
  // Only files none of whose clusters another file has taken (their free
  // share, taken as the scan lists them, is 100).
  bool recoverableOnly = false;

  bool Admits(const ListedFile& file, std::u16string_view name, std::u16string_view path) const;

 private:
  bool AdmitsFile(std::u16string_view name, std::u16string_view path, std::uint64_t size,
                  std::uint64_t modified) const;
};

// Whether text matches a glob pattern (see ScanFilter::names), without regard to case.
bool MatchesGlob(std::u16string_view pattern, std::u16string_view text);

}  // namespace corvanel
