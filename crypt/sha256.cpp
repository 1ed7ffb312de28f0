#include "crypt/sha256.h"

#include <cryptopp/sha.h>

namespace corvanel {

struct Sha256::State {
  CryptoPP::SHA256 hash;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) { state_->hash.Update(bytes.data(), bytes.size()); }

std::string Sha256::FinishHex() {
  std::uint8_t digest[CryptoPP::SHA256::DIGESTSIZE];
  state_->hash.Final(digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0F];
  }
  return hex;
}

namespace {
constexpr std::size_t kMostPending = 2;              // chunks queued before Update waits
constexpr std::size_t kInlineBelow = 64 * 1024;      // small pieces are hashed at once when idle
}  // namespace

ParallelSha256::ParallelSha256() : worker_([this] { Work(); }) {}

ParallelSha256::~ParallelSha256() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void ParallelSha256::Update(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  std::unique_lock lock(mutex_);
  if (bytes.size() < kInlineBelow && pending_.empty() && !hashing_) {
    hash_.Update(bytes);  // the worker is idle: a handoff would cost more than the hash
    return;
  }
  changed_.wait(lock, [&] { return pending_.size() < kMostPending; });
  std::vector<std::uint8_t> chunk;
  if (!spare_.empty()) {
    chunk = std::move(spare_.back());
    spare_.pop_back();
  }
  chunk.assign(bytes.begin(), bytes.end());
  pending_.push_back(std::move(chunk));
  changed_.notify_all();
}

void ParallelSha256::WaitIdle(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [&] { return pending_.empty() && !hashing_; });
}

std::string ParallelSha256::FinishHex() {
  std::unique_lock lock(mutex_);
  WaitIdle(lock);
  return hash_.FinishHex();
}

void ParallelSha256::Restart() { FinishHex(); }

void ParallelSha256::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stop_ || !pending_.empty(); });
    if (pending_.empty()) return;  // stopped, nothing left
    std::vector<std::uint8_t> chunk = std::move(pending_.front());
    pending_.pop_front();
    hashing_ = true;
    lock.unlock();
    hash_.Update(chunk);
    lock.lock();
    hashing_ = false;
    spare_.push_back(std::move(chunk));
    changed_.notify_all();
  }
}

}  // namespace corvanel
