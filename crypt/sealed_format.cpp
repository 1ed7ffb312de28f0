// The sealed format's engine over Crypto++'s scrypt and AES-256-GCM.
#include "crypt/sealed_format.h"

#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>
#include <cryptopp/osrng.h>
#include <cryptopp/scrypt.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace corvanel::sealed {
namespace {

constexpr Nonce kWrapNonce{};  // the key-encryption key seals one thing only: its salt is new every time

// Chunks per read and per write: few system calls, and still little memory.
constexpr std::size_t kBatchChunks = 16;

void PutLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetLe32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
}

// Wipes a key when it goes.
template <std::size_t N>
struct SecretBytes {
  std::array<std::uint8_t, N> bytes{};
  ~SecretBytes() { CryptoPP::SecureWipeBuffer(bytes.data(), N); }
};

}  // namespace

std::uint64_t KdfMemory(const WorkFactor& work) {
  if (work.log2N >= 40 || work.r > kMaxR * 1024) return UINT64_MAX;
  return std::uint64_t{128} * work.r << work.log2N;
}

bool WithinCaps(const WorkFactor& work) {
  return work.log2N >= 1 && work.log2N <= kMaxLog2N && work.r >= 1 && work.r <= kMaxR && work.p >= 1 &&
         work.p <= kMaxP && KdfMemory(work) <= kMaxKdfMemory;
}

void Scrypt(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt, const WorkFactor& work,
            std::span<std::uint8_t> out) {
  CryptoPP::Scrypt scrypt;
  scrypt.DeriveKey(out.data(), out.size(), passphrase.data(), passphrase.size(), salt.data(), salt.size(),
                   CryptoPP::word64{1} << work.log2N, work.r, work.p);
}

// Crypto++'s GCM runs on AES-NI and PCLMULQDQ where the processor has them.
struct Aead::Impl {
  CryptoPP::GCM<CryptoPP::AES, CryptoPP::GCM_2K_Tables>::Encryption encryption;
  CryptoPP::GCM<CryptoPP::AES, CryptoPP::GCM_2K_Tables>::Decryption decryption;
};

Aead::Aead(std::span<const std::uint8_t, kKeySize> key) : impl_(std::make_unique<Impl>()) {
  const Nonce unused{};
  impl_->encryption.SetKeyWithIV(key.data(), key.size(), unused.data(), unused.size());
  impl_->decryption.SetKeyWithIV(key.data(), key.size(), unused.data(), unused.size());
}

Aead::~Aead() = default;

void Aead::Seal(const Nonce& nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plain,
                std::uint8_t* out) {
  impl_->encryption.EncryptAndAuthenticate(out, out + plain.size(), kTagSize, nonce.data(), nonce.size(), aad.data(),
                                           aad.size(), plain.data(), plain.size());
}

bool Aead::Open(const Nonce& nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> sealed,
                std::uint8_t* out) {
  if (sealed.size() < kTagSize) return false;
  const std::size_t length = sealed.size() - kTagSize;
  return impl_->decryption.DecryptAndVerify(out, sealed.data() + length, kTagSize, nonce.data(), nonce.size(),
                                            aad.data(), aad.size(), sealed.data(), length);
}

Nonce ChunkNonce(std::uint64_t index, bool last) {
  Nonce nonce{};
  for (int i = 0; i < 8; ++i) nonce[10 - i] = static_cast<std::uint8_t>(index >> (8 * i));
  nonce[11] = last ? 1 : 0;
  return nonce;
}

bool StartsSealed(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kMagic.size() && std::equal(kMagic.begin(), kMagic.end(), bytes.begin());
}

Status ParseHeader(std::span<const std::uint8_t, kHeaderSize> bytes, Header& header) {
  if (!StartsSealed(bytes)) return Status::NotSealed;
  if (bytes[8] != kVersion || bytes[9] != kKdfScrypt || bytes[10] != kAeadAes256Gcm)
    return Status::NewerVersion;
  header.work = {bytes[11], GetLe32(&bytes[12]), GetLe32(&bytes[16])};
  if (!WithinCaps(header.work)) return Status::WorkBeyondCap;
  std::copy_n(&bytes[20], kSaltSize, header.salt.begin());
  std::copy(bytes.begin(), bytes.end(), header.bytes.begin());
  return Status::Ok;
}

bool IsPlainName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kMaxNameBytes) return false;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

Result Seal(std::span<const std::uint8_t> passphrase, std::string_view name, Source& input, Sink& output,
            const SealOptions& options, const Progress& progress) {
  Result result;
  if (!name.empty() && !IsPlainName(name)) return {Status::BadName};
  if (!WithinCaps(options.work)) return {Status::WorkBeyondCap};

  Header header;
  header.work = options.work;
  SecretBytes<kKeySize> fileKey, wrapKey;
  if (options.salt) header.salt = *options.salt;
  else CryptoPP::OS_GenerateRandomBlock(false, header.salt.data(), header.salt.size());
  if (options.fileKey) fileKey.bytes = *options.fileKey;
  else CryptoPP::OS_GenerateRandomBlock(false, fileKey.bytes.data(), fileKey.bytes.size());

  HeaderBytes& bytes = header.bytes;
  std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
  bytes[8] = kVersion;
  bytes[9] = kKdfScrypt;
  bytes[10] = kAeadAes256Gcm;
  bytes[11] = header.work.log2N;
  PutLe32(&bytes[12], header.work.r);
  PutLe32(&bytes[16], header.work.p);
  std::copy(header.salt.begin(), header.salt.end(), &bytes[20]);
  Scrypt(passphrase, header.salt, header.work, wrapKey.bytes);
  Aead(wrapKey.bytes).Seal(kWrapNonce, std::span(bytes).first(kWrappedKeyOffset), fileKey.bytes,
                           &bytes[kWrappedKeyOffset]);
  if (!output.Write(bytes)) return {Status::WriteFailed};

  Aead body(fileKey.bytes);
  // A full buffer holds its last chunk back until more input shows whether
  // it is the last one, which its nonce tells.
  std::vector<std::uint8_t> plain(kBatchChunks * kChunkSize), out(kBatchChunks * kSealedChunkSize);
  plain[0] = static_cast<std::uint8_t>(name.size());
  plain[1] = static_cast<std::uint8_t>(name.size() >> 8);
  std::copy(name.begin(), name.end(), plain.begin() + 2);
  std::size_t have = 2 + name.size();
  for (std::uint64_t index = 0;;) {
    const std::optional<std::size_t> got = input.Read(std::span(plain).subspan(have));
    if (!got) return {Status::ReadFailed};
    result.bytes += *got;
    have += *got;
    const bool ended = have < plain.size();
    const std::size_t sealNow = ended ? have : have - kChunkSize;  // never 0: the name length is there
    std::size_t outLength = 0;
    for (std::size_t at = 0; at < sealNow; at += kChunkSize) {
      const std::size_t length = std::min(kChunkSize, sealNow - at);
      body.Seal(ChunkNonce(index++, ended && at + length == sealNow), bytes, std::span(plain).subspan(at, length),
                out.data() + outLength);
      outLength += length + kTagSize;
    }
    if (!output.Write(std::span(out).first(outLength))) return {Status::WriteFailed};
    if (progress && !progress(result.bytes)) return {Status::Aborted};
    if (ended) return result;
    std::copy(plain.end() - kChunkSize, plain.end(), plain.begin());
    have = kChunkSize;
  }
}

Result Open(std::span<const std::uint8_t> passphrase, Source& input,
            const std::function<Sink*(const std::string& name)>& sinkFor, const Progress& progress) {
  Result result;
  HeaderBytes bytes{};
  std::optional<std::size_t> got = input.Read(bytes);
  if (!got) return {Status::ReadFailed};
  if (!StartsSealed(std::span(bytes).first(*got))) return {Status::NotSealed};
  if (*got < kHeaderSize) return {Status::CutShort};
  Header header;
  if (Status status = ParseHeader(bytes, header); status != Status::Ok) return {status};

  SecretBytes<kKeySize> fileKey, wrapKey;
  Scrypt(passphrase, header.salt, header.work, wrapKey.bytes);
  if (!Aead(wrapKey.bytes).Open(kWrapNonce, std::span(bytes).first(kWrappedKeyOffset),
                                std::span(bytes).subspan(kWrappedKeyOffset), fileKey.bytes.data()))
    return {Status::WrongPassphrase};

  Aead body(fileKey.bytes);
  // As in Seal, a full buffer holds its last chunk back: the chunk that ends
  // the input is the last. Chunks open into a buffer of their own, so that one
  // that fails can be tried again with the other last-chunk flag, for the message.
  std::vector<std::uint8_t> sealedChunks(kBatchChunks * kSealedChunkSize), plain(kBatchChunks * kChunkSize);
  std::size_t have = 0;
  Sink* sink = nullptr;
  for (std::uint64_t index = 0;;) {
    got = input.Read(std::span(sealedChunks).subspan(have));
    if (!got) return {Status::ReadFailed, index};
    have += *got;
    if (have == 0) return {Status::CutShort};
    const bool ended = have < sealedChunks.size();
    const std::size_t openNow = ended ? have : have - kSealedChunkSize;
    std::size_t plainLength = 0, contentStart = 0;
    for (std::size_t at = 0; at < openNow; at += kSealedChunkSize, ++index) {
      result.chunk = index;
      const std::size_t length = std::min(kSealedChunkSize, openNow - at);
      const bool last = ended && at + length == openNow;
      const std::span<const std::uint8_t> sealed = std::span(sealedChunks).subspan(at, length);
      std::uint8_t* opened = plain.data() + plainLength;
      if (!body.Open(ChunkNonce(index, last), bytes, sealed, opened)) {
        // Which way it fails only picks the message; either way nothing is kept.
        if (body.Open(ChunkNonce(index, !last), bytes, sealed, opened))
          return {last ? Status::CutShort : Status::DataAfterEnd, index};
        return {Status::Damaged, index};
      }
      const std::size_t openedLength = length - kTagSize;
      if (index == 0) {
        const std::size_t nameLength = openedLength < 2 ? SIZE_MAX : opened[0] | std::size_t{opened[1]} << 8;
        if (nameLength > openedLength - 2 || nameLength > kMaxNameBytes) return {Status::Damaged, index};
        const std::string name(opened + 2, opened + 2 + nameLength);
        if (!name.empty() && !IsPlainName(name)) return {Status::BadName, index};
        sink = sinkFor(name);
        if (!sink) return {Status::WriteFailed, index};
        contentStart = 2 + nameLength;
      }
      plainLength += openedLength;
    }
    if (!sink->Write(std::span(plain).subspan(contentStart, plainLength - contentStart)))
      return {Status::WriteFailed, result.chunk};
    result.bytes += plainLength - contentStart;
    if (progress && !progress(result.bytes)) return {Status::Aborted, result.chunk};
    if (ended) return result;
    std::copy(sealedChunks.end() - kSealedChunkSize, sealedChunks.end(), sealedChunks.begin());
    have = kSealedChunkSize;
  }
}

}  // namespace corvanel::sealed
