// The recovery engine.
#include "recover/recovery_engine.h"

#include <algorithm>
#include <optional>
#include <set>

#include "app/message_catalogue.h"
#include "app/progress_meter.h"
#include "app/shared_state.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "volume/deleted_file_scan.h"
#include "volume/ntfs_layout.h"
#include "volume/raw_volume.h"

namespace corvanel {

std::u16string RecoverDestination;
std::vector<std::u16string> DestinationFileNames;

namespace {

constexpr std::uint64_t kBatchBytes = 1 << 20;  // clusters read and written together

bool English() { return UiLanguage == kLanguageEnglish; }

std::u16string Caption() { return std::u16string(PromptCaption(English() ? kLanguageEnglish : kLanguageChinese)); }

char16_t Folded(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

// A name a file can be created under, in the destination folder itself: no
// separators, no stream or device syntax, nothing that leaves the folder.
bool IsUsableName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name)
    if (c < 0x20 || std::u16string_view(u"<>:\"/\\|*?").find(c) != std::u16string_view::npos) return false;
  return true;
}

bool EndsWithSeparator(std::u16string_view path) {
  return !path.empty() && (path.back() == u'/' || platform::IsPathSeparator(path.back()));
}

std::u16string PathSeparator() { return platform::IsPathSeparator(u'\\') ? u"\\" : u"/"; }

std::u16string TargetFor(std::u16string_view name) {
  std::u16string target = RecoverDestination;
  if (!EndsWithSeparator(target)) target += PathSeparator();
  return target + std::u16string(name);
}

std::u16string FileNameOf(std::u16string_view path) {
  std::size_t start = path.size();
  while (start > 0 && !EndsWithSeparator(path.substr(0, start))) --start;
  return std::u16string(path.substr(start));
}

std::u16string Decimal(std::int32_t number) { return platform::Utf8ToUtf16(std::to_string(number)); }

// What one entry needs of the destination.
struct Plan {
  std::u16string name;         // the listed file's name, its "?" replaced when written
  std::int32_t key = 0;
  std::uint64_t size = 0;
  std::uint64_t needed = 0;    // bytes of space it takes
  bool resident = false;
  const MftRecord* record = nullptr;
  const FatDeletedEntry* fatEntry = nullptr;
};

// What became of one file, and whether the run goes on.
enum class Outcome {
  Next,          // written or skipped (and reported): on with the next file
  FileFailed,    // a write failed: the file is skipped, the run goes on
  StopDeclined,  // the user would not have a file of the folder replaced: the run ends there
  StopAborted,   // the program is being left (AbortRequested): the run ends, the partial file goes
};

// The same-name rule's answer for one file.
enum class Claim { Take, Skip, End };

class Recovery {
 public:
  Recovery(char driveLetter, std::int32_t& errorCode, RecoveryObserver* observer)
      : volume_(driveLetter), facts_(LastScan.ScannedVolume), errorCode_(errorCode), observer_(observer) {
    clusterBytes_ = ClusterBytes(facts_);
    volumeClusters_ = facts_.geometry.sectorsPerCluster ? facts_.volumeSectors / facts_.geometry.sectorsPerCluster : 0;
  }

  // One ticked file: its name settled, its data copied into a scratch file,
  // and the scratch file put in place under the name.
  Outcome Handle(Plan& plan) {
    plan.name = RecoveredName(plan.name);
    RecoveredFile written{plan.key, TargetFor(plan.name), 0, plan.size};
    if (!IsUsableName(plan.name)) {
      written.path = RenamedTarget(plan, platform::InvalidNameError());
      written.renamed = true;
    }
    if (std::optional<Outcome> notTaken = ClaimName(written)) return *notTaken;
    if (!HasSpaceFor(plan.needed, written.path)) {
      errorCode_ = error_code::kRecoverDiskFull;
      return Skip(written, SkipReason::NoSpace);
    }

    platform::SystemError error;
    platform::StagedFile file = platform::StagedFile::Create(written.path, error);
    if (!file.IsOpen()) return NotWritten(plan, written, error);
    available_ -= std::min(available_, plan.needed);

    const Outcome outcome = CopyData(plan, file, written);
    // A write that failed: the scratch file goes, the run goes on.
    if (outcome == Outcome::FileFailed) return Skip(written, SkipReason::NotWritten);
    if (outcome != Outcome::Next) return outcome;  // stopped: the scratch file goes
    // Not one sector of it could be read: no file, only the report.
    if (written.bytesWritten == 0 && written.unreadableBytes > 0) return Skip(written, SkipReason::NothingRead);
    return Commit(plan, file, written);
  }

 private:
  // The name a file goes under. A name a file of this run already took gets
  // the first free number, "name (2).ext"; a file that was in the folder
  // before the run is replaced only after Yes to the same-name question: No
  // ends the run, and no answer at all (nobody to ask) skips this file.
  Claim SettleName(RecoveredFile& written) {
    if (!namesBefore_) {
      foldsCase_ = platform::NamesFoldCase(TargetFor(u"x"));
      namesBefore_.emplace();
      for (const std::u16string& existing : DestinationFileNames) namesBefore_->insert(Key(existing));
    }
    const std::u16string name = FileNameOf(written.path);
    const bool there = platform::FileExistsAt(written.path);
    if (there && platform::IsDirectory(written.path)) return Claim::Take;  // no file to replace: naming it fails, and says why
    const bool before = namesBefore_->contains(Key(name));
    // This run's own file, or one not in the folder before the run (a file of
    // this run under a name the comparison here does not fold alike): never replaced.
    if (namesWritten_.contains(Key(name)) || (there && !before)) {
      written.takenName = name;
      written.path = TargetFor(Numbered(name));
      return Claim::Take;
    }
    if (!before) return Claim::Take;
    switch (ShowPrompt(RecoverPageWindow, SameNameQuestion(name), Caption(), PromptButtons::YesNo)) {
      case kPromptYes: return Claim::Take;
      case kPromptNo: return Claim::End;
      default: return Claim::Skip;
    }
  }

  // The name settled for a file: nothing when it may be written under it,
  // else what became of it (skipped for want of an answer, or the run ends).
  std::optional<Outcome> ClaimName(RecoveredFile& written) {
    switch (SettleName(written)) {
      case Claim::Take: return std::nullopt;
      case Claim::Skip: return Skip(written, SkipReason::NameTaken);
      case Claim::End: break;
    }
    return Outcome::StopDeclined;
  }

  // The file's data into the scratch file (resident data, NTFS extents or a
  // FAT32 chain), and how whole it came out. Zeros owed for unreadable
  // clusters belong to one file: none are carried over from the last.
  Outcome CopyData(const Plan& plan, platform::StagedFile& file, RecoveredFile& written) {
    pendingZeros_ = 0;
    Outcome outcome = Outcome::Next;
    if (plan.resident)
      outcome = Put(file, plan.record->residentData, written) ? Outcome::Next : Outcome::FileFailed;
    else
      outcome = plan.record ? CopyRuns(*plan.record, file, written) : CopyFat(*plan.fatEntry, file, written);
    if (outcome != Outcome::Next) return outcome;
    // Pieces of it in extension records reused since are lost, or its run
    // list is damaged, whatever its size says.
    const bool piecesLost = plan.record && (plan.record->extensionsMissing || !plan.record->runsComplete);
    written.complete = written.bytesWritten == plan.size && written.unreadableBytes == 0 &&
                       written.damagedBytes == 0 && !piecesLost;
    return Outcome::Next;
  }

  // "name (n).ext" for the first n from 2 that names nothing in the folder.
  std::u16string Numbered(std::u16string_view name) const {
    std::size_t dot = name.rfind(u'.');
    if (dot == 0 || dot == std::u16string_view::npos) dot = name.size();  // ".profile" has no extension
    for (std::int32_t n = 2;; ++n) {
      std::u16string candidate =
          std::u16string(name.substr(0, dot)) + u" (" + Decimal(n) + u")" + std::u16string(name.substr(dot));
      if (!namesWritten_.contains(Key(candidate)) && !namesBefore_->contains(Key(candidate)) &&
          !platform::FileExistsAt(TargetFor(candidate)))
        return candidate;
    }
  }

  // A name as the destination compares it.
  std::u16string Key(std::u16string_view name) const { return foldsCase_ ? FoldedName(name) : std::u16string(name); }

  // Reports a file left out (nothing of it stays) and goes on with the next.
  Outcome Skip(RecoveredFile& written, SkipReason reason) {
    written.skipped = reason;
    written.complete = false;
    written.bytesWritten = 0;
    if (observer_) observer_->OnFileWritten(written);
    return Outcome::Next;
  }

  // The system refused to create or name the file: code 18 with its reason.
  Outcome NotWritten(const Plan& plan, RecoveredFile& written, platform::SystemError error) {
    written.systemText = platform::SystemErrorMessage(error);
    LastSystemErrorText.Set(CannotRecoverText(plan.name, written.systemText));
    errorCode_ = error_code::kScanSystemError;
    return Skip(written, SkipReason::NotWritten);
  }

  // Puts the finished file in place under its name, or, when the system
  // refuses the name (too long, characters it does not take), as
  // "Recover_" + size + extension. Ends the run when the user declines to
  // replace a file of the new name.
  Outcome Commit(const Plan& plan, platform::StagedFile& file, RecoveredFile& written) {
    platform::SystemError error;
    bool committed = file.Commit(written.path, error);
    if (!committed && platform::IsRefusedName(error) && !written.renamed) {
      written.path = RenamedTarget(plan, error);
      written.renamed = true;
      written.takenName.clear();
      if (std::optional<Outcome> notTaken = ClaimName(written)) return *notTaken;
      committed = file.Commit(written.path, error);
    }
    if (!committed) return NotWritten(plan, written, error);
    namesWritten_.insert(Key(FileNameOf(written.path)));
    if (observer_) observer_->OnFileWritten(written);
    return Outcome::Next;
  }

  // Writes bytes after any zeros owed for unreadable sectors before them.
  // False on a write failure: code 3 with the system's text.
  bool Put(platform::StagedFile& file, std::span<const std::uint8_t> bytes, RecoveredFile& written) {
    platform::SystemError error;
    while (pendingZeros_ > 0) {
      static const std::vector<std::uint8_t> zeros(kBatchBytes, 0);
      std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(pendingZeros_, zeros.size()));
      if (!file.Write(std::span(zeros).first(chunk), error)) return WriteFailed(error, written);
      pendingZeros_ -= chunk;
      written.bytesWritten += chunk;
    }
    if (!file.Write(bytes, error)) return WriteFailed(error, written);
    written.bytesWritten += bytes.size();
    AdvanceProgress(bytes.size());  // owed zeros were counted when their clusters failed
    return true;
  }

  bool WriteFailed(platform::SystemError error, RecoveredFile& written) {
    written.systemText = platform::SystemErrorMessage(error);
    ReportSystemError(error, error_code::kFileOpenFailed, errorCode_);
    return false;
  }

  // Whether the destination has more than `needed` bytes free. The system is
  // asked again whenever the space known from the last answer (less what was
  // written since) runs short, and at least every 256 MiB written.
  bool HasSpaceFor(std::uint64_t needed, const std::u16string& target) {
    constexpr std::uint64_t kRequeryBelow = 256ull << 20;
    if (!queried_ || needed >= available_ || queriedAt_ - available_ >= kRequeryBelow) {
      available_ = platform::AvailableBytes(target);
      queriedAt_ = available_;
      queried_ = true;
    }
    return needed < available_;
  }

  static std::u16string FoldedName(std::u16string_view name) {
    std::u16string folded(name);
    for (char16_t& c : folded) c = Folded(c);
    return folded;
  }

  // "Recover_" + size + the name's extension, in the destination folder,
  // after telling the user why.
  std::u16string RenamedTarget(const Plan& plan, platform::SystemError why) {
    const std::u16string& name = plan.name;
    constexpr std::size_t kLongestExtension = 16;  // a longer one may be what made the name too long
    std::size_t dot = name.rfind(u'.');
    std::u16string extension = dot == std::u16string::npos ? u"" : name.substr(dot);
    if (!IsUsableName(u"x" + extension) || extension.size() > kLongestExtension) extension.clear();
    auto number = static_cast<std::int32_t>(static_cast<std::uint32_t>(plan.size));
    ShowPrompt(RecoverPageWindow, RenamedNotice(name, platform::SystemErrorMessage(why), number, extension), Caption(),
               PromptButtons::Ok);
    return TargetFor(u"Recover_" + Decimal(number) + extension);
  }

  // Reads count sectors at sector into the buffer; false with the code set.
  // (count is at most a batch: kBatchBytes of sectors, or one cluster.)
  bool ReadSectors(std::uint64_t sector, std::uint64_t count, std::int32_t& code) {
    buffer_.resize(count * kSectorSize);
    return volume_.ReadSectors(sector, static_cast<std::uint32_t>(count), buffer_, code);
  }

  // Copies `clusters` clusters from `firstSector` on, no more than remaining
  // bytes. A batch that cannot be read is read again a cluster at a time; a
  // cluster that still cannot be read is owed as zeros, written only if
  // something readable follows it, so readable data keeps its place.
  Outcome CopyClusters(std::uint64_t firstSector, std::uint64_t clusters, platform::StagedFile& file,
                       std::uint64_t& remaining, RecoveredFile& written) {
    const std::uint64_t sectorsPerCluster = facts_.geometry.sectorsPerCluster;
    const std::uint64_t batchClusters = std::max<std::uint64_t>(1, kBatchBytes / clusterBytes_);
    for (std::uint64_t done = 0; done < clusters && remaining > 0;) {
      if (AbortRequested) return Outcome::StopAborted;
      std::uint64_t count = std::min({batchClusters, clusters - done, remaining / clusterBytes_ + (remaining % clusterBytes_ != 0)});
      std::int32_t code = error_code::kNone;
      if (ReadSectors(firstSector + done * sectorsPerCluster, count * sectorsPerCluster, code)) {
        std::uint64_t bytes = std::min(remaining, count * clusterBytes_);
        if (!Put(file, std::span(buffer_).first(bytes), written)) return Outcome::FileFailed;
        remaining -= bytes;
        done += count;
        continue;
      }
      for (std::uint64_t end = done + count; done < end; ++done) {
        if (AbortRequested) return Outcome::StopAborted;
        std::uint64_t bytes = std::min(remaining, clusterBytes_);
        if (ReadSectors(firstSector + done * sectorsPerCluster, sectorsPerCluster, code)) {
          if (!Put(file, std::span(buffer_).first(bytes), written)) return Outcome::FileFailed;
        } else {
          errorCode_ = code;
          pendingZeros_ += bytes;
          written.unreadableBytes += bytes;
          AdvanceProgress(bytes);
        }
        remaining -= bytes;
      }
    }
    return Outcome::Next;
  }

  // Zeros for a stretch the file holds no clusters for (a hole).
  bool PutZeros(platform::StagedFile& file, std::uint64_t bytes, RecoveredFile& written) {
    pendingZeros_ += bytes;
    return Put(file, {}, written);
  }

  // The bytes of `clusters` clusters from clusterCount, saturating: no file is longer.
  std::uint64_t BytesOf(std::uint64_t clusters) const {
    return clusters > UINT64_MAX / clusterBytes_ ? UINT64_MAX : clusters * clusterBytes_;
  }

  bool OnVolume(const DataRun& run) const {
    return run.startCluster < volumeClusters_ && run.clusterCount <= volumeClusters_ - run.startCluster;
  }

  // An NTFS file's data through its extents: holes as zeros, compressed
  // units decompressed. Extents outside the volume end it (partial). Past its
  // initialized size a file reads as zeros, whatever its clusters still hold.
  Outcome CopyRuns(const MftRecord& record, platform::StagedFile& file, RecoveredFile& written) {
    if (clusterBytes_ == 0) return Outcome::Next;
    const std::uint64_t initialized = std::min(record.realSize, record.initializedSize);
    std::uint64_t remaining = initialized;
    Outcome outcome = record.compressionUnit != 0 ? CopyCompressed(record, file, remaining, written)
                                                  : CopyExtents(record, file, remaining, written);
    // Extents that end early leave the file partial, not padded.
    if (outcome != Outcome::Next || remaining > 0 || initialized == record.realSize) return outcome;
    return PutZeros(file, record.realSize - initialized, written) ? Outcome::Next : Outcome::FileFailed;
  }

  Outcome CopyExtents(const MftRecord& record, platform::StagedFile& file, std::uint64_t& remaining,
                      RecoveredFile& written) {
    for (const DataRun& run : record.runs) {
      if (remaining == 0) break;
      if (run.sparse) {
        const std::uint64_t bytes = std::min(remaining, BytesOf(run.clusterCount));
        if (!PutZeros(file, bytes, written)) return Outcome::FileFailed;
        remaining -= bytes;
        continue;
      }
      if (!OnVolume(run)) break;
      Outcome outcome = CopyClusters(run.startCluster * facts_.geometry.sectorsPerCluster, run.clusterCount, file,
                                     remaining, written);
      if (outcome != Outcome::Next) return outcome;
    }
    return Outcome::Next;
  }

  // Compressed data comes in units of 2^compressionUnit clusters: a unit with
  // no clusters is zeros, a unit with all of them is stored as it is, and a
  // unit with fewer holds LZNT1 data in those it has. A unit that does not
  // decode is written as zeros and reported, never as if it were the data.
  Outcome CopyCompressed(const MftRecord& record, platform::StagedFile& file, std::uint64_t& remaining,
                         RecoveredFile& written) {
    constexpr std::uint64_t kLargestUnit = 64ull << 20;
    if (record.compressionUnit > 16 || BytesOf(1ull << record.compressionUnit) > kLargestUnit) return Outcome::Next;
    const std::uint64_t unitClusters = 1ull << record.compressionUnit;
    const std::uint64_t unitBytes = unitClusters * clusterBytes_;
    std::vector<std::uint8_t> compressed;
    std::vector<std::uint8_t> plain(unitBytes);
    std::size_t runIndex = 0;
    std::uint64_t intoRun = 0;  // clusters of runs[runIndex] already taken
    while (remaining > 0 && runIndex < record.runs.size()) {
      if (AbortRequested) return Outcome::StopAborted;
      // The unit's pieces, in order, from the extents.
      std::vector<DataRun> pieces;
      std::uint64_t covered = 0, allocated = 0;
      while (covered < unitClusters && runIndex < record.runs.size()) {
        const DataRun& run = record.runs[runIndex];
        const std::uint64_t take = std::min(unitClusters - covered, run.clusterCount - intoRun);
        pieces.push_back({run.sparse ? 0 : run.startCluster + intoRun, take, run.sparse});
        covered += take;
        if (!run.sparse) allocated += take;
        intoRun += take;
        if (intoRun == run.clusterCount) {
          ++runIndex;
          intoRun = 0;
        }
      }
      const std::uint64_t bytes = std::min(remaining, unitBytes);
      if (std::any_of(pieces.begin(), pieces.end(), [&](const DataRun& p) { return !p.sparse && !OnVolume(p); }))
        return Outcome::Next;  // outside the volume: the file ends here, partial
      if (allocated == 0) {
        if (!PutZeros(file, bytes, written)) return Outcome::FileFailed;
        remaining -= bytes;
        continue;
      }
      if (allocated == unitClusters) {  // stored as it is
        for (const DataRun& piece : pieces) {
          Outcome outcome = CopyClusters(piece.startCluster * facts_.geometry.sectorsPerCluster, piece.clusterCount,
                                         file, remaining, written);
          if (outcome != Outcome::Next) return outcome;
        }
        continue;
      }
      compressed.clear();
      bool read = true;
      std::int32_t code = error_code::kNone;
      for (const DataRun& piece : pieces) {
        if (piece.sparse) continue;
        if (!ReadSectors(piece.startCluster * facts_.geometry.sectorsPerCluster,
                         piece.clusterCount * facts_.geometry.sectorsPerCluster, code)) {
          read = false;
          break;
        }
        compressed.insert(compressed.end(), buffer_.begin(), buffer_.end());
      }
      if (!read) {
        errorCode_ = code;
        pendingZeros_ += bytes;
        written.unreadableBytes += bytes;
      } else if (!DecompressLznt1(compressed, plain)) {
        if (!PutZeros(file, bytes, written)) return Outcome::FileFailed;
        written.damagedBytes += bytes;
      } else if (!Put(file, std::span(plain).first(bytes), written)) {
        return Outcome::FileFailed;
      }
      remaining -= bytes;
    }
    return Outcome::Next;
  }

  Outcome CopyFat(const FatDeletedEntry& entry, platform::StagedFile& file, RecoveredFile& written) {
    std::uint64_t remaining = entry.fileSize;
    std::uint64_t clusters = (remaining + clusterBytes_ - 1) / clusterBytes_;
    return CopyClusters(entry.firstDataSector, clusters, file, remaining, written);
  }

  RawVolume volume_;
  const BootSectorFacts& facts_;
  std::int32_t& errorCode_;
  RecoveryObserver* observer_;
  std::uint64_t clusterBytes_ = 0;
  std::uint64_t volumeClusters_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::optional<std::set<std::u16string>> namesBefore_;  // in the folder when it was chosen
  std::set<std::u16string> namesWritten_;                // by this run
  bool foldsCase_ = true;                                // the destination's names, as it compares them
  std::uint64_t pendingZeros_ = 0;  // owed for unreadable clusters of the current file
  bool queried_ = false;
  std::uint64_t available_ = 0;
  std::uint64_t queriedAt_ = 0;
};

Plan PlanFor(const MftRecord& record, std::uint64_t clusterBytes) {
  Plan plan{record.name};
  plan.record = &record;
  plan.resident = record.isResident != 0;
  plan.size = plan.resident ? record.residentLength : record.realSize;
  if (plan.resident) {
    plan.needed = record.residentLength;
  } else {
    // Its own allocation (the clusters of all its extents), or what it is
    // written as where holes and compression make that longer: its size, as
    // far as its extents reach.
    std::uint64_t covered = 0;
    auto add = [](std::uint64_t& sum, std::uint64_t clusters, std::uint64_t bytesEach) {
      const std::uint64_t bytes = bytesEach == 0 || clusters <= UINT64_MAX / bytesEach ? clusters * bytesEach : UINT64_MAX;
      sum = bytes > UINT64_MAX - sum ? UINT64_MAX : sum + bytes;
    };
    for (const DataRun& run : record.runs) {
      add(covered, run.clusterCount, clusterBytes);
      if (!run.sparse) add(plan.needed, run.clusterCount, clusterBytes);
    }
    plan.needed = std::max(plan.needed, std::min(record.realSize, covered));
  }
  return plan;
}

Plan PlanFor(const FatDeletedEntry& entry) {
  Plan plan{entry.name};
  plan.fatEntry = &entry;
  plan.size = plan.needed = entry.fileSize;
  return plan;
}

// Each ticked item is taken by its key, whatever its place in the tree; an
// item that names no listed file is passed over.
template <typename Entry, typename MakePlan>
RecoveryReport::End Walk(DeletedFilesView& view, TreeItem root, const std::vector<Entry>& files,
                         Recovery& recovery, MakePlan makePlan) {
  for (TreeItem child = view.FirstChild(root); child != 0; child = view.NextSibling(child)) {
    if (!view.IsChecked(child)) continue;
    const std::uintptr_t data = view.ItemData(child);
    if (data == 0 || data > files.size()) continue;
    Plan plan = makePlan(files[data - 1]);
    plan.key = static_cast<std::int32_t>(data - 1);
    switch (recovery.Handle(plan)) {
      case Outcome::Next:
      case Outcome::FileFailed:  // reported as skipped already
        break;
      case Outcome::StopDeclined:
        return RecoveryReport::End::Declined;
      case Outcome::StopAborted:
        return RecoveryReport::End::Interrupted;
    }
  }
  return RecoveryReport::End::Walked;
}

// The ticked files of the last scan into the destination; how the run ended.
RecoveryReport::End RecoverFromLastScan(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode,
                                        RecoveryObserver* observer) {
  TreeItem root = view.FirstChild(0);
  if (root == 0 || view.FirstChild(root) == 0) return RecoveryReport::End::NothingListed;
  // Writing onto the scanned volume would overwrite the very data being recovered.
  if (platform::PathIsOnVolume(RecoverDestination, driveLetter)) {
    ShowUserPrompt(prompt::kTargetOnScannedDisk);
    return RecoveryReport::End::OnScannedVolume;
  }
  Recovery recovery(driveLetter, errorCode, observer);
  const std::uint64_t clusterBytes = ClusterBytes(LastScan.ScannedVolume);
  if (LastScan.ScannedVolume.kind == kFileSystemNtfs)
    return Walk(view, root, LastScan.NtfsDeletedFiles, recovery,
                [&](const MftRecord& record) { return PlanFor(record, clusterBytes); });
  if (LastScan.ScannedVolume.kind == kFileSystemFat32)
    return Walk(view, root, LastScan.FatDeletedFiles, recovery,
                [](const FatDeletedEntry& entry) { return PlanFor(entry); });
  return RecoveryReport::End::Walked;
}

}  // namespace

std::u16string RecoveredName(std::u16string_view listed) {
  std::u16string name(listed);
  for (std::size_t at = name.find(u'?'); at != std::u16string::npos; at = name.find(u'?', at + 7))
    name.replace(at, 1, u"Recover");
  return name;
}

bool RecoverCheckedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode, RecoveryReport* report,
                         RecoveryObserver* observer) {
  const RecoveryReport::End end = RecoverFromLastScan(driveLetter, view, errorCode, observer);
  if (report) report->end = end;
  return errorCode == error_code::kNone;
}

}  // namespace corvanel
