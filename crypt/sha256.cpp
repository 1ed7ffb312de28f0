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

}  // namespace corvanel
