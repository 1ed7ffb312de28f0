// The worker's pause gate.
#include "app/pause_gate.h"

#include "app/shared_state.h"

namespace corvanel {

PauseGate WorkerGate;

void PauseGate::Close() {
  std::lock_guard lock(mutex_);
  ++holds_;
}

void PauseGate::Open() {
  {
    std::lock_guard lock(mutex_);
    if (holds_ > 0) --holds_;
  }
  opened_.notify_all();
}

bool PauseGate::Pass() {
  std::unique_lock lock(mutex_);
  ++waiting_;
  opened_.wait(lock, [this] { return holds_ == 0; });
  --waiting_;
  return AbortRequested != 0;
}

int PauseGate::waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

}  // namespace corvanel
