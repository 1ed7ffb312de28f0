// The process-wide progress meter.
#include "app/progress_meter.h"

#include <atomic>

namespace corvanel {
namespace {
std::atomic<ProgressMeter*> installedMeter{nullptr};
}  // namespace

void InstallProgressMeter(ProgressMeter* meter) { installedMeter = meter; }

void SetProgressTotal(std::uint64_t total) {
  if (ProgressMeter* meter = installedMeter) meter->SetTotal(total);
}

void AdvanceProgress(std::uint64_t units) {
  if (ProgressMeter* meter = installedMeter) meter->Advance(units);
}

}  // namespace corvanel
