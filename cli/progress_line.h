// The progress of a scan, a recovery or a shred as one line on standard error,
// redrawn in place; only when it is a terminal, so scripts and JSON stay clean.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/progress_meter.h"
#include "cli/cli.h"

namespace corvanel::cli {

class ProgressLine final : public ProgressMeter {
 public:
  enum class Work { Scan, Recover, Shred };

  // Installs itself as the engines' meter when console.showProgress.
  ProgressLine(Console& console, Work work);
  // Draws the last state, ends the line and uninstalls itself.
  ~ProgressLine() override;
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void SetTotal(std::uint64_t total) override;
  void Advance(std::uint64_t units) override;

  // The recovery's files: done of total.
  void SetFiles(std::size_t done, std::size_t total);

  // The work ended where it may, before the bound its total was taken from
  // (a scan that met the end of the MFT): shown whole.
  void Complete() { done_ = std::max(done_, total_); }

  // Takes the line off the terminal before other output is printed there;
  // the next Advance draws it again.
  void Clear();

  // Whether the line is drawn at all (standard error a terminal, no --quiet).
  bool Shown() const { return shown_; }

 private:
  std::string Text() const;
  void Draw(bool always);

  using Clock = std::chrono::steady_clock;
  Console& console_;
  Work work_;
  bool shown_;
  std::uint64_t done_ = 0;
  std::uint64_t total_ = 0;
  std::size_t filesDone_ = 0;
  std::size_t filesTotal_ = 0;
  Clock::time_point started_ = Clock::now();
  Clock::time_point drawnAt_{};
  std::size_t drawnWidth_ = 0;
  bool drawn_ = false;
};

// Takes the progress line being shown, if any, off the terminal: for a
// question or notice that the engines print in the middle of their work.
void ClearProgressLine();

}  // namespace corvanel::cli
