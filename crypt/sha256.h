// SHA-256 of a stream of bytes, fed as they go by (Crypto++, which uses the
// processor's SHA instructions where it has them).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace corvanel {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  void Update(std::span<const std::uint8_t> bytes);
  // The digest in lower-case hex; starts over for the next stream.
  std::string FinishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The same, computed on a thread of its own while the caller goes on (its
// bytes are copied), so that hashing costs a copy's time on another core
// rather than the hash's on this one. One object serves stream after stream.
class ParallelSha256 {
 public:
  ParallelSha256();
  ~ParallelSha256();
  ParallelSha256(const ParallelSha256&) = delete;
  ParallelSha256& operator=(const ParallelSha256&) = delete;

  void Update(std::span<const std::uint8_t> bytes);
  // Waits for the bytes given so far; the digest in hex, and starts over.
  std::string FinishHex();
  // Drops what was given so far (a stream that failed), and starts over.
  void Restart();

 private:
  void Work();
  void WaitIdle(std::unique_lock<std::mutex>& lock);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::uint8_t>> pending_;
  std::vector<std::vector<std::uint8_t>> spare_;
  bool hashing_ = false;
  bool stop_ = false;
  Sha256 hash_;
  std::thread worker_;
};

}  // namespace corvanel
