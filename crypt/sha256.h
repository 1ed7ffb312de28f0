// SHA-256 of a stream of bytes, fed as they go by (Crypto++, which uses the
// processor's SHA instructions where it has them).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

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

}  // namespace corvanel
