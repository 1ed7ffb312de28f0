// The port through which long engine work (scan, recovery, shred) reports how
// far it got: a progress line on the command line's terminal, nothing in the
// window, which shows its animation instead.
#pragma once

#include <cstdint>

namespace corvanel {

class ProgressMeter {
 public:
  virtual ~ProgressMeter() = default;
  // The work ahead, in the units that Advance counts; 0 when not known.
  virtual void SetTotal(std::uint64_t total) = 0;
  // units more done since the last call.
  virtual void Advance(std::uint64_t units) = 0;
};

// Until one is installed both calls do nothing. The engines call them between
// the steps where they already poll AbortRequested.
void InstallProgressMeter(ProgressMeter* meter);
void SetProgressTotal(std::uint64_t total);
void AdvanceProgress(std::uint64_t units);

}  // namespace corvanel
