// corvanel-cli recover: the deleted files of a volume, back into a folder.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "cli/volume_argument.h"
#include "cli/progress_line.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "platform/volume_device.h"
#include "recover/recovery_engine.h"
#include "volume/scan_result.h"
#include "volume/deleted_file_scan.h"
#include "volume/raw_volume.h"

namespace corvanel::cli {
namespace {

struct RecoverArguments {
  VolumeArgument volume;
  std::string destination;
  bool all = false;
  std::vector<std::size_t> indices;
  bool json = false;
  bool noTimes = false;
  bool hash = false;
  bool keepPaths = false;
  std::string report;  // a file for the JSON lines, whatever the terminal shows
  FilterArguments filters;
};

// Why a file was skipped, as the summary counts it, and as its own line says it.
std::string SkipKey(SkipReason reason) {
  switch (reason) {
    case SkipReason::NothingRead: return "unreadable";
    case SkipReason::NameTaken: return "name taken";
    case SkipReason::NoSpace: return "no space";
    case SkipReason::NotWritten: return "refused by the system";
    case SkipReason::Changed: return "taken again";
    case SkipReason::None: break;
  }
  return "";
}

std::string SkipText(const RecoveredFile& file) {
  switch (file.skipped) {
    case SkipReason::NothingRead: return "no sector of it could be read; it was not written";
    case SkipReason::NameTaken:
      return "a file of that name was there before and no one could be asked whether to replace it; it was not "
             "written";
    case SkipReason::NoSpace: return "the destination has too little space for it; it was not written";
    case SkipReason::Changed:
      return "its record holds another file since the scan; it was not written";
    case SkipReason::NotWritten: {
      std::string why = platform::Utf16ToUtf8(file.systemText);
      while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
      return "the system refused it (" + why + "); it was not written";
    }
    case SkipReason::None: break;
  }
  return "";
}

// What happened to each file, as lines for a person or JSON objects for a script.
class FileReport final : public RecoveryObserver {
 public:
  FileReport(Console& console, bool json, std::function<std::optional<int>(std::int32_t)> freeShare,
             std::function<std::u16string(std::int32_t)> nameOf)
      : console_(console), json_(json), freeShare_(std::move(freeShare)), nameOf_(std::move(nameOf)) {}

  // A file that gets every JSON line as well (--report).
  void CopyTo(std::ostream* report) { report_ = report; }

  // Where the files' progress is drawn, for the length of the run.
  void Follow(ProgressLine* progress, std::size_t checkedFiles) {
    progress_ = progress;
    checkedFiles_ = checkedFiles;
  }

  void OnFileWritten(const RecoveredFile& file) override {
    const std::string path = platform::Utf16ToUtf8(file.path);
    std::vector<std::string> warnings;
    std::string status = file.renamed || !file.takenName.empty() ? "renamed" : "whole";
    if (file.skipped != SkipReason::None) {
      warnings.push_back(SkipText(file));
      status = "skipped";
      ++skipped;
      ++skippedFor[SkipKey(file.skipped)];
    } else {
      if (!file.takenName.empty())
        warnings.push_back("the name " + platform::Utf16ToUtf8(file.takenName) + " was taken by an earlier file");
      if (file.unreadableBytes > 0)
        warnings.push_back(std::to_string(file.unreadableBytes) +
                           " bytes lie on sectors that could not be read (written as zeros, or missing from its end)");
      if (file.damagedBytes > 0)
        warnings.push_back(std::to_string(file.damagedBytes) +
                           " bytes lie in compressed units that could not be decompressed (written as zeros)");
      if (!file.complete && file.bytesWritten == file.size && file.unreadableBytes == 0 && file.damagedBytes == 0) {
        warnings.push_back("its clusters could not all be located, or its entry was damaged: possibly partial");
        status = "partial";
      } else if (!file.complete) {
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
    if (status == "partial") ++partial;
    ++statuses[status];
    if (progress_) {
      progress_->Clear();
      progress_->SetFiles(++handled_, checkedFiles_);
    }
    if (json_ || report_) {
      std::string message;
      for (const std::string& warning : warnings) message += (message.empty() ? "" : "; ") + warning;
      nlohmann::ordered_json line = {{"index", LastScan.IndexOf(static_cast<ScanKey>(file.entryKey))},
                                     {"name", platform::Utf16ToUtf8(nameOf_(file.entryKey))},
                                     {"path", path},
                                     {"bytes", file.bytesWritten},
                                     {"size", file.size},
                                     {"status", status},
                                     {"message", message}};
      if (!file.sha256.empty() && file.skipped == SkipReason::None) line["sha256"] = file.sha256;
      Emit(line);
    }
    if (!json_) {
      if (file.skipped == SkipReason::None)
        console_.out << "recovered " << Printable(path) << " (" << file.bytesWritten << " bytes)\n";
      // One write a line: the error stream is not buffered.
      for (const std::string& warning : warnings)
        console_.err << ("corvanel-cli: warning: " + Printable(path) + ": " + warning + '\n');
    }
    // On the screen, before the progress line comes back under it (only
    // then: a flush per file costs a write per file).
    if (progress_ && progress_->Shown()) console_.out.flush();
  }

  // The run's summary: a line, or a last JSON object.
  // sayLine false: the caller has said it in its own words.
  void Finish(const std::string& outcome, const std::string& folder, const std::string& message,
              bool sayLine = true) {
    if (json_ || report_) {
      nlohmann::ordered_json summary = {{"summary", outcome},
                                        {"files", files},
                                        {"bytes", bytes},
                                        {"partial", partial},
                                        {"skipped", skipped},
                                        {"skippedFor", nlohmann::ordered_json::object()},
                                        {"reusedClusters", overwritten},
                                        {"statuses", nlohmann::ordered_json::object()},
                                        {"folder", folder},
                                        {"message", message}};
      for (const auto& [reason, count] : skippedFor) summary["skippedFor"][reason] = count;
      for (const auto& [status, count] : statuses) summary["statuses"][status] = count;
      Emit(summary);
    }
    if (json_ || !sayLine || (outcome != "done" && outcome != "incomplete")) return;
    console_.out << files << " file" << (files == 1 ? "" : "s") << " recovered (" << bytes << " bytes) into "
                 << Printable(folder);
    if (partial) console_.out << "; " << partial << " only in part";
    if (skipped) console_.out << "; " << SkippedText();
    if (overwritten) console_.out << "; " << overwritten << " from clusters now in use";
    console_.out << '\n';
  }

  // "2 skipped (1 no space, 1 name taken)"
  std::string SkippedText() const {
    std::string text = std::to_string(skipped) + " skipped (";
    for (const auto& [reason, count] : skippedFor)
      text += (text.back() == '(' ? "" : ", ") + std::to_string(count) + " " + reason;
    return text + ")";
  }

  std::size_t overwritten = 0;
  std::size_t files = 0;
  std::size_t partial = 0;
  std::size_t skipped = 0;
  std::map<std::string, std::size_t> skippedFor;
  std::map<std::string, std::size_t> statuses;  // files by their status
  std::uint64_t bytes = 0;

 private:
  void Emit(const nlohmann::ordered_json& line) {
    const std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
    if (json_) console_.out << text;
    if (report_) report_->write(text.data(), static_cast<std::streamsize>(text.size()));
  }

  Console& console_;
  bool json_;
  std::function<std::optional<int>(std::int32_t)> freeShare_;
  std::function<std::u16string(std::int32_t)> nameOf_;
  std::ostream* report_ = nullptr;
  ProgressLine* progress_ = nullptr;
  std::size_t checkedFiles_ = 0;
  std::size_t handled_ = 0;
};

// The file of the last scan under a key, whichever file system it read,
// named as it is written.
std::u16string ScannedName(std::int32_t key) {
  return RecoveredName(LastScan.Name(static_cast<std::size_t>(key)));
}

std::uint64_t ScannedSize(std::int32_t key) {
  const ListedFile* file = LastScan.File(static_cast<std::size_t>(key));
  return file ? file->size : 0;
}

// One recovery from the command line, in its steps: resolve the volume and
// the folder, select the files (after a scan), recover them, report.
class RecoverCommand {
 public:
  RecoverCommand(const RecoverArguments& arguments, Console& console) : arguments_(arguments), console_(console) {}

  int Run() {
    if (std::optional<int> status = Resolve()) return *status;
    if (std::optional<int> status = Select()) return *status;
    if (std::optional<int> status = MakeFolder()) return *status;
    return Report(Execute());
  }

 private:
  // The volume's drive letter and the destination folder as an absolute
  // path. Nothing is made until every check passed: a folder made on the
  // scanned volume would take the very records and clusters being recovered.
  std::optional<int> Resolve() {
    int status = kExitOk;
    letter_ = ResolveVolume(arguments_.volume, console_, status);
    if (!letter_) return status;
    destination_ = std::filesystem::path(std::u8string(arguments_.destination.begin(), arguments_.destination.end()));
    std::error_code failed;
    destination_ = std::filesystem::absolute(destination_, failed).lexically_normal();
    folder_ = destination_.u16string();
    while (folder_.size() > 1 && platform::IsPathSeparator(folder_.back()) &&
           !(folder_.size() == 3 && folder_[1] == u':'))
      folder_.pop_back();
    if (platform::FileExistsAt(folder_) && !platform::IsDirectory(folder_)) {
      console_.err << "corvanel-cli: cannot use " << arguments_.destination << " as the destination folder\n";
      return kExitFailed;
    }
    if (platform::PathIsOnVolume(folder_, *letter_)) return ReportPrompt(console_, prompt::kTargetOnScannedDisk);
    return OpenReport();
  }

  // The --report file, refused on the scanned volume for the same reason as
  // the folder.
  std::optional<int> OpenReport() {
    if (arguments_.report.empty()) return std::nullopt;
    std::error_code failed;
    const std::filesystem::path path = std::filesystem::absolute(
        std::filesystem::path(std::u8string(arguments_.report.begin(), arguments_.report.end())), failed);
    if (platform::PathIsOnVolume(path.u16string(), *letter_)) return ReportPrompt(console_, prompt::kTargetOnScannedDisk);
    report_.open(path, std::ios::binary | std::ios::trunc);
    if (!report_) {
      console_.err << "corvanel-cli: cannot write the report " << Printable(arguments_.report) << '\n';
      return kExitFailed;
    }
    files_.CopyTo(&report_);
    return std::nullopt;
  }

  // Scans the volume and ticks the files asked for; a status when there is
  // nothing to recover or an index is not in the scan.
  std::optional<int> Select() {
    if (std::optional<int> status = ScanForDeletedFiles(*letter_, view_, console_, arguments_.filters)) return *status;
    TreeItem root = view_.FirstChild(0);
    std::vector<TreeItem> children;
    for (TreeItem child = view_.FirstChild(root); child != 0; child = view_.NextSibling(child))
      children.push_back(child);
    if (children.empty()) {
      // A script reading JSON gets its summary object here too.
      const bool unlisted = !LastScan.ScanUnreadableStretches.empty();
      files_.Finish(unlisted ? "incomplete" : "done", platform::Utf16ToUtf8(folder_),
                    unlisted ? "no deleted files found; parts of the volume could not be read"
                             : "no deleted files found",
                    false);
      if (!arguments_.json) console_.out << "no deleted files found\n";
      return ReportUnreadable(console_, false) ? kExitFailed : kExitOk;
    }
    // A file's item carries its key; the index is the scan's own number for
    // it, growing with the key.
    auto indexOf = [this](TreeItem child) { return LastScan.IndexOf(view_.ItemData(child) - 1); };
    for (std::size_t index : arguments_.indices) {
      auto found = std::lower_bound(children.begin(), children.end(), index,
                                    [&](TreeItem child, std::size_t wanted) { return indexOf(child) < wanted; });
      if (found == children.end() || indexOf(*found) != index)
        return ReportUsage(console_, "recover: no file " + std::to_string(index) + " (the scan found " +
                                         std::to_string(LastScan.Found) +
                                         (LastScan.Filter ? ", " + std::to_string(children.size()) + " of them admitted by the filters)" : ")"));
      view_.SetChecked(*found, true);
    }
    if (arguments_.all)
      for (TreeItem child : children) view_.SetChecked(child, true);
    for (TreeItem child : children) {
      if (!view_.IsChecked(child) || view_.ItemData(child) == 0) continue;
      ++checkedFiles_;
      checkedBytes_ += ScannedSize(static_cast<std::int32_t>(view_.ItemData(child) - 1));
    }
    return std::nullopt;
  }

  std::optional<int> MakeFolder() {
    std::error_code made;
    std::filesystem::create_directories(destination_, made);
    if (platform::IsDirectory(folder_)) return std::nullopt;
    console_.err << "corvanel-cli: cannot make " << arguments_.destination << ": " << made.message() << '\n';
    return kExitFailed;
  }

  // How the run ended; errorCode_ says what failed on the way.
  RecoveryReport Execute() {
    RecoverDestination = folder_;
    RecoverFileTimes = !arguments_.noTimes;
    RecoverHashes = arguments_.hash;
    RecoverKeepPaths = arguments_.keepPaths;
    DestinationFileNames = platform::DirectoryNames(folder_);
    ProgressLine progress(console_, ProgressLine::Work::Recover);
    progress.SetTotal(checkedBytes_);
    progress.SetFiles(0, checkedFiles_);
    files_.Follow(&progress, checkedFiles_);
    RecoveryReport report;
    RecoverCheckedFiles(*letter_, view_, errorCode_, &report, &files_);
    files_.Follow(nullptr, 0);
    return report;
  }

  int Report(const RecoveryReport& run) {
    const int status = Conclude(run);
    if (report_.is_open() && !report_.flush()) {
      console_.err << "corvanel-cli: the report " << Printable(arguments_.report) << " could not be written whole\n";
      return kExitFailed;
    }
    return status;
  }

  int Conclude(const RecoveryReport& run) {
    const std::string folderText = platform::Utf16ToUtf8(folder_);
    if (AbortRequested) {
      files_.Finish("interrupted", folderText, "the file being written was removed");
      console_.err << "corvanel-cli: interrupted; the file being written was removed\n";
      return kExitFailed;
    }
    const bool failed = errorCode_ != error_code::kNone;
    if (run.end != RecoveryReport::End::Walked) {
      files_.Finish("stopped", folderText, failed ? FailureText(errorCode_) : "a file of the same name was not replaced");
      console_.err << "corvanel-cli: recovery stopped; " << files_.files << " file" << (files_.files == 1 ? "" : "s")
                   << " written before\n";
      return failed ? ReportFailure(console_, errorCode_) : kExitFailed;
    }
    // Failures that did not end the run (unreadable sectors, files skipped)
    // still make it a failure, and so does every file recovered only in part
    // and every part of the volume the scan could not read (files there were
    // never listed).
    std::string shortfall;
    if (files_.partial) shortfall = std::to_string(files_.partial) + " only in part";
    if (files_.skipped) shortfall += (shortfall.empty() ? "" : "; ") + files_.SkippedText();
    if (!shortfall.empty()) shortfall = "not every file was recovered whole: " + shortfall;
    const bool unlisted = !LastScan.ScanUnreadableStretches.empty();
    if (!failed && shortfall.empty() && !unlisted) {
      files_.Finish("done", folderText, "");
      return kExitOk;
    }
    std::string message = shortfall;
    if (unlisted)
      message += (message.empty() ? "" : "; ") + std::string("parts of the volume could not be read; files there are not listed");
    files_.Finish("incomplete", folderText, failed ? FailureText(errorCode_) : message);
    ReportUnreadable(console_, false);
    if (failed) return ReportFailure(console_, errorCode_);
    if (!shortfall.empty()) console_.err << "corvanel-cli: " << shortfall << '\n';
    return kExitFailed;
  }

  std::optional<int> FreeShare(std::int32_t key) const {
    const ListedFile* file = LastScan.File(static_cast<std::size_t>(key));
    return file ? file->FreeShare() : std::nullopt;
  }

  const RecoverArguments& arguments_;
  Console& console_;
  std::optional<char> letter_;
  std::filesystem::path destination_;
  std::u16string folder_;
  CompactFilesView view_;
  std::int32_t errorCode_ = error_code::kNone;
  std::size_t checkedFiles_ = 0;
  std::uint64_t checkedBytes_ = 0;
  std::ofstream report_;
  FileReport files_{console_, arguments_.json, [this](std::int32_t key) { return FreeShare(key); }, ScannedName};
};

int RunRecover(const RecoverArguments& arguments, Console& console) {
  return RecoverCommand(arguments, console).Run();
}

}  // namespace

void AddRecoverCommand(CLI::App& app, CommandAction& chosen) {
  auto arguments = std::make_shared<RecoverArguments>();
  CLI::App* command =
      app.add_subcommand("recover", "write deleted files (by their scan index) into DIR, on another volume");
  AddVolumeArgument(*command, arguments->volume);
  command->add_option("--to", arguments->destination, "the folder to write into (made when missing)")->required();
  CLI::Option* all = command->add_flag("--all", arguments->all, "every deleted file");
  CLI::Option* index = command->add_option("--index", arguments->indices, "the scan's index of a file (several may follow)");
  all->excludes(index);
  command->add_flag("--json", arguments->json, "one JSON object per file, then a summary object");
  command->add_flag("--keep-paths", arguments->keepPaths,
                    "write each file under its folder path inside DIR (folders made as needed); files whose folder "
                    "is unknown go under \"(folder unknown)\"");
  command->add_flag("--hash", arguments->hash, "give each file's SHA-256 (in the JSON lines), computed as it is written");
  command->add_option("--report", arguments->report,
                      "write the JSON lines (each file, then the summary) to this file too, whatever the terminal shows");
  command->add_flag("--no-times", arguments->noTimes,
                    "leave the recovered files' times as writing them set them (by default they get the deleted "
                    "files' own modified and accessed times, and on Windows their creation time)");
  AddFilterOptions(*command, arguments->filters);
  command->footer(HelpFooter(kHelpVolumes,
                             "The indexes are those scan lists. Each file is written whole under a scratch name and\n"
                             "then named; a file that was in DIR before is replaced only after Yes (or --yes)."));
  command->callback([=, &chosen] {
    if (!arguments->all && arguments->indices.empty())
      throw CLI::ValidationError("recover", "give --all or --index N (one or more)");
    chosen = [=](Console& console) { return RunRecover(*arguments, console); };
  });
}

}  // namespace corvanel::cli
