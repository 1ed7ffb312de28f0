// corvanel-cli recover: the deleted files of a volume, back into a folder.
#include <filesystem>
#include <functional>
#include <memory>

#include <nlohmann/json.hpp>

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
  bool json = false;
};

// What happened to each file, as lines for a person or JSON objects for a script.
class Report final : public RecoveryObserver {
 public:
  Report(Console& console, bool json, std::function<std::optional<int>(std::int32_t)> freeShare,
         std::function<std::u16string(std::int32_t)> nameOf)
      : console_(console), json_(json), freeShare_(std::move(freeShare)), nameOf_(std::move(nameOf)) {}

  void OnFileWritten(const RecoveredFile& file) override {
    const std::string path = platform::Utf16ToUtf8(file.path);
    std::vector<std::string> warnings;
    std::string status = file.renamed ? "renamed" : "whole";
    if (file.nothingRead) {
      warnings.push_back("no sector of it could be read; it was not written");
      status = "skipped";
    } else {
      if (file.unreadableBytes > 0)
        warnings.push_back(std::to_string(file.unreadableBytes) +
                           " bytes lie on sectors that could not be read (written as zeros, or missing from its end)");
      if (file.damagedBytes > 0)
        warnings.push_back(std::to_string(file.damagedBytes) +
                           " bytes lie in compressed units that could not be decompressed (written as zeros)");
      if (!file.complete) {
        warnings.push_back("only " + std::to_string(file.bytesWritten) + " of " + std::to_string(file.size) +
                           " bytes " + (file.unreadableBytes > 0 || file.damagedBytes > 0 ? "were recovered" : "could be located"));
        status = "partial";
      }
      std::optional<int> free = freeShare_(file.entryKey);
      if (free && *free < 100) {
        warnings.push_back(std::to_string(100 - *free) +
                           "% of its clusters now belong to another file; its content is likely not the deleted "
                           "file's");
        if (status != "partial") status = "reused-clusters";
        ++overwritten;
      }
      ++files;
      bytes += file.bytesWritten;
    }
    if (status == "partial" || status == "skipped") ++partial;
    if (json_) {
      std::string message;
      for (const std::string& warning : warnings) message += (message.empty() ? "" : "; ") + warning;
      nlohmann::ordered_json line = {{"index", file.entryKey},
                                     {"name", platform::Utf16ToUtf8(nameOf_(file.entryKey))},
                                     {"path", path},
                                     {"bytes", file.bytesWritten},
                                     {"size", file.size},
                                     {"status", status},
                                     {"message", message}};
      console_.out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
      return;
    }
    if (!file.nothingRead) console_.out << "recovered " << Printable(path) << " (" << file.bytesWritten << " bytes)\n";
    for (const std::string& warning : warnings)
      console_.err << "corvanel-cli: warning: " << Printable(path) << ": " << warning << '\n';
  }

  // The run's summary: a line, or a last JSON object.
  void Finish(const std::string& outcome, const std::string& folder, const std::string& message) {
    if (json_) {
      nlohmann::ordered_json summary = {{"summary", outcome}, {"files", files},   {"bytes", bytes},
                                        {"partial", partial}, {"reusedClusters", overwritten},
                                        {"folder", folder},   {"message", message}};
      console_.out << summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
      return;
    }
    if (outcome != "done" && outcome != "incomplete") return;
    console_.out << files << " file" << (files == 1 ? "" : "s") << " recovered (" << bytes << " bytes) into "
                 << Printable(folder);
    if (partial) console_.out << "; " << partial << " only in part";
    if (overwritten) console_.out << "; " << overwritten << " from clusters now in use";
    console_.out << '\n';
  }

  std::size_t overwritten = 0;
  std::size_t files = 0;
  std::size_t partial = 0;
  std::uint64_t bytes = 0;

 private:
  Console& console_;
  bool json_;
  std::function<std::optional<int>(std::int32_t)> freeShare_;
  std::function<std::u16string(std::int32_t)> nameOf_;
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
  Report report(
      console, arguments.json,
      [&](std::int32_t key) -> std::optional<int> {
        if (!allocation) return std::nullopt;
        if (ScannedVolume.kind == kFileSystemNtfs) return allocation->FreeShare(NtfsDeletedFileIndex.at(key));
        return allocation->FreeShare(FatDeletedFileIndex.at(key));
      },
      [](std::int32_t key) {
        return ScannedVolume.kind == kFileSystemNtfs ? NtfsDeletedFileIndex.at(key).name
                                                     : FatDeletedFileIndex.at(key).name;
      });
  bool finished = RecoverCheckedFiles(*letter, view, errorCode, &report);
  const std::string folderText = platform::Utf16ToUtf8(folder);
  if (AbortRequested) {
    report.Finish("interrupted", folderText, "the file being written was removed");
    console.err << "corvanel-cli: interrupted; the file being written was removed\n";
    return kExitFailed;
  }
  if (!finished) {
    report.Finish("stopped", folderText,
                  errorCode != error_code::kNone ? FailureText(errorCode) : "a file of the same name was not replaced");
    console.err << "corvanel-cli: recovery stopped; " << report.files << " file" << (report.files == 1 ? "" : "s")
                << " written before\n";
    return errorCode != error_code::kNone ? ReportFailure(console, errorCode) : kExitFailed;
  }
  // Failures that did not end the run (unreadable sectors, a resident file
  // that could not be written) still make it a failure.
  report.Finish(errorCode != error_code::kNone ? "incomplete" : "done", folderText,
                errorCode != error_code::kNone ? FailureText(errorCode) : "");
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
  command->add_flag("--json", arguments->json, "one JSON object per file, then a summary object");
  command->callback([=, &chosen] {
    if (!arguments->all && arguments->indices.empty())
      throw CLI::ValidationError("recover", "give --all or --index N (one or more)");
    chosen = [=](Console& console) { return RunRecover(*arguments, console); };
  });
}

}  // namespace corvanel::cli
