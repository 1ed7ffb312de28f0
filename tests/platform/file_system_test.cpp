// Ordinary files through the platform layer.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace corvanel::platform {
namespace {

namespace fs = std::filesystem;

// The names the window and the command line take from a destination folder
// before a recovery: files and folders alike (a folder of a file's name
// blocks writing the file), never "." or "..", and a trailing separator
// changes nothing.
TEST(DirectoryNames, ListsFilesAndFoldersAlike) {
  const fs::path folder = fs::temp_directory_path() / "corvanel-directory-names";
  fs::remove_all(folder);
  fs::create_directories(folder / "Report.doc");
  fs::create_directories(folder / "empty folder");
  std::ofstream(folder / "kept.txt") << "x";
  std::ofstream(folder / "Report.doc" / "inside.txt") << "x";
  const std::vector<std::u16string> expected = {u"Report.doc", u"empty folder", u"kept.txt"};
  const std::u16string path = folder.u16string();
  for (const std::u16string& asked : {path, path + std::u16string(1, fs::path::preferred_separator)}) {
    std::vector<std::u16string> names = DirectoryNames(asked);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, expected);
  }
  fs::remove_all(folder);
  EXPECT_TRUE(DirectoryNames(path).empty());
}

}  // namespace
}  // namespace corvanel::platform
