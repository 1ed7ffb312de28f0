// The gate a worker passes where it polls AbortRequested: the window closes it
// while it asks whether to leave, so the worker waits there, holding nothing,
// instead of being frozen wherever it happens to be.
#pragma once

#include <condition_variable>
#include <mutex>

namespace corvanel {

class PauseGate {
 public:
  // The worker stops at its next Pass until every Close is matched by an
  // Open (two questions may hold it at once).
  void Close();
  void Open();
  // Waits while the gate is closed; true when the worker is to stop
  // (AbortRequested is set), so it takes its cancel path.
  bool Pass();
  // How many threads wait at the gate now.
  int waiting() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable opened_;
  int holds_ = 0;
  int waiting_ = 0;
};

// The gate of the one worker thread.
extern PauseGate WorkerGate;

}  // namespace corvanel
