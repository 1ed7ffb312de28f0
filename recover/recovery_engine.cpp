// The recovery engine.
#include "recover/recovery_engine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "app/message_catalogue.h"
#include "app/progress_meter.h"
#include "app/shared_state.h"
#include "crypt/sha256.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"
#include "volume/deleted_file_scan.h"
#include "volume/exfat_directory.h"
#include "volume/ntfs_layout.h"
#include "volume/raw_volume.h"
#include "volume/run_reader.h"

namespace corvanel {

std::u16string RecoverDestination;
bool RecoverFileTimes = true;
bool RecoverHashes = false;
bool RecoverKeepPaths = false;
std::vector<std::u16string> DestinationFileNames;

namespace {

constexpr std::uint64_t kBatchBytes = 1 << 20;  // owed zeros go out in blocks this large

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

std::u16string Joined(std::u16string_view folder, std::u16string_view name) {
  std::u16string path(folder);
  if (!EndsWithSeparator(path)) path += PathSeparator();
  return path + std::u16string(name);
}

// Device names Windows keeps in every folder, whatever the extension.
bool IsDeviceName(std::u16string_view name) {
  std::u16string base(name.substr(0, name.find(u'.')));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (char16_t& c : base) c = Folded(c);
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" || base == u"CONIN$" || base == u"CONOUT$")
    return true;
  return base.size() == 4 && (base.starts_with(u"COM") || base.starts_with(u"LPT")) && base[3] >= u'1' &&
         base[3] <= u'9';
}

// A folder of the listed path as it can be made in the destination: as it is
// when every system takes it, else "Recover_" and a number of its own, the
// same for the same name.
std::u16string SafeFolderName(std::u16string_view part) {
  constexpr std::size_t kLongestName = 255;
  const bool trailing = !part.empty() && (part.back() == u'.' || part.back() == u' ');
  if (IsUsableName(part) && !IsDeviceName(part) && !trailing && part.size() <= kLongestName)
    return std::u16string(part);
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (char16_t c : part) hash = (hash ^ c) * 16777619u;
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08x", hash);
  return u"Recover_" + platform::Utf8ToUtf16(hex);
}

// The folder inside the destination for a file listed under path ("a/b",
// "?/b" when the scan lost a folder on the way): each part made safe.
std::u16string FolderFor(std::u16string_view path) {
  std::u16string folder;
  bool first = true;
  while (!path.empty()) {
    const std::size_t end = path.find(u'/');
    const std::u16string_view part = path.substr(0, end);
    if (!part.empty()) {
      if (!folder.empty()) folder += PathSeparator();
      folder += first && part == u"?" ? std::u16string(kUnknownFolderName) : SafeFolderName(part);
      first = false;
    }
    if (end == std::u16string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return folder;
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
  std::u16string folder{};     // RecoverKeepPaths: its folder inside the destination ("" the destination itself)
  std::int32_t key = 0;
  std::uint64_t size = 0;
  std::uint64_t needed = 0;    // bytes of space it takes
  bool resident = false;
  const MftRecord* record = nullptr;
  const FatDeletedEntry* fatEntry = nullptr;
  const ListedFile* exfatFile = nullptr;
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

// A stretch of one file's data as read from the volume.
struct Piece {
  enum class Kind { Bytes, Zeros, Unreadable, Damaged, End };
  Kind kind = Kind::End;
  std::uint64_t count = 0;          // Zeros, Unreadable, Damaged: bytes
  std::int32_t code = 0;            // Unreadable: why
  bool counted = true;              // Unreadable: its bytes go into the progress
  bool afterRead = false;           // Bytes: a read came first (a stop request is looked at before it)
  bool piecesLost = false;          // End: extension records or clusters of it were missing, or its set damaged
  std::vector<std::uint8_t> bytes;  // Bytes: [from, from + count) of it
  std::size_t from = 0;
};

// One ticked file as the reading thread found it: its plan (pointing into
// the record or entry it holds), then its pieces, then an End piece.
struct Job {
  Plan plan;
  MftRecord record;
  FatDeletedEntry fatEntry;
  std::optional<SkipReason> refused;  // its record could not be had as listed: nothing follows
};

struct Item {
  std::unique_ptr<Job> job;  // a file begins; else a piece of the current one
  Piece piece;
};

// Files' data go from the thread reading the volume to the one writing
// files, in file order, with at most about kHeld bytes between them: the
// volume is read while the last files are written and named. Items go over
// in batches, so that two threads meet (a lock, perhaps a wake-up) once
// every many small files rather than for each; and their buffers come back
// for reuse, so the bytes stay in the cache rather than in fresh pages.
class Handoff {
 public:
  static constexpr std::uint64_t kHeld = 2ull << 20;
  static constexpr std::uint64_t kBatchBytes = 256ull << 10;
  static constexpr std::size_t kBatchItems = 64;

  // Reader: false once the writer has stopped the run.
  bool Push(Item item) {
    if (stopped_) return false;
    outgoingBytes_ += item.piece.bytes.size();
    outgoing_.push_back(std::move(item));
    return (outgoingBytes_ < kBatchBytes && outgoing_.size() < kBatchItems) || Flush();
  }
  // Reader: the last items, and no more to come.
  void Finish() {
    Flush();
    std::lock_guard lock(mutex_);
    finished_ = true;
    ready_.notify_one();
  }
  // Reader: an empty buffer, one the writer is done with where it can.
  std::vector<std::uint8_t> Buffer() {
    if (spare_.empty()) return {};
    std::vector<std::uint8_t> buffer = std::move(spare_.back());
    spare_.pop_back();
    spareBytes_ -= buffer.capacity();
    return buffer;
  }
  // Writer: a buffer written out, for the reader to fill again (as many as
  // hold kHeld bytes at most: what is kept for reuse is bounded too).
  void GiveBack(std::vector<std::uint8_t>&& buffer) {
    if (buffer.capacity() == 0 || given_.size() >= kBatchItems || givenBytes_ + buffer.capacity() > kHeld) return;
    givenBytes_ += buffer.capacity();
    given_.push_back(std::move(buffer));
  }

  // Writer: the next item; nothing once the reader has finished and all are taken.
  std::optional<Item> Pop() {
    if (incoming_.empty()) {
      std::unique_lock lock(mutex_);
      held_ -= incomingBytes_;  // the last batch is done with
      for (std::vector<std::uint8_t>& buffer : given_) returned_.push_back(std::move(buffer));
      given_.clear();
      givenBytes_ = 0;
      room_.notify_one();
      ready_.wait(lock, [&] { return !items_.empty() || finished_; });
      incoming_.swap(items_);
      incomingBytes_ = queuedBytes_;
      queuedBytes_ = 0;
    }
    if (incoming_.empty()) return std::nullopt;
    Item item = std::move(incoming_.front());
    incoming_.pop_front();
    return item;
  }
  // Writer: the run ends; the reader stops at its next item.
  void Stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;  // what is held goes with the handoff, after the reader has ended
    room_.notify_one();
  }
  bool Stopped() const { return stopped_; }

 private:
  bool Flush() {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [&] { return stopped_ || held_ == 0 || held_ + outgoingBytes_ <= kHeld; });
    if (stopped_) return false;
    held_ += outgoingBytes_;
    queuedBytes_ += outgoingBytes_;
    for (Item& item : outgoing_) items_.push_back(std::move(item));
    outgoing_.clear();
    outgoingBytes_ = 0;
    for (std::vector<std::uint8_t>& buffer : returned_) {
      if (spare_.size() >= kBatchItems || spareBytes_ + buffer.capacity() > kHeld) break;
      spareBytes_ += buffer.capacity();
      spare_.push_back(std::move(buffer));
    }
    returned_.clear();
    ready_.notify_one();
    return true;
  }

  std::mutex mutex_;
  std::condition_variable ready_, room_;
  std::deque<Item> items_;           // handed over, not yet taken
  std::uint64_t held_ = 0;           // bytes handed over and not yet done with
  std::uint64_t queuedBytes_ = 0;    // of items_
  bool finished_ = false;
  std::atomic<bool> stopped_{false};
  std::vector<std::vector<std::uint8_t>> returned_;  // buffers on their way back
  std::vector<Item> outgoing_;       // the reader's batch
  std::uint64_t outgoingBytes_ = 0;
  std::vector<std::vector<std::uint8_t>> spare_;     // the reader's buffers to fill
  std::uint64_t spareBytes_ = 0;
  std::deque<Item> incoming_;        // the writer's batch
  std::uint64_t incomingBytes_ = 0;
  std::vector<std::vector<std::uint8_t>> given_;     // the writer's buffers written out
  std::uint64_t givenBytes_ = 0;
};

// The reading thread's side of the handoff for one file.
class Recorder {
 public:
  explicit Recorder(Handoff& handoff) : handoff_(handoff) {}
  bool GoOn() { return !handoff_.Stopped(); }
  bool Bytes(std::span<const std::uint8_t> bytes, bool afterRead) {
    Item item;
    item.piece.kind = Piece::Kind::Bytes;
    item.piece.afterRead = afterRead;
    item.piece.bytes = handoff_.Buffer();
    item.piece.bytes.assign(bytes.begin(), bytes.end());
    item.piece.count = bytes.size();
    return handoff_.Push(std::move(item));
  }
  // A read's buffer taken whole, not copied; the reader reads on into a spare.
  bool Take(std::vector<std::uint8_t>& buffer, std::size_t from, std::size_t count) {
    Item item;
    item.piece.kind = Piece::Kind::Bytes;
    item.piece.afterRead = true;
    item.piece.bytes = handoff_.Buffer();
    item.piece.bytes.swap(buffer);
    item.piece.from = from;
    item.piece.count = count;
    return handoff_.Push(std::move(item));
  }
  bool Zeros(std::uint64_t count) { return Push(Piece::Kind::Zeros, count); }
  bool Damaged(std::uint64_t count) { return Push(Piece::Kind::Damaged, count); }
  bool Unreadable(std::uint64_t count, std::int32_t code, bool counted) {
    return Push(Piece::Kind::Unreadable, count, code, counted);
  }
  bool End(bool piecesLost) {
    Item item;
    item.piece.piecesLost = piecesLost;
    return handoff_.Push(std::move(item));
  }

 private:
  bool Push(Piece::Kind kind, std::uint64_t count, std::int32_t code = 0, bool counted = true) {
    if (count == 0 && kind != Piece::Kind::Unreadable) return true;
    Item item;
    item.piece.kind = kind;
    item.piece.count = count;
    item.piece.code = code;
    item.piece.counted = counted;
    return handoff_.Push(std::move(item));
  }
  Handoff& handoff_;
};

class Recovery {
 public:
  Recovery(char driveLetter, std::int32_t& errorCode, RecoveryObserver* observer)
      : volume_(driveLetter), facts_(LastScan.ScannedVolume), errorCode_(errorCode), observer_(observer) {
    clusterBytes_ = ClusterBytes(facts_);
  }

  // One ticked file: its name settled, its data (from the handoff) copied
  // into a scratch file, and the scratch file put in place under the name.
  Outcome Handle(Plan& plan, Handoff& handoff) {
    plan.name = RecoveredName(plan.name);
    if (std::optional<Outcome> noFolder = EnterFolder(plan)) return *noFolder;
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

    const Outcome outcome = CopyData(plan, handoff, file, written);
    // A write that failed: the scratch file goes, the run goes on.
    if (outcome == Outcome::FileFailed) return Skip(written, SkipReason::NotWritten);
    if (outcome != Outcome::Next) return outcome;  // stopped: the scratch file goes
    // Not one sector of it could be read: no file, only the report.
    if (written.bytesWritten == 0 && written.unreadableBytes > 0) return Skip(written, SkipReason::NothingRead);
    return Commit(plan, file, written);
  }

  // A ticked file that cannot be taken from the volume as listed: reported skipped.
  Outcome Refuse(Plan& plan, SkipReason reason) {
    plan.name = RecoveredName(plan.name);
    RecoveredFile written{plan.key, Joined(Joined(RecoverDestination, plan.folder), plan.name), 0, plan.size};
    return Skip(written, reason);
  }

  RawVolume& Volume() { return volume_; }

  // Reading thread: each file's data, in order, into the handoff (pieces
  // and an End), until the last or until the writer stops the run.
  void Read(Job& job, Recorder& out) {
    const Plan& plan = job.plan;
    exfatGuessed_ = false;
    Outcome outcome = Outcome::Next;
    if (plan.resident)
      outcome = out.Bytes(plan.record->residentData, false) ? Outcome::Next : Outcome::StopAborted;
    else
      outcome = plan.record      ? CopyRuns(*plan.record, out)
                : plan.exfatFile ? CopyExfat(*plan.exfatFile, out)
                                 : CopyFat(*plan.fatEntry, out);
    if (outcome != Outcome::Next) return;
    // Pieces of it in extension records reused since are lost, or its run
    // list is damaged, whatever its size says.
    out.End((plan.record && (plan.record->extensionsMissing || !plan.record->runsComplete)) ||
            (plan.exfatFile && exfatGuessed_));
  }

  // Passes over what is left of the current file's pieces.
  void SkipRest(Handoff& handoff) {
    while (!ended_) {
      std::optional<Item> item = handoff.Pop();
      ended_ = !item || item->piece.kind == Piece::Kind::End;
    }
  }
  void BeginFile() { ended_ = false; }

 private:
  // The folder a file goes into, made as needed (RecoverKeepPaths), part by
  // part and never through a link; the names it held before this run are
  // taken when the run first comes to it. A folder that cannot be made
  // skips the file, with the system's reason.
  std::optional<Outcome> EnterFolder(const Plan& plan) {
    if (!names_) foldsCase_ = platform::NamesFoldCase(Joined(RecoverDestination, u"x"));
    folder_ = RecoverDestination;
    std::u16string relative;
    for (std::u16string_view rest = plan.folder; !rest.empty();) {
      std::size_t end = 0;
      while (end < rest.size() && !platform::IsPathSeparator(rest[end]) && rest[end] != u'/') ++end;
      const std::u16string_view part = rest.substr(0, end);
      rest.remove_prefix(std::min(rest.size(), end + 1));
      relative = relative.empty() ? std::u16string(part) : Joined(relative, part);
      const std::u16string path = Joined(folder_, part);
      FolderNames* names = nullptr;
      if (auto known = folderNames_.find(Key(relative)); known != folderNames_.end()) {
        names = &known->second;
      } else {
        names = &folderNames_[Key(relative)];
        for (const std::u16string& existing : platform::DirectoryNames(path)) names->before.insert(Key(existing));
      }
      // Made (or found a real folder) once per run: not again for every file in it.
      if (!names->made) {
        platform::SystemError error;
        if (!platform::MakeRealFolder(path, error)) {
          RecoveredFile written{plan.key, Joined(path, plan.name), 0, plan.size};
          return NotWritten(plan, written, error);
        }
        names->made = true;
      }
      folder_ = path;
    }
    names_ = &folderNames_[Key(relative)];
    if (relative.empty() && !rootListed_) {
      for (const std::u16string& existing : DestinationFileNames) names_->before.insert(Key(existing));
      rootListed_ = true;
    }
    return std::nullopt;
  }

  std::u16string TargetFor(std::u16string_view name) const { return Joined(folder_, name); }

  // The name a file goes under. A name a file of this run already took gets
  // the first free number, "name (2).ext"; a file that was in the folder
  // before the run is replaced only after Yes to the same-name question: No
  // ends the run, and no answer at all (nobody to ask) skips this file.
  Claim SettleName(RecoveredFile& written, bool trustLists) {
    const std::u16string name = FileNameOf(written.path);
    // A name neither listed before the run nor taken by it is most likely
    // free: it is not looked up here but committed without replacing
    // anything, and settled by this rule only when that finds it taken.
    unchecked_ = trustLists && !names_->before.contains(Key(name)) && !names_->written.contains(Key(name));
    if (unchecked_) return Claim::Take;
    // A name this run took is numbered without looking: its file is there.
    const bool ours = names_->written.contains(Key(name));
    const bool there = !ours && platform::FileExistsAt(written.path);
    if (there && platform::IsDirectory(written.path)) return Claim::Take;  // no file to replace: naming it fails, and says why
    const bool before = names_->before.contains(Key(name));
    // This run's own file, or one not in the folder before the run (a file of
    // this run under a name the comparison here does not fold alike): never replaced.
    if (ours || (there && !before)) {
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
  // trustLists false: the folder is looked at whatever its lists say.
  std::optional<Outcome> ClaimName(RecoveredFile& written, bool trustLists = true) {
    switch (SettleName(written, trustLists)) {
      case Claim::Take: return std::nullopt;
      case Claim::Skip: return Skip(written, SkipReason::NameTaken);
      case Claim::End: break;
    }
    return Outcome::StopDeclined;
  }

  // The file's data into the scratch file as the reading thread hands it
  // over, and how whole it came out. Zeros owed for unreadable clusters
  // belong to one file: none are carried over from the last.
  Outcome CopyData(const Plan& plan, Handoff& handoff, platform::StagedFile& file, RecoveredFile& written) {
    pendingZeros_ = 0;
    // A file's hash starts afresh, whatever a file that failed left in it.
    hashing_ = RecoverHashes;
    if (hashing_) {
      if (!hash_) hash_.emplace();
      hash_->Restart();
    }
    bool piecesLost = false;
    while (!ended_) {
      std::optional<Item> item = handoff.Pop();
      if (!item) return Outcome::StopAborted;  // the reader failed: no half file is named
      Piece& piece = item->piece;
      bool on = true;
      switch (piece.kind) {
        case Piece::Kind::End:
          ended_ = true;
          piecesLost = piece.piecesLost;
          break;
        case Piece::Kind::Bytes:
          if (piece.afterRead && AbortRequested) return Outcome::StopAborted;
          on = Put(file, std::span(piece.bytes).subspan(piece.from, piece.count), written);
          handoff.GiveBack(std::move(piece.bytes));
          break;
        case Piece::Kind::Zeros:
          on = PutZeros(file, piece.count, written);
          break;
        case Piece::Kind::Damaged:
          on = PutZeros(file, piece.count, written);
          if (on) written.damagedBytes += piece.count;
          break;
        case Piece::Kind::Unreadable:
          errorCode_ = piece.code;
          pendingZeros_ += piece.count;
          written.unreadableBytes += piece.count;
          if (piece.counted) AdvanceProgress(piece.count);
          break;
      }
      if (!on) return Outcome::FileFailed;
    }
    if (hashing_) written.sha256 = hash_->FinishHex();
    written.complete = written.bytesWritten == plan.size && written.unreadableBytes == 0 &&
                       written.damagedBytes == 0 && !piecesLost;
    return Outcome::Next;
  }

  // "name (n).ext" for the first n from 2 that names nothing in the folder.
  // The numbers the folder's lists hold stay held for the run: each search
  // starts past those found before, not at 2 again.
  std::u16string Numbered(std::u16string_view name) {
    std::size_t dot = name.rfind(u'.');
    if (dot == 0 || dot == std::u16string_view::npos) dot = name.size();  // ".profile" has no extension
    std::int32_t& listedBelow = names_->numberedFrom[Key(name)];
    listedBelow = std::max(listedBelow, 2);
    for (std::int32_t n = listedBelow;; ++n) {
      std::u16string candidate =
          std::u16string(name.substr(0, dot)) + u" (" + Decimal(n) + u")" + std::u16string(name.substr(dot));
      if (names_->written.contains(Key(candidate)) || names_->before.contains(Key(candidate))) {
        if (n == listedBelow) listedBelow = n + 1;
        continue;
      }
      if (!platform::FileExistsAt(TargetFor(candidate))) return candidate;
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
    // The times are the file's own, not today's; a system that refuses them
    // leaves the file as it is, written whole.
    if (RecoverFileTimes && plan.exfatFile) {
      // Each exFAT time is UTC or local as its entry kept it: each set as what it is.
      const ListedFile& listed = *plan.exfatFile;
      const FileTimes& times = listed.times;
      for (const bool utc : {true, false}) {
        auto pick = [&](std::uint64_t ticks, std::uint8_t flag) {
          return ((listed.flags & flag) != 0) == utc ? ticks : 0;
        };
        platform::SystemError ignored;
        file.SetTimes(pick(times.created, ListedFile::kCreatedUtc), pick(times.modified, ListedFile::kModifiedUtc),
                      pick(times.accessed, ListedFile::kAccessedUtc), !utc, ignored);
      }
    } else if (RecoverFileTimes) {
      const FileTimes& times = plan.record ? plan.record->times : plan.fatEntry->times;
      platform::SystemError ignored;
      file.SetTimes(times.created, times.modified, times.accessed, !plan.record, ignored);
    }
    bool committed = false;
    if (std::optional<Outcome> notTaken = CommitUnder(file, written, committed, error)) return *notTaken;
    if (!committed && platform::IsRefusedName(error) && !written.renamed) {
      written.path = RenamedTarget(plan, error);
      written.renamed = true;
      written.takenName.clear();
      if (std::optional<Outcome> notTaken = ClaimName(written)) return *notTaken;
      if (std::optional<Outcome> notTaken = CommitUnder(file, written, committed, error)) return *notTaken;
    }
    if (!committed) return NotWritten(plan, written, error);
    names_->written.insert(Key(FileNameOf(written.path)));
    if (observer_) observer_->OnFileWritten(written);
    return Outcome::Next;
  }

  // Names the file written.path as ClaimName settled it. A name it did not
  // look up is given only if nothing took it meanwhile; one that is taken
  // goes through the same-name rule after all.
  std::optional<Outcome> CommitUnder(platform::StagedFile& file, RecoveredFile& written, bool& committed,
                                     platform::SystemError& error) {
    if (unchecked_) {
      unchecked_ = false;
      committed = file.Commit(written.path, error, platform::StagedFile::Existing::Keep);
      if (committed || error.code != platform::FileExistsError().code) return std::nullopt;
      if (std::optional<Outcome> notTaken = ClaimName(written, false)) return notTaken;
    }
    committed = file.Commit(written.path, error);
    return std::nullopt;
  }

  // Writes bytes after any zeros owed for unreadable sectors before them.
  // False on a write failure: code 3 with the system's text.
  bool Put(platform::StagedFile& file, std::span<const std::uint8_t> bytes, RecoveredFile& written) {
    platform::SystemError error;
    while (pendingZeros_ > 0) {
      static const std::vector<std::uint8_t> zeros(kBatchBytes, 0);
      std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(pendingZeros_, zeros.size()));
      if (!file.Write(std::span(zeros).first(chunk), error)) return WriteFailed(error, written);
      if (hashing_) hash_->Update(std::span(zeros).first(chunk));
      pendingZeros_ -= chunk;
      written.bytesWritten += chunk;
    }
    if (!file.Write(bytes, error)) return WriteFailed(error, written);
    if (hashing_) hash_->Update(bytes);
    written.bytesWritten += bytes.size();
    AdvanceProgress(bytes.size());  // owed zeros were counted when their clusters failed
    return true;
  }

  // Zeros for a stretch the file holds no clusters for (a hole).
  bool PutZeros(platform::StagedFile& file, std::uint64_t bytes, RecoveredFile& written) {
    pendingZeros_ += bytes;
    return Put(file, {}, written);
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

  // Takes a stream's bytes into the handoff: a hole as zeros, a cluster
  // that cannot be read owed as zeros, written only if something readable
  // follows it, so readable data keeps its place.
  class FileReceiver final : public RunReceiver {
   public:
    explicit FileReceiver(Recorder& out) : out_(out) {}

    bool GoOn() override { return Stop(out_.GoOn()); }
    bool Bytes(std::span<const std::uint8_t> bytes) override {
      taken += bytes.size();
      return Stop(out_.Bytes(bytes, true));
    }
    bool Read(std::vector<std::uint8_t>& buffer, std::size_t from, std::size_t count) override {
      taken += count;
      return Stop(out_.Take(buffer, from, count));
    }
    bool Zeros(std::uint64_t count) override {
      taken += count;
      return Stop(out_.Zeros(count));
    }
    bool Unreadable(std::uint64_t count, std::int32_t code) override {
      taken += count;
      return Stop(out_.Unreadable(count, code, true));
    }

    std::uint64_t taken = 0;  // bytes of the stream dealt with
    Outcome outcome = Outcome::Next;

   private:
    bool Stop(bool on) {
      outcome = on ? Outcome::Next : Outcome::StopAborted;
      return on;
    }

    Recorder& out_;
  };

  RunStream Stream(std::span<const DataRun> runs) const {
    return {runs, facts_.geometry.sectorsPerCluster, facts_.volumeSectors};
  }

  // Copies the stream's first `remaining` bytes, or as far as its extents
  // reach (an extent outside the volume ends it).
  Outcome CopyStream(const RunStream& stream, Recorder& out, std::uint64_t& remaining) {
    FileReceiver receiver(out);
    ReadThroughRuns(volume_, stream, 0, remaining, receiver);
    remaining -= receiver.taken;
    return receiver.outcome;
  }

  // The bytes of `clusters` clusters from clusterCount, saturating: no file is longer.
  std::uint64_t BytesOf(std::uint64_t clusters) const {
    return clusters > UINT64_MAX / clusterBytes_ ? UINT64_MAX : clusters * clusterBytes_;
  }

  // An NTFS file's data through its extents: holes as zeros, compressed
  // units decompressed. Extents outside the volume end it (partial). Past its
  // initialized size a file reads as zeros, whatever its clusters still hold.
  Outcome CopyRuns(const MftRecord& record, Recorder& out) {
    if (clusterBytes_ == 0) return Outcome::Next;
    const std::uint64_t initialized = std::min(record.realSize, record.initializedSize);
    std::uint64_t remaining = initialized;
    Outcome outcome = record.compressionUnit != 0 ? CopyCompressed(record, out, remaining)
                                                  : CopyStream(Stream(record.runs), out, remaining);
    // Extents that end early leave the file partial, not padded.
    if (outcome != Outcome::Next || remaining > 0 || initialized == record.realSize) return outcome;
    return out.Zeros(record.realSize - initialized) ? Outcome::Next : Outcome::StopAborted;
  }

  // Compressed data comes in units of 2^compressionUnit clusters: a unit with
  // no clusters is zeros, a unit with all of them is stored as it is, and a
  // unit with fewer holds LZNT1 data in those it has. A unit that does not
  // decode is written as zeros and reported, never as if it were the data.
  Outcome CopyCompressed(const MftRecord& record, Recorder& out, std::uint64_t& remaining) {
    constexpr std::uint64_t kLargestUnit = 64ull << 20;
    if (record.compressionUnit > 16 || BytesOf(1ull << record.compressionUnit) > kLargestUnit) return Outcome::Next;
    const std::uint64_t unitClusters = 1ull << record.compressionUnit;
    const std::uint64_t unitBytes = unitClusters * clusterBytes_;
    std::vector<std::uint8_t> compressed;
    std::vector<std::uint8_t> plain(unitBytes);
    std::size_t runIndex = 0;
    std::uint64_t intoRun = 0;  // clusters of runs[runIndex] already taken
    while (remaining > 0 && runIndex < record.runs.size()) {
      if (!out.GoOn()) return Outcome::StopAborted;
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
      const RunStream unit = Stream(pieces);
      if (std::any_of(pieces.begin(), pieces.end(), [&](const DataRun& p) { return !p.sparse && !OnVolume(unit, p); }))
        return Outcome::Next;  // outside the volume: the file ends here, partial
      if (allocated == 0) {
        if (!out.Zeros(bytes)) return Outcome::StopAborted;
        remaining -= bytes;
        continue;
      }
      if (allocated == unitClusters) {  // stored as it is
        Outcome outcome = CopyStream(unit, out, remaining);
        if (outcome != Outcome::Next) return outcome;
        continue;
      }
      std::erase_if(pieces, [](const DataRun& piece) { return piece.sparse; });
      compressed.resize(allocated * clusterBytes_);
      std::int32_t code = error_code::kNone;
      bool on = true;
      if (ReadThroughRuns(volume_, Stream(pieces), 0, compressed, code) != RunRead::Read)
        on = out.Unreadable(bytes, code, false);
      else if (!DecompressLznt1(compressed, plain))
        on = out.Damaged(bytes);
      else
        on = out.Bytes(std::span(plain).first(bytes), true);
      if (!on) return Outcome::StopAborted;
      remaining -= bytes;
    }
    return Outcome::Next;
  }

  // A deleted FAT32 file's clusters follow its first one. They are not held
  // to the volume's size: the reads find its end, and what lies before stays.
  Outcome CopyFat(const FatDeletedEntry& entry, Recorder& out) {
    std::uint64_t remaining = entry.fileSize;
    const DataRun clusters{0, (remaining + clusterBytes_ - 1) / clusterBytes_, false};
    return CopyStream({std::span(&clusters, 1), facts_.geometry.sectorsPerCluster, UINT64_MAX, entry.firstDataSector},
                      out, remaining);
  }

  // An exFAT file's data up to its valid data length, zeros from there to
  // its data length. With no FAT chain its clusters follow its first one;
  // otherwise its chain is followed where the FAT still holds all of it, and
  // where it does not (freed with the file) the clusters are taken as
  // contiguous and the file reported possibly partial, as is a file whose
  // entry set was damaged. The reads find the volume's end.
  Outcome CopyExfat(const ListedFile& listed, Recorder& out) {
    exfatGuessed_ = listed.Damaged();
    // No file holds more than the cluster heap: a damaged length is cut there.
    const std::uint64_t size = std::min(listed.size, BytesOf(facts_.clusterCount));
    const std::uint64_t valid = std::min(listed.record, size);
    const std::uint32_t first = listed.clusterHigh;
    if (clusterBytes_ == 0 || valid == 0 || first < 2) {
      if (valid > 0) exfatGuessed_ = true;  // data said to be there, on no cluster
      return out.Zeros(size) ? Outcome::Next : Outcome::StopAborted;
    }
    const std::uint64_t needed = (valid + clusterBytes_ - 1) / clusterBytes_;
    std::vector<DataRun> runs;
    if (!(listed.flags & ListedFile::kNoFatChain)) {
      if (!exfat_) {
        std::int32_t ignored = 0;
        exfat_ = ExfatVolume::Open(volume_, ignored);
      }
      const ExfatChain chain = exfat_ ? exfat_->ReadChain(first, needed) : ExfatChain{};
      if (chain.clusters.size() == needed) {
        for (std::uint32_t cluster : chain.clusters) {
          if (!runs.empty() && runs.back().startCluster + runs.back().clusterCount == cluster - 2u)
            ++runs.back().clusterCount;
          else
            runs.push_back({cluster - 2u, 1, false});
        }
      } else {
        exfatGuessed_ = true;
      }
    }
    if (runs.empty()) {
      // No further than the cluster heap's end: a damaged length asks for more.
      const std::uint64_t room = facts_.clusterCount > first - 2u ? facts_.clusterCount - (first - 2u) : 0;
      if (room < needed) exfatGuessed_ = true;
      runs.push_back({first - 2u, std::min(needed, room), false});
    }
    std::uint64_t remaining = valid;
    const Outcome outcome = CopyStream(
        {runs, facts_.geometry.sectorsPerCluster, UINT64_MAX, facts_.geometry.fatFirstDataSector}, out, remaining);
    // Clusters that end early leave the file partial, not padded.
    if (outcome != Outcome::Next || remaining > 0 || valid == size) return outcome;
    return out.Zeros(size - valid) ? Outcome::Next : Outcome::StopAborted;
  }

  RawVolume volume_;
  const BootSectorFacts& facts_;
  std::optional<ExfatVolume> exfat_;  // opened for the first chained exFAT file
  bool exfatGuessed_ = false;         // the current exFAT file's clusters were guessed, or its set damaged
  std::int32_t& errorCode_;
  RecoveryObserver* observer_;
  std::uint64_t clusterBytes_ = 0;
  // The names of each folder of the destination the run wrote into, by its
  // path inside it ("" the destination itself): those there before the run
  // (the destination's as they were when it was chosen), and its own.
  struct FolderNames {
    std::unordered_set<std::u16string> before;
    std::unordered_set<std::u16string> written;
    std::unordered_map<std::u16string, std::int32_t> numberedFrom;  // by name: the first number Numbered need try
    bool made = false;                                      // made or found a real folder in this run
  };
  std::unordered_map<std::u16string, FolderNames> folderNames_;
  bool rootListed_ = false;
  FolderNames* names_ = nullptr;  // the current file's folder's
  std::u16string folder_;         // the current file's folder
  bool foldsCase_ = true;         // the destination's names, as it compares them
  bool unchecked_ = false;        // the current file's name was not looked up: commit it without replacing
  std::uint64_t pendingZeros_ = 0;  // owed for unreadable clusters of the current file
  bool ended_ = false;              // the current file's End was taken from the handoff
  std::optional<ParallelSha256> hash_;  // of the current file's bytes, on a core of its own
  bool hashing_ = false;                // RecoverHashes, for the current file
  bool queried_ = false;
  std::uint64_t available_ = 0;
  std::uint64_t queriedAt_ = 0;
};

// "name (record N).ext": files of folders the scan lost all go into one
// folder, kept apart by their records.
std::u16string WithRecordNumber(std::u16string_view name, std::uint64_t record) {
  std::size_t dot = name.rfind(u'.');
  if (dot == 0 || dot == std::u16string_view::npos) dot = name.size();
  return std::u16string(name.substr(0, dot)) + u" (record " + platform::Utf8ToUtf16(std::to_string(record)) + u")" +
         std::u16string(name.substr(dot));
}

const std::vector<MftRecord>* recordsForTesting = nullptr;

// An NTFS file's plan, from its record read again (name and folder as listed).
Plan PlanFor(const ListedFile& listed, std::u16string_view name, std::u16string_view path, const MftRecord& record,
             std::uint64_t clusterBytes) {
  Plan plan{std::u16string(name)};
  if (RecoverKeepPaths) {
    plan.folder = FolderFor(path);
    if (path.starts_with(u"?")) plan.name = WithRecordNumber(name, listed.record);
  }
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

Plan PlanFor(const ListedFile& listed, std::u16string_view name, std::u16string_view path, std::uint64_t heapBytes) {
  Plan plan{std::u16string(name)};
  if (RecoverKeepPaths) plan.folder = FolderFor(path);
  plan.exfatFile = &listed;
  plan.size = listed.size;
  plan.needed = std::min(listed.size, heapBytes);  // as CopyExfat cuts a damaged length
  return plan;
}

Plan PlanFor(const FatDeletedEntry& entry) {
  Plan plan{entry.name};
  if (RecoverKeepPaths) plan.folder = FolderFor(entry.path);
  plan.fatEntry = &entry;
  plan.size = plan.needed = entry.fileSize;
  return plan;
}

// The plan of the listed file of key, and its record read again (NTFS):
// one that holds another file now is refused, never recovered as this one.
std::unique_ptr<Job> JobFor(ScanKey key, std::optional<ListedRecordReader>& records, Recovery& recovery) {
  const ListedFile& listed = *LastScan.File(key);
  const std::uint64_t clusterBytes = ClusterBytes(LastScan.ScannedVolume);
  auto job = std::make_unique<Job>();
  if (LastScan.ScannedVolume.kind == kFileSystemNtfs) {
    ListedRecordReader::State state = ListedRecordReader::State::Same;
    if (recordsForTesting) {
      job->record = recordsForTesting->at(key);
    } else {
      if (!records) records.emplace(recovery.Volume(), LastScan);
      state = records->Read(key, job->record);
    }
    job->plan = PlanFor(listed, LastScan.Name(key), LastScan.Path(key), job->record, clusterBytes);
    if (state != ListedRecordReader::State::Same) {
      job->plan.size = listed.size;
      job->refused = state == ListedRecordReader::State::Changed ? SkipReason::Changed : SkipReason::NothingRead;
    }
  } else if (LastScan.ScannedVolume.kind == kFileSystemExfat) {
    const std::uint64_t heapBytes = LastScan.ScannedVolume.clusterCount * clusterBytes;
    job->plan = PlanFor(listed, LastScan.Name(key), LastScan.Path(key), heapBytes);
  } else {
    FatDeletedEntry& fatEntry = job->fatEntry;
    fatEntry.name = LastScan.Name(key);
    fatEntry.path = LastScan.Path(key);
    fatEntry.dirSector = listed.dirSector;
    fatEntry.entryIndex = listed.entryIndex;
    fatEntry.slotCount = listed.slotCount;
    fatEntry.firstDataSector = listed.firstDataSector;
    fatEntry.fileSize = static_cast<std::uint32_t>(listed.size);
    fatEntry.clusterHigh = listed.clusterHigh;
    fatEntry.times = listed.times;
    job->plan = PlanFor(fatEntry);
  }
  job->plan.key = static_cast<std::int32_t>(key);
  return job;
}

// Each ticked item is taken by its key, whatever its place in the tree; an
// item that names no listed file is passed over. A second thread reads the
// files from the volume, in order, while this one writes and names them:
// questions, reports and stops stay in file order, here.
RecoveryReport::End Walk(DeletedFilesView& view, TreeItem root, Recovery& recovery) {
  std::vector<ScanKey> keys;
  for (TreeItem child = view.FirstChild(root); child != 0; child = view.NextSibling(child)) {
    if (!view.IsChecked(child)) continue;
    const std::uintptr_t data = view.ItemData(child);
    if (data != 0 && LastScan.File(data - 1)) keys.push_back(data - 1);
  }
  Handoff handoff;
  std::exception_ptr failed;
  std::unique_ptr<Job> job;  // the file being written: the reader may still be reading it
  std::thread reader([&] {
    try {
      std::optional<ListedRecordReader> records;
      for (ScanKey key : keys) {
        std::unique_ptr<Job> next = JobFor(key, records, recovery);
        Job& read = *next;
        // The writer holds the job until the reader has ended or it has taken its End.
        if (!handoff.Push(Item{std::move(next), {}})) break;
        if (read.refused) continue;
        Recorder out(handoff);
        recovery.Read(read, out);
        if (handoff.Stopped()) break;
      }
    } catch (...) {
      failed = std::current_exception();
    }
    handoff.Finish();
  });
  RecoveryReport::End end = RecoveryReport::End::Walked;
  {
    // However this thread leaves the loop (an exception too), the reader is stopped first.
    struct Joined {
      Handoff& handoff;
      std::thread& reader;
      ~Joined() {
        handoff.Stop();
        reader.join();
      }
    } joined{handoff, reader};
    while (std::optional<Item> item = handoff.Pop()) {
      job = std::move(item->job);
      recovery.BeginFile();
      const Outcome outcome =
          job->refused ? recovery.Refuse(job->plan, *job->refused) : recovery.Handle(job->plan, handoff);
      if (outcome == Outcome::StopDeclined || outcome == Outcome::StopAborted) {
        end = outcome == Outcome::StopDeclined ? RecoveryReport::End::Declined : RecoveryReport::End::Interrupted;
        break;
      }
      // Written, or skipped and reported already: on with the next.
      if (!job->refused) recovery.SkipRest(handoff);
    }
  }
  if (failed) std::rethrow_exception(failed);
  return end;
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
  if (LastScan.ScannedVolume.kind != kFileSystemNtfs && LastScan.ScannedVolume.kind != kFileSystemFat32 &&
      LastScan.ScannedVolume.kind != kFileSystemExfat)
    return RecoveryReport::End::Walked;
  return Walk(view, root, recovery);
}

}  // namespace

std::u16string RecoveredName(std::u16string_view listed) {
  std::u16string name(listed);
  for (std::size_t at = name.find(u'?'); at != std::u16string::npos; at = name.find(u'?', at + 7))
    name.replace(at, 1, u"Recover");
  return name;
}

void SetListedRecordsForTesting(const std::vector<MftRecord>* records) { recordsForTesting = records; }

bool RecoverCheckedFiles(char driveLetter, DeletedFilesView& view, std::int32_t& errorCode, RecoveryReport* report,
                         RecoveryObserver* observer) {
  const RecoveryReport::End end = RecoverFromLastScan(driveLetter, view, errorCode, observer);
  if (report) report->end = end;
  return errorCode == error_code::kNone;
}

}  // namespace corvanel
