// The progress line of corvanel-cli.
#include "cli/progress_line.h"

#include <cstdio>

#include "volume/deleted_file_scan.h"

namespace corvanel::cli {
namespace {

// Redraws are cheap but a terminal scrolling at full speed is not.
constexpr std::chrono::milliseconds kRedrawEvery{100};

// The line on the terminal now; the engines run on the command's own thread.
ProgressLine* shownLine = nullptr;

std::string Mebibytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

std::string Percent(std::uint64_t done, std::uint64_t total) {
  return " (" + std::to_string(done >= total ? 100 : done * 100 / total) + "%)";
}

}  // namespace

ProgressLine::ProgressLine(Console& console, Work work)
    : console_(console), work_(work), shown_(console.showProgress) {
  if (!shown_) return;
  InstallProgressMeter(this);
  shownLine = this;
}

ProgressLine::~ProgressLine() {
  if (!shown_) return;
  InstallProgressMeter(nullptr);
  shownLine = nullptr;
  if (done_ > 0) Draw(true);
  if (drawn_) console_.err << '\n' << std::flush;
}

void ProgressLine::SetTotal(std::uint64_t total) { total_ = total; }

void ProgressLine::Advance(std::uint64_t units) {
  done_ += units;
  Draw(false);
}

void ProgressLine::SetFiles(std::size_t done, std::size_t total) {
  filesDone_ = done;
  filesTotal_ = total;
}

void ProgressLine::Clear() {
  if (!drawn_ || drawnWidth_ == 0) return;
  console_.err << '\r' << std::string(drawnWidth_, ' ') << '\r' << std::flush;
  drawnWidth_ = 0;
  drawn_ = false;
}

void ClearProgressLine() {
  if (shownLine) shownLine->Clear();
}

std::string ProgressLine::Text() const {
  switch (work_) {
    case Work::Scan:
      if (LastScan.ScannedVolume.kind == kFileSystemFat32) return "scan: " + std::to_string(done_) + " directory sectors read";
      if (LastScan.ScannedVolume.kind == kFileSystemExfat) return "scan: " + std::to_string(done_) + " entry sets read";
      return "scan: " + std::to_string(done_) + " of " + std::to_string(total_) + " records" +
             (total_ ? Percent(done_, total_) : "");
    case Work::Shred:
      return "shred: " + Mebibytes(done_) + " of " + Mebibytes(total_) + " overwritten" +
             (total_ ? Percent(done_, total_) : "");
    case Work::Recover:
      break;
  }
  std::string text = "recover: " + std::to_string(filesDone_) + " of " + std::to_string(filesTotal_) + " files, " +
                     Mebibytes(done_) + " of " + Mebibytes(total_);
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  if (seconds >= 1 && done_ > 0) {
    const double rate = static_cast<double>(done_) / seconds;
    const auto left = static_cast<std::uint64_t>(static_cast<double>(total_ > done_ ? total_ - done_ : 0) / rate);
    char tail[64];
    std::snprintf(tail, sizeof tail, ", %s/s, %llu:%02llu left", Mebibytes(static_cast<std::uint64_t>(rate)).c_str(),
                  static_cast<unsigned long long>(left / 60), static_cast<unsigned long long>(left % 60));
    text += tail;
  }
  return text;
}

void ProgressLine::Draw(bool always) {
  const Clock::time_point now = Clock::now();
  if (!always && drawn_ && now - drawnAt_ < kRedrawEvery) return;
  drawnAt_ = now;
  std::string line = Text();
  const std::size_t width = line.size();
  // Blanks over what a longer earlier line left: no escape sequences, which
  // older Windows consoles print as they are.
  if (width < drawnWidth_) line.append(drawnWidth_ - width, ' ');
  drawnWidth_ = width;
  console_.err << '\r' << line << std::flush;
  drawn_ = true;
}

}  // namespace corvanel::cli
