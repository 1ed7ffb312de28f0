// corvanel-cli shred: delete a file and overwrite what it leaves on the raw volume.
#include <cerrno>
#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "app/message_catalogue.h"
#include "app/prompter.h"
#include "app/shared_state.h"
#include "cli/commands.h"
#include "cli/volume_argument.h"
#include "cli/progress_line.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "shred/shred_engine.h"
#include "volume/file_locate.h"
#include "volume/raw_volume.h"

#ifndef _WIN32
#include "platform/drive_table.h"
#endif

namespace corvanel::cli {
namespace {

struct ShredArguments {
  std::string file;
  bool verify = false;
  bool inPlaceOnly = false;
  bool deleteUnlocated = false;
  bool json = false;
};

struct LocateArguments {
  VolumeArgument volume;
  std::string path;
};

// The file as the engines name it, "X:\dir\file", and its drive letter.
struct DrivePath {
  std::u16string path;
  char letter = 0;
};

std::optional<DrivePath> ToDrivePath(const std::string& file, Console& console) {
#ifdef _WIN32
  std::error_code failed;
  std::filesystem::path full = std::filesystem::absolute(
      std::filesystem::path(std::u8string(file.begin(), file.end())), failed).lexically_normal();
  std::u16string path = full.u16string();
  for (char16_t& c : path)
    if (c == u'/') c = u'\\';
  if (failed || path.size() < 4 || path[1] != u':' || path[2] != u'\\' || path[0] > 0x7F) {
    console.err << "corvanel-cli: " << file << " is not on a drive with a letter\n";
    return std::nullopt;
  }
  return DrivePath{path, static_cast<char>(path[0])};
#else
  platform::SystemError error;
  std::string type;
  std::optional<platform::MountedFile> mounted = platform::FindMountedFile(file, error, &type);
  if (!type.empty() && !platform::MayBeNtfsOrFat(type)) {
    console.err << "corvanel-cli: " << Printable(file) << ": not on an NTFS, FAT32 or exFAT volume (it is on " << type
                << "); only files on those can be shredded\n";
    return std::nullopt;
  }
  if (!mounted) {
    console.err << "corvanel-cli: " << Printable(file) << ": "
                << (error.code == ENODEV ? "not on a volume mounted from a device or image file"
                                         : platform::Utf16ToUtf8(platform::SystemErrorMessage(error)))
                << '\n';
    return std::nullopt;
  }
  if (mounted->pathInVolume.find('\\') != std::string::npos || mounted->pathInVolume.empty()) {
    console.err << "corvanel-cli: " << file << ": a name with a backslash has no Windows path to shred it by\n";
    return std::nullopt;
  }
  std::optional<char> letter = platform::FreeDriveLetter();
  if (!letter) {
    console.err << "corvanel-cli: no free drive letter\n";
    return std::nullopt;
  }
  platform::MapDrive(*letter, {mounted->device, mounted->mountDirectory});
  std::string path = std::string(1, *letter) + ":\\" + mounted->pathInVolume;
  for (std::size_t i = 3; i < path.size(); ++i)
    if (path[i] == '/') path[i] = '\\';
  return DrivePath{platform::Utf8ToUtf16(path), *letter};
#endif
}

// --yes answers the confirmation, never the question whether to delete a
// file whose data was not located without overwriting anything: only
// --delete-unlocated says Yes to that. Every other box goes on as it was.
class UnlocatedFileAnswer final : public Prompter {
 public:
  UnlocatedFileAnswer(Console& console, bool deleteUnlocated)
      : console_(console), deleteUnlocated_(deleteUnlocated), inner_(InstalledPrompter()) {
    InstallPrompter(this);
  }
  ~UnlocatedFileAnswer() override { InstallPrompter(inner_); }
  UnlocatedFileAnswer(const UnlocatedFileAnswer&) = delete;
  UnlocatedFileAnswer& operator=(const UnlocatedFileAnswer&) = delete;

  int Show(WindowHandle owner, std::u16string_view text, std::u16string_view caption,
           PromptButtons buttons) override {
    if (text != NotLocatedQuestion(UiLanguage)) return inner_ ? inner_->Show(owner, text, caption, buttons) : 0;
    ClearProgressLine();
    std::string line = Printable(platform::Utf16ToUtf8(text), true);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    line += deleteUnlocated_ ? " [y/N] yes (--delete-unlocated)\n"
                             : " [y/N] no (only --delete-unlocated deletes it without overwriting)\n";
    console_.err << line << std::flush;
    return deleteUnlocated_ ? kPromptYes : kPromptNo;
  }

 private:
  Console& console_;
  bool deleteUnlocated_;
  Prompter* inner_;
};

std::string Bytes(std::uint64_t count) { return std::to_string(count) + " byte" + (count == 1 ? "" : "s"); }

void PrintReport(Console& console, const ShredReport& report, const DrivePath& file) {
  if (report.zeroedInPlace > 0) console.out << "zeroed " << Bytes(report.zeroedInPlace) << " in place through the file\n";
  if (report.cutInPlace) console.out << "cut the compressed file to nothing in place through the file system\n";
  if (report.inPlaceFailed) console.err << "corvanel-cli: warning: the file could not be zeroed in place\n";
  if (report.deleted) console.out << "deleted " << Printable(platform::Utf16ToUtf8(file.path)) << '\n';
  if (report.deletedWithoutOverwrite) {
    console.out << "its data was not located: nothing was overwritten on the raw volume\n";
    return;
  }
  if (report.interrupted)
    console.err << "corvanel-cli: warning: interrupted: the overwrite on the raw volume stopped before its end\n";
  if (report.rawPassSkipped) {
    console.err << "corvanel-cli: warning: only the in-place pass was made; the raw volume was not written, so what "
                   "the file system keeps elsewhere (its record or directory entries, named streams, earlier copies) "
                   "may remain\n";
    return;
  }
  std::uint64_t zeroBytes = 0, recordBytes = 0;
  for (const OverwrittenRange& range : report.written) {
    if (range.fill == OverwrittenRange::Fill::Zeros) zeroBytes += range.length;
    if (range.fill == OverwrittenRange::Fill::RecordOnes) recordBytes += range.length;
  }
  if (report.clustersZeroed > 0)
    console.out << "zeroed " << report.clustersZeroed << " cluster" << (report.clustersZeroed == 1 ? "" : "s") << " ("
                << Bytes(zeroBytes) << ") on the raw volume\n";
  if (report.recordOverwritten) {
    const OverwrittenRange* record = nullptr;
    for (const OverwrittenRange& range : report.written)
      if (range.fill == OverwrittenRange::Fill::RecordOnes) record = &range;
    console.out << "overwrote the file record (" << Bytes(recordBytes) << " at sector "
                << (record ? record->offset / kSectorSize : 0) << ")\n";
  }
  if (report.extensionRecordsOverwritten > 0)
    console.out << "overwrote " << report.extensionRecordsOverwritten << " extension record"
                << (report.extensionRecordsOverwritten == 1 ? "" : "s") << '\n';
  if (report.entriesScrubbed > 0)
    console.out << "scrubbed " << report.entriesScrubbed << " directory entr"
                << (report.entriesScrubbed == 1 ? "y" : "ies") << '\n';
  if (report.clustersTaken > 0)
    console.err << "corvanel-cli: warning: " << report.clustersTaken
                << " cluster(s) were not overwritten: the volume shows them in use (by another file, or not yet"
                   " released by the file system)\n";
  if (report.recordTaken)
    console.err << "corvanel-cli: warning: the file record was not overwritten: it is in use again\n";
  if (report.extensionRecordsTaken > 0)
    console.err << "corvanel-cli: warning: " << report.extensionRecordsTaken
                << " extension record(s) were not overwritten: in use again\n";
  if (report.entriesTaken > 0)
    console.err << "corvanel-cli: warning: " << report.entriesTaken
                << " directory entr" << (report.entriesTaken == 1 ? "y was" : "ies were")
                << " not scrubbed: in use again\n";
  if (report.clustersNotLocated > 0)
    console.err << "corvanel-cli: warning: " << report.clustersNotLocated
                << " cluster(s) of the file could not be located and were not overwritten\n";
}

// The locate from the command line, in its steps: resolve the volume and the
// path, locate, report as JSON.
class LocateCommand {
 public:
  LocateCommand(const LocateArguments& arguments, Console& console) : arguments_(arguments), console_(console) {}

  int Run() {
    if (std::optional<int> status = Resolve()) return *status;
    if (!Execute()) return ReportFailure(console_, errorCode_);
    Report();
    return kExitOk;
  }

 private:
  // The volume's drive letter, and the path as the engines name it ("X:\dir\file").
  std::optional<int> Resolve() {
    int status = kExitOk;
    std::optional<char> letter = ResolveVolume(arguments_.volume, console_, status);
    if (!letter) return status;
    letter_ = *letter;
    std::string path = arguments_.path;
    for (char& c : path)
      if (c == '/') c = '\\';
    if (path.size() >= 2 && path[1] == ':') path.erase(0, 2);
    if (path.empty() || path.front() != '\\') path.insert(path.begin(), '\\');
    ShredFilePath.Set(platform::Utf8ToUtf16(std::string(1, letter_) + ":" + path));
    return std::nullopt;
  }

  bool Execute() {
    bool located = LocateFileClusters(letter_, errorCode_);
    return located;
  }

  void Report() {
    const LocatedFileData& file = LocatedFile;
    nlohmann::ordered_json json;
    if (file.volume.kind == kFileSystemNtfs) {
      json["fs"] = "ntfs";
      json["located"] = !file.dataNotLocated;
      if (!file.dataNotLocated) {
        json["record"] = file.recordNumber;
        json["recordSector"] = file.recordSector;
        json["resident"] = file.record.isResident != 0;
        json["size"] = file.record.realSize;
        json["runs"] = nlohmann::json::array();
        for (const DataRun& run : file.record.runs) json["runs"].push_back({run.startCluster, run.clusterCount});
        json["extensionRecords"] = nlohmann::json::array();
        for (const ExtensionRecordPlace& place : file.extensionRecords) json["extensionRecords"].push_back(place.number);
        json["streams"] = nlohmann::json::array();
        for (const MftRecord& stream : file.namedStreams)
          json["streams"].push_back({{"name", platform::Utf16ToUtf8(stream.name)}, {"size", stream.realSize}});
      }
    } else if (file.volume.kind == kFileSystemExfat) {
      json["fs"] = "exfat";
      json["located"] = true;
      json["size"] = file.exfatStream.dataLength;
      json["noFatChain"] = file.exfatStream.NoFatChain();
      json["entries"] = nlohmann::json::array();
      for (const ExfatEntryPlace& place : file.exfatEntries) json["entries"].push_back(place.offset);
      json["clusters"] = file.clusters;
    } else {
      json["fs"] = "fat32";
      json["located"] = true;
      json["dirSector"] = file.dirSector;
      json["entryIndex"] = file.entryIndex;
      json["slotCount"] = file.slotCount;
      json["size"] = file.fileSize;
      json["entries"] = nlohmann::json::array();
      for (const FatEntryPlace& place : file.entries) json["entries"].push_back({place.sector, place.index});
      json["clusters"] = file.clusters;
    }
    console_.out << json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  }

  const LocateArguments& arguments_;
  Console& console_;
  char letter_ = 0;
  std::int32_t errorCode_ = error_code::kNone;
};

int RunLocate(const LocateArguments& arguments, Console& console) { return LocateCommand(arguments, console).Run(); }

// The bytes the raw pass may overwrite: the located file's clusters.
std::uint64_t LocatedClusterBytes() {
  const LocatedFileData& file = LocatedFile;
  const std::uint64_t clusterBytes = std::uint64_t{file.volume.geometry.sectorsPerCluster} * kSectorSize;
  if (file.volume.kind == kFileSystemFat32 || file.volume.kind == kFileSystemExfat)
    return file.clusters.size() * clusterBytes;
  if (file.dataNotLocated) return 0;
  std::uint64_t clusters = 0;
  auto add = [&](const MftRecord& data) {
    if (data.isResident) return;
    for (const DataRun& run : data.runs)
      if (run.startCluster != 0) clusters += run.clusterCount;  // sparse runs have nothing on the volume
  };
  add(file.record);
  for (const MftRecord& stream : file.namedStreams) add(stream);
  return clusters * clusterBytes;
}

// One shred from the command line, in its steps: resolve the file, confirm,
// shred (and verify), report.
class ShredCommand {
 public:
  ShredCommand(const ShredArguments& arguments, Console& console) : arguments_(arguments), console_(console) {}

  int Run() {
    if (std::optional<int> status = Resolve()) return *status;
    if (std::optional<int> status = Confirm()) return *status;
    return Report(Execute());
  }

 private:
  enum class Outcome { Shredded, Incomplete, Declined, Failed, VerifyFailed };

  // The file as the engines name it; a status when it cannot be shredded.
  std::optional<int> Resolve() {
    file_ = ToDrivePath(arguments_.file, console_);
    if (!file_) return kExitFailed;
    platform::SystemError error;
    if (!platform::FileSizeAt(file_->path, error)) {
      console_.err << "corvanel-cli: " << Printable(arguments_.file) << ": "
                   << platform::Utf16ToUtf8(platform::SystemErrorMessage(error)) << '\n';
      return kExitFailed;
    }
    return std::nullopt;
  }

  std::optional<int> Confirm() {
    ShredFilePath.Set(file_->path);
    ShredFileChosen = 1;
    ShowUserPrompt(prompt::kConfirmShred);
    if (LastPromptAnswer == kPromptYes) return std::nullopt;
    console_.err << "corvanel-cli: nothing was shredded\n";
    return kExitFailed;
  }

  Outcome Execute() {
    CurrentOperation = kOperationShred;
    bool shredded = LocateFileClusters(file_->letter, errorCode_);
    if (shredded) {
      UnlocatedFileAnswer answer(console_, arguments_.deleteUnlocated);
      if (arguments_.verify && LocatedFile.volume.kind == kFileSystemNtfs && !LocatedFile.dataNotLocated) {
        std::int32_t ignored = error_code::kNone;
        namesBefore_ = CountNameTraces(file_->letter, ignored);
      }
      ProgressLine progress(console_, ProgressLine::Work::Shred);
      if (!arguments_.inPlaceOnly) progress.SetTotal(LocatedClusterBytes());
      shredded = ShredLocatedFile(file_->letter, errorCode_, &report_,
                                  arguments_.inPlaceOnly ? ShredMode::InPlaceOnly : ShredMode::Full);
    }
    CurrentOperation = kOperationIdle;
    if (report_.declined) return Outcome::Declined;
    if (!shredded) return Outcome::Failed;
    if (arguments_.verify && !report_.written.empty()) {
      if (!VerifyOverwrite(file_->letter, report_, mismatched_, errorCode_)) return Outcome::Failed;
      if (!mismatched_.empty()) return Outcome::VerifyFailed;
      verified_ = true;
    }
    if (arguments_.verify && report_.deleted && !report_.deletedWithoutOverwrite &&
        LocatedFile.volume.kind == kFileSystemNtfs) {
      std::int32_t ignored = error_code::kNone;
      namesLeft_ = CountNameTraces(file_->letter, ignored);
      if (NamesLeftByTheShred() > 0) return Outcome::Incomplete;
    }
    // Deleted, but something of it was left where it lay: not a shred.
    return report_.Complete() ? Outcome::Shredded : Outcome::Incomplete;
  }

  std::string Message(Outcome outcome) const {
    switch (outcome) {
      case Outcome::Shredded:
        return report_.rawPassSkipped ? "zeroed in place and deleted; the raw volume was not written" : "";
      case Outcome::Incomplete:
        if (NamesLeftByTheShred() > 0 && report_.Complete())
          return "the file's name is still in its folder's index, where the shred left it";
        return "not everything the file left on the volume was overwritten";
      case Outcome::Declined:
        return "its data was not located and it was not deleted";
      case Outcome::VerifyFailed:
        return std::to_string(mismatched_.size()) + " overwritten range(s) do not hold what was written";
      case Outcome::Failed:
        break;
    }
    std::string message = FailureText(errorCode_);
    // Say exactly how far it got: the file is gone, its traces maybe not.
    if (report_.deleted)
      message = "the file is deleted" + std::string(report_.zeroedInPlace ? " and was zeroed in place" : "") +
                ", but the raw overwrite stopped: " + message;
    return message;
  }

  int Report(Outcome outcome) {
    const std::string message = Message(outcome);
    if (arguments_.json) {
      static constexpr const char* kStatus[] = {"shredded", "incomplete", "declined", "failed", "verify-failed"};
      nlohmann::ordered_json line = {{"path", arguments_.file},
                                     {"status", kStatus[static_cast<int>(outcome)]},
                                     {"deleted", report_.deleted},
                                     {"zeroedInPlace", report_.zeroedInPlace},
                                     {"cutInPlace", report_.cutInPlace},
                                     {"rawPass", report_.deleted && !report_.rawPassSkipped &&
                                                     !report_.deletedWithoutOverwrite},
                                     {"clustersZeroed", report_.clustersZeroed},
                                     {"clustersTaken", report_.clustersTaken},
                                     {"clustersNotLocated", report_.clustersNotLocated},
                                     {"recordOverwritten", report_.recordOverwritten},
                                     {"recordTaken", report_.recordTaken},
                                     {"extensionRecordsOverwritten", report_.extensionRecordsOverwritten},
                                     {"extensionRecordsTaken", report_.extensionRecordsTaken},
                                     {"entriesScrubbed", report_.entriesScrubbed},
                                     {"entriesTaken", report_.entriesTaken},
                                     {"interrupted", report_.interrupted},
                                     {"verified", verified_},
                                     {"nameCopiesLeft", namesLeft_ ? nlohmann::ordered_json(*namesLeft_)
                                                                   : nlohmann::ordered_json(nullptr)},
                                     {"nameCopiesLeftByShred", NamesLeftByTheShred()},
                                     {"message", message}};
      console_.out << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    } else {
      PrintReport(console_, report_, *file_);
      if (namesLeft_.value_or(0) > 0)
        console_.err << "corvanel-cli: warning: its folder's index still holds " << *namesLeft_ << " cop"
                     << (*namesLeft_ == 1 ? "y" : "ies") << " of its name past its entries"
                     << (NamesLeftByTheShred() == 0 ? " (there before the shred, left by earlier changes to the folder)"
                                                     : "")
                     << '\n';
      for (const OverwrittenRange& range : mismatched_)
        console_.err << "corvanel-cli: verify: " << Bytes(range.length) << " at byte " << range.offset
                     << " do not hold what was written\n";
      if (outcome == Outcome::Shredded && verified_) {
        std::uint64_t bytes = 0;
        for (const OverwrittenRange& range : report_.written) bytes += range.length;
        console_.out << "verified: " << report_.written.size() << " range" << (report_.written.size() == 1 ? "" : "s")
                     << ", " << Bytes(bytes) << ", read back as written\n";
      }
      if (outcome != Outcome::Shredded) console_.err << "corvanel-cli: " << Printable(message, true) << '\n';
    }
    return outcome == Outcome::Shredded ? kExitOk : kExitFailed;
  }

  const ShredArguments& arguments_;
  Console& console_;
  std::optional<DrivePath> file_;
  ShredReport report_;
  std::int32_t errorCode_ = error_code::kNone;
  std::vector<OverwrittenRange> mismatched_;
  bool verified_ = false;
  // NTFS with --verify: copies of its names in its folder's record and index
  // blocks, before the shred (its own entries among them) and after.
  std::optional<std::uint32_t> namesBefore_;
  std::optional<std::uint32_t> namesLeft_;

  // Copies beyond those that lay past the folder's entries before the shred:
  // earlier changes to the folder leave such copies, which the shred cannot
  // reach without writing the folder's live index.
  std::uint32_t NamesLeftByTheShred() const {
    if (!namesLeft_) return 0;
    const auto entries = static_cast<std::uint32_t>(LocatedFile.names.size());
    const std::uint32_t stale = namesBefore_ && *namesBefore_ > entries ? *namesBefore_ - entries : 0;
    return *namesLeft_ > stale ? *namesLeft_ - stale : 0;
  }
};

int RunShred(const ShredArguments& arguments, Console& console) { return ShredCommand(arguments, console).Run(); }

}  // namespace

void AddShredCommands(CLI::App& app, CommandAction& chosen) {
  auto shred = std::make_shared<ShredArguments>();
  CLI::App* command = app.add_subcommand(
      "shred",
      "delete FILE (on a mounted NTFS, FAT32 or exFAT volume) and overwrite what it leaves on the raw volume");
  command->footer(HelpFooter(0, "FILE lies on a mounted NTFS, FAT32 or exFAT volume; on Linux the volume's block\n"
                                 "device or image must be writable. Nothing is overwritten that the file does not own."));
  command->add_option("FILE", shred->file, "the file")->required();
  command->add_flag("--verify", shred->verify, "read every overwritten byte back");
  command->add_flag("--in-place-only", shred->inPlaceOnly,
                    "zero the file through the file system alone, where the raw volume may not be written");
  command->add_flag("--delete-unlocated", shred->deleteUnlocated,
                    "delete the file even when its data cannot be located on the raw volume, overwriting nothing "
                    "(--yes does not)");
  command->add_flag("--json", shred->json, "the outcome as one JSON object");
  command->callback([=, &chosen] { chosen = [=](Console& console) { return RunShred(*shred, console); }; });

  auto locate = std::make_shared<LocateArguments>();
  command = app.add_subcommand(
      "locate", "print, as JSON, where the file PATH (\"dir\\file\") of a volume lies: its record or entries and "
                "clusters");
  AddVolumeArgument(*command, locate->volume);
  command->add_option("PATH", locate->path, "the file's path inside the volume")->required();
  command->footer(HelpFooter(kHelpVolumes));
  command->callback([=, &chosen] { chosen = [=](Console& console) { return RunLocate(*locate, console); }; });
}

}  // namespace corvanel::cli
