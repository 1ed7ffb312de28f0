// Ordinary files by their "ANSI" paths (the bytes the C runtime's narrow file
// functions take), and the free space beside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <vector>

#include "platform/system_error.h"

namespace corvanel::platform {

// The longest path, in bytes, that the narrow file functions take here.
std::size_t MaxAnsiPathLength();

// Whether a character separates directories in a path here.
bool IsPathSeparator(char16_t c);

// Bytes available to the caller on the volume that holds path (a file or a
// directory, which need not exist yet); 0 when the system cannot tell.
std::uint64_t AvailableBytes(std::u16string_view path);

// Makes AvailableBytes give a fixed value (nullopt: ask the system again).
void SetAvailableBytesForTesting(std::optional<std::uint64_t> bytes);

// The fixed value, for each system's AvailableBytes.
std::optional<std::uint64_t> AvailableBytesOverride();

// The size of a regular file; a directory or anything else is an error.
std::optional<std::uint64_t> RegularFileSize(const std::string& ansiPath, SystemError& error);

// Whether two paths name one existing file.
bool IsSameFile(const std::string& ansiPathA, const std::string& ansiPathB);

bool RemoveFile(const std::string& ansiPath);

bool FileExists(const std::string& ansiPath);

// Renames from over to, replacing a file of that name in one step.
bool RenameOver(const std::string& fromAnsiPath, const std::string& toAnsiPath, SystemError& error);

// An open file of the system, closed on destruction.
class FileHandle {
 public:
  FileHandle() = default;
  FileHandle(FileHandle&& other) noexcept;
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool IsOpen() const { return handle_ != kClosed; }
  // Closes the file; false when the last bytes could not be written.
  bool Close(SystemError& error);

 protected:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t handle_ = kClosed;
};

// A file read from front to back by its ANSI path, each read straight into
// the caller's buffer (no runtime buffer between), with the system told to
// read ahead.
class InputFile : public FileHandle {
 public:
  static InputFile Open(const std::string& ansiPath, SystemError& error);
  // Standard input (a copy of its handle, so closing it leaves the process's own).
  static InputFile StandardInput(SystemError& error);
  // Fills bytes from the current position; fewer only at the end of the file
  // (or when the writer of a pipe closed it).
  std::optional<std::size_t> Read(std::span<std::uint8_t> bytes, SystemError& error);
};

// A file created for writing by its ANSI path (an existing one is cut to
// nothing), written straight from the caller's buffer.
class NewFile : public FileHandle {
 public:
  static NewFile CreateAnsi(const std::string& ansiPath, SystemError& error);
  // Standard output (a copy of its handle).
  static NewFile StandardOutput(SystemError& error);
  bool Write(std::span<const std::uint8_t> bytes, SystemError& error);
  // Gives the file its times, each in 100-ns ticks since 1601 (0: leave it
  // as it is): UTC, or with local true the wall-clock time of this machine's
  // zone. The creation time is set where the system keeps one (Windows).
  // Written after the last byte, they stay.
  bool SetTimes(std::uint64_t created, std::uint64_t modified, std::uint64_t accessed, bool local,
                SystemError& error);
};

// A file written in the folder of its UTF-16 path and put in place by Commit,
// which replaces the directory entry of that name: a link there is replaced
// itself, never written through, and no half-written file ever carries the
// name. Unnamed until committed where the system allows it (Linux O_TMPFILE:
// nothing is left behind by a crash), else under a scratch name that is
// removed on destruction unless committed.
class StagedFile : public NewFile {
 public:
  enum class Staging { Unnamed, Named };  // Named: always under a scratch name (ScratchPath)
  enum class Existing { Replace, Keep };  // Keep: Commit fails with FileExistsError when the name is taken

  StagedFile() = default;
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  ~StagedFile();

  static StagedFile Create(std::u16string_view path, SystemError& error, Staging staging = Staging::Unnamed);
  // Gives the file the name path (in the same folder) and closes it. On
  // failure it stays open and unnamed (or under its scratch name), so
  // another name can be tried.
  bool Commit(std::u16string_view path, SystemError& error, Existing existing = Existing::Replace);
  // Closes and removes the file.
  void Discard();
  // Where it is written until committed (empty after, and for an unnamed file).
  const std::u16string& ScratchPath() const { return scratch_; }

 private:
  std::u16string scratch_;  // empty once committed or removed, or while unnamed
  std::string folder_;      // an unnamed file's folder, as the system names it
};

// ---- files by their UTF-16 paths (UTF-8 on the file system elsewhere) -------

bool RemoveFileAt(std::u16string_view path);

// The size of a regular file by its UTF-16 path.
std::optional<std::uint64_t> FileSizeAt(std::u16string_view path, SystemError& error);

// Deletes a file (DeleteFileW; unlink, then a sync of its folder), with the
// system's reason on failure.
bool DeleteFileAt(std::u16string_view path, SystemError& error);

// Gives a file another name in its folder, never replacing a file that has
// that name already (MoveFileExW without replacing, renameat2 with no
// replace), with the system's reason on failure.
bool RenameFileAt(std::u16string_view from, std::u16string_view to, SystemError& error);

// Cuts a regular file to nothing, its clusters given back to the volume.
bool TruncateFileAt(std::u16string_view path, SystemError& error);

struct ByteRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// Overwrites byte ranges of an existing regular file with zeros through the
// file itself, in place (its size and clusters stay; ranges are cut at its
// end), and flushes them to the volume; every byte when ranges is nullopt.
// Gives the bytes written, or nullopt with error set.
std::optional<std::uint64_t> OverwriteWithZeros(std::u16string_view path,
                                                const std::optional<std::vector<ByteRange>>& ranges, SystemError& error);
bool FileExistsAt(std::u16string_view path);
bool IsDirectory(std::u16string_view path);

// Makes the folder path (its parent must exist), or takes it when it is a
// folder already. A file, link or junction of that name is refused with the
// system's error for it: nothing is written through a link out of the tree.
bool MakeRealFolder(std::u16string_view path, SystemError& error);

// The names in a directory, files and folders alike (not "." and ".."), in
// no set order; empty when it cannot be read. A recovery's same-name question
// goes by them, asked alike in the window and on the command line.
std::vector<std::u16string> DirectoryNames(std::u16string_view directory);

// Whether the folder that would hold path takes names that differ only in
// letter case for the same name (Windows volumes, FAT), found by trying;
// true when it cannot be told, so that no clash goes unseen.
bool NamesFoldCase(std::u16string_view path);

// Whether a path lies on the volume behind a drive letter (writing there
// would overwrite the very sectors being read). A path that does not exist
// yet is judged by the nearest folder above it that does.
bool PathIsOnVolume(std::u16string_view path, char driveLetter);

// What the system says of an open file: its number on its volume (the NTFS
// file reference: record number and sequence number), how many names it
// has, and its size.
struct FileIdentity {
  std::uint64_t fileIndex = 0;
  std::uint32_t linkCount = 0;
  std::uint64_t size = 0;
};
std::optional<FileIdentity> IdentifyFile(std::u16string_view path, SystemError& error);

}  // namespace corvanel::platform
