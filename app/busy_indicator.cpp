// The process-wide busy indicator.
#include "app/busy_indicator.h"

#include <atomic>

namespace corvanel {
namespace {
std::atomic<BusyIndicator*> installedIndicator{nullptr};
}  // namespace

void InstallBusyIndicator(BusyIndicator* indicator) { installedIndicator = indicator; }

void StartBusyIndicator() {
  if (BusyIndicator* indicator = installedIndicator) indicator->Start();
}

void StopBusyIndicator() {
  if (BusyIndicator* indicator = installedIndicator) indicator->Stop();
}

}  // namespace corvanel
