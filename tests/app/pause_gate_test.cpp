// The worker's pause gate: a closed gate holds the worker until every holder
// has opened it, and tells it whether to stop.
#include "app/pause_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/shared_state.h"

namespace corvanel {
namespace {

// Spins until the gate holds `count` threads.
void AwaitWaiting(const PauseGate& gate, int count) {
  while (gate.waiting() != count) std::this_thread::yield();
}

TEST(PauseGate, HoldsTheWorkerWhileClosedAndTellsItWhetherToStop) {
  ResetSharedState();
  PauseGate gate;
  EXPECT_FALSE(gate.Pass());  // open: passes at once
  for (bool abort : {false, true}) {
    gate.Close();
    std::atomic<int> passed{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
      stop = gate.Pass();
      ++passed;
    });
    AwaitWaiting(gate, 1);
    // A second holder: the first one's Open does not let the worker go.
    gate.Close();
    gate.Open();
    AwaitWaiting(gate, 1);
    EXPECT_EQ(passed, 0);
    if (abort) AbortRequested = 1;  // a confirmed exit sets the flag, then opens
    gate.Open();
    worker.join();
    EXPECT_EQ(passed, 1);
    EXPECT_EQ(stop, abort);
    EXPECT_EQ(gate.waiting(), 0);
  }
  ResetSharedState();
}

}  // namespace
}  // namespace corvanel
