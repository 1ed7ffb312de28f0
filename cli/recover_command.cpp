// corvanel-cli recover: the deleted files of a volume, back into a folder.
#include <filesystem>
#include <functional>
#include <memory>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "platform/volume_device.h"
#include "recover/recovery_engine.h"
#include "volume/allocation_map.h"
#include "volume/deleted_file_scan.h"
#include "volume/raw_volume.h"

namespace corvanel::cli {
namespace {

struct RecoverArguments {
  std::string volume;
  std::string destination;
  bool all = false;
  std::vector<std::size_t> indices;
};

class Report final : public RecoveryObserver {
 public:
  Report(Console& console, std::function<std::optional<int>(std::int32_t)> freeShare)
      : console_(console), freeShare_(std::move(freeShare)) {}
  void OnFileWritten(const RecoveredFile& file) override {
    const std::string path = Printable(platform::Utf16ToUtf8(file.path));
    if (file.nothingRead) {
      ++partial;
      console_.err << "corvanel-cli: warning: no sector of " << path << " could be read; it was not written\n";
      return;
    }
    ++files;
    bytes += file.bytesWritten;
    console_.out << "recovered " << path << " (" << file.bytesWritten << " bytes)\n";
    if (file.unreadableBytes > 0) {
      console_.err << "corvanel-cli: warning: " << file.unreadableBytes << " bytes of " << path
                   << " lie on sectors that could not be read (written as zeros, or missing from its end)\n";
    }
    if (!file.complete) {
      ++partial;
      console_.err << "corvanel-cli: warning: only " << file.bytesWritten << " of " << file.size << " bytes of " << path
                   << (file.unreadableBytes > 0 ? " were recovered\n" : " could be located\n");
    }
    std::optional<int> free = freeShare_(file.entryKey);
    if (free && *free < 100) {
      ++overwritten;
      console_.err << "corvanel-cli: warning: " << 100 - *free << "% of the clusters of " << path
                   << " now belong to another file; its content is likely not the deleted file's\n";
    }
  }
  std::size_t overwritten = 0;
  std::size_t files = 0;
  std::size_t partial = 0;
  std::uint64_t bytes = 0;

 private:
  Console& console_;
  std::function<std::optional<int>(std::int32_t)> freeShare_;
};

int RunRecover(const RecoverArguments& arguments, Console& console) {
  std::int32_t errorCode = 0;
  platform::SystemError error;
  std::optional<char> letter = platform::DriveLetterForVolume(arguments.volume, error);
  if (!letter) {
    ReportSystemError(error, error_code::kVolumeOpenFailed, errorCode);
    return ReportFailure(console, errorCode);
  }

  // The destination folder as an absolute path. Nothing is made until every
  // check passed: a folder made on the scanned volume would take the very
  // records and clusters being recovered.
  std::filesystem::path destination(std::u8string(arguments.destination.begin(), arguments.destination.end()));
  std::error_code made;
  destination = std::filesystem::absolute(destination, made).lexically_normal();
  std::u16string folder = destination.u16string();
  while (folder.size() > 1 && platform::IsPathSeparator(folder.back()) && !(folder.size() == 3 && folder[1] == u':'))
    folder.pop_back();
  if (platform::FileExistsAt(folder) && !platform::IsDirectory(folder)) {
    console.err << "corvanel-cli: cannot use " << arguments.destination << " as the destination folder\n";
    return kExitFailed;
  }
  if (platform::PathIsOnVolume(folder, *letter)) return ReportPrompt(console, prompt::kTargetOnScannedDisk);

  ListedFilesView view;
  ScanDeletedFiles(*letter, view, errorCode);
  if (AbortRequested) {
    console.err << "corvanel-cli: interrupted\n";
    return kExitFailed;
  }
  if (errorCode != error_code::kNone) return ReportFailure(console, errorCode);

  TreeItem root = view.FirstChild(0);
  std::vector<TreeItem> children;
  for (TreeItem child = view.FirstChild(root); child != 0; child = view.NextSibling(child)) children.push_back(child);
  if (children.empty()) {
    console.out << "no deleted files found\n";
    return kExitOk;
  }
  for (std::size_t index : arguments.indices) {
    if (index >= children.size()) {
      return ReportUsage(console, "recover: no file " + std::to_string(index) + " (the scan found " +
                                      std::to_string(children.size()) + ")");
    }
    view.SetChecked(children[index], true);
  }
  if (arguments.all)
    for (TreeItem child : children) view.SetChecked(child, true);

  std::filesystem::create_directories(destination, made);
  if (!platform::IsDirectory(folder)) {
    console.err << "corvanel-cli: cannot make " << arguments.destination << ": " << made.message() << '\n';
    return kExitFailed;
  }
  RecoverDestination = folder;
  DestinationFileNames = platform::DirectoryNames(folder);
  RawVolume volume(*letter);
  std::optional<AllocationMap> allocation = AllocationMap::Read(volume, ScannedVolume);
  Report report(console, [&](std::int32_t key) -> std::optional<int> {
    if (!allocation) return std::nullopt;
    if (ScannedVolume.kind == kFileSystemNtfs) return allocation->FreeShare(NtfsDeletedFileIndex.at(key));
    return allocation->FreeShare(FatDeletedFileIndex.at(key));
  });
  bool finished = RecoverCheckedFiles(*letter, view, errorCode, &report);
  if (AbortRequested) {
    console.err << "corvanel-cli: interrupted; the file being written was removed\n";
    return kExitFailed;
  }
  if (!finished) {
    console.err << "corvanel-cli: recovery stopped; " << report.files << " file" << (report.files == 1 ? "" : "s")
                << " written before\n";
    return errorCode != error_code::kNone ? ReportFailure(console, errorCode) : kExitFailed;
  }
  console.out << report.files << " file" << (report.files == 1 ? "" : "s") << " recovered (" << report.bytes
              << " bytes) into " << platform::Utf16ToUtf8(folder);
  if (report.partial) console.out << "; " << report.partial << " only in part";
  if (report.overwritten) console.out << "; " << report.overwritten << " from clusters now in use";
  console.out << '\n';
  // Failures that did not end the run (unreadable sectors, a resident file
  // that could not be written) still make it a failure.
  if (errorCode != error_code::kNone) return ReportFailure(console, errorCode);
  return kExitOk;
}

}  // namespace

void AddRecoverCommand(CLI::App& app, CommandAction& chosen) {
  auto arguments = std::make_shared<RecoverArguments>();
  CLI::App* command =
      app.add_subcommand("recover", "write deleted files (by their scan index) into DIR, on another volume");
  command->add_option("VOLUME", arguments->volume, "a drive (X:), block device or image file")->required();
  command->add_option("--to", arguments->destination, "the folder to write into (made when missing)")->required();
  CLI::Option* all = command->add_flag("--all", arguments->all, "every deleted file");
  CLI::Option* index = command->add_option("--index", arguments->indices, "the scan's index of a file (several may follow)");
  all->excludes(index);
  command->callback([=, &chosen] {
    if (!arguments->all && arguments->indices.empty())
      throw CLI::ValidationError("recover", "give --all or --index N (one or more)");
    chosen = [=](Console& console) { return RunRecover(*arguments, console); };
  });
}

}  // namespace corvanel::cli
