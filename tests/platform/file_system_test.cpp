// Ordinary files through the platform layer.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// A staged file carries no name of its own but its scratch one until Commit,
// and one dropped unfinished (a failed write, an interrupted run) leaves
// nothing behind; where the system has unnamed files (Linux O_TMPFILE) it
// carries no name at all. Commit with Keep never replaces a name that is
// taken (a link included) and the file can be named again; with Replace a
// link at the name is replaced itself, never written through.
TEST(StagedFile, NoHalfFileCarriesANameAndLinksAreReplaced) {
  const fs::path folder = fs::temp_directory_path() / "corvanel-staged-file";
  const fs::path victim = fs::temp_directory_path() / "corvanel-staged-victim.txt";
  fs::remove_all(folder);
  fs::create_directories(folder);
  std::ofstream(victim) << "keep me";
  const std::u16string target = (folder / "out.bin").u16string();
  const std::vector<std::uint8_t> bytes(5000, 0x5A);
  auto names = [&] {
    std::vector<std::string> found;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  };
  for (StagedFile::Staging staging : {StagedFile::Staging::Unnamed, StagedFile::Staging::Named}) {
    SystemError error;
    {
      StagedFile dropped = StagedFile::Create(target, error, staging);
      ASSERT_TRUE(dropped.IsOpen());
      ASSERT_TRUE(dropped.Write(bytes, error));
#ifdef __linux__
      EXPECT_EQ(dropped.ScratchPath().empty(), staging == StagedFile::Staging::Unnamed);
      if (staging == StagedFile::Staging::Unnamed) {
        EXPECT_TRUE(names().empty());
      }
#endif
    }
    EXPECT_TRUE(names().empty());

    std::ofstream(folder / "taken.bin") << "mine";
#ifndef _WIN32
    fs::create_symlink(victim, folder / "out.bin");
#else
    std::ofstream(folder / "out.bin") << "old";
#endif
    StagedFile file = StagedFile::Create(target, error, staging);
    ASSERT_TRUE(file.Write(bytes, error));
    for (const char* taken : {"taken.bin", "out.bin"}) {
      EXPECT_FALSE(file.Commit((folder / taken).u16string(), error, StagedFile::Existing::Keep)) << taken;
      EXPECT_EQ(error.code, FileExistsError().code) << taken;
    }
    ASSERT_TRUE(file.Commit(target, error)) << error.code;
    EXPECT_FALSE(fs::is_symlink(folder / "out.bin"));
    EXPECT_EQ(fs::file_size(folder / "out.bin"), bytes.size());
    EXPECT_EQ(fs::file_size(folder / "taken.bin"), 4u);
    EXPECT_EQ(fs::file_size(victim), 7u);
    EXPECT_EQ(names(), (std::vector<std::string>{"out.bin", "taken.bin"}));
    fs::remove(folder / "out.bin");
    fs::remove(folder / "taken.bin");
  }
  fs::remove_all(folder);
  fs::remove(victim);
}

}  // namespace
}  // namespace corvanel::platform
