// The sealed format's engine over Crypto++'s scrypt and AES-256-GCM.
#include "crypt/sealed_format.h"

#include <cryptopp/aes.h>
#include <cryptopp/gcm.h>
#include <cryptopp/osrng.h>
#include <cryptopp/scrypt.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace corvanel::sealed {
namespace {

constexpr Nonce kWrapNonce{};  // the key-encryption key seals one thing only: its salt is new every time

// Chunks per read and per write: few system calls and hand-overs between
// threads, and still little memory.
constexpr std::size_t kBatchChunks = 32;

// Runs a batch's work in two lanes at once, lane 0 on the calling thread and
// lane 1 on a thread of its own: chunks are sealed independently, so each
// lane takes half of them. One processor: both lanes in turn.
class TwoLanes {
 public:
  TwoLanes() {
    if (std::thread::hardware_concurrency() > 1) second_ = std::thread([this] { Serve(); });
  }
  ~TwoLanes() {
    if (!second_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    second_.join();
  }
  TwoLanes(const TwoLanes&) = delete;
  TwoLanes& operator=(const TwoLanes&) = delete;

  void Run(const std::function<void(int lane)>& work) {
    if (!second_.joinable()) {
      work(0);
      work(1);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      work_ = &work;
      ++round_;
    }
    wake_.notify_all();
    work(0);
    std::unique_lock lock(mutex_);
    finished_.wait(lock, [&] { return done_ == round_; });
  }

 private:
  void Serve() {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
      if (stopping_) return;
      seen = round_;
      const std::function<void(int)>* work = work_;
      lock.unlock();
      (*work)(1);
      lock.lock();
      done_ = seen;
      finished_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, finished_;
  const std::function<void(int)>* work_ = nullptr;
  std::uint64_t round_ = 0, done_ = 0;
  bool stopping_ = false;
  std::thread second_;
};

// Writes one buffer while the next is read and sealed: Write hands a buffer
// over and returns the one handed over before it, once written.
class WriteBehind {
 public:
  explicit WriteBehind(Sink& sink) : sink_(sink), writer_([this] { Serve(); }) {}
  ~WriteBehind() { Finish(); }
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;

  // False when an earlier write failed: nothing more is written.
  bool Write(std::vector<std::uint8_t>& buffer, std::size_t offset, std::size_t length) {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return !pending_; });
    if (failed_) return false;
    std::swap(buffer, buffer_);
    offset_ = offset;
    length_ = length;
    pending_ = true;
    lock.unlock();
    work_.notify_one();
    return true;
  }

  // Waits for the last write; whether every write went through.
  bool Finish() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [&] { return !pending_; });
    if (writer_.joinable()) {
      stopping_ = true;
      lock.unlock();
      work_.notify_one();
      writer_.join();
      lock.lock();
    }
    return !failed_;
  }

 private:
  void Serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return stopping_ || pending_; });
      if (!pending_) return;
      lock.unlock();
      const bool written = failed_ || sink_.Write(std::span(buffer_).subspan(offset_, length_));
      lock.lock();
      failed_ = !written;
      pending_ = false;
      idle_.notify_all();
    }
  }

  Sink& sink_;
  std::mutex mutex_;
  std::condition_variable work_, idle_;
  std::vector<std::uint8_t> buffer_;
  std::size_t offset_ = 0, length_ = 0;
  bool pending_ = false, failed_ = false, stopping_ = false;
  std::thread writer_;
};

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

  Aead lanes[2] = {Aead(fileKey.bytes), Aead(fileKey.bytes)};
  TwoLanes twoLanes;
  WriteBehind writer(output);
  // A full buffer holds its last chunk back until more input shows whether
  // it is the last one, which its nonce tells.
  std::vector<std::uint8_t> plain(kBatchChunks * kChunkSize), out(kBatchChunks * kSealedChunkSize);
  plain[0] = static_cast<std::uint8_t>(name.size());
  plain[1] = static_cast<std::uint8_t>(name.size() >> 8);
  std::copy(name.begin(), name.end(), plain.begin() + 2);
  std::size_t have = 2 + name.size();
  for (std::uint64_t first = 0;;) {
    const std::optional<std::size_t> got = input.Read(std::span(plain).subspan(have));
    if (!got) return {Status::ReadFailed};
    result.bytes += *got;
    have += *got;
    const bool ended = have < plain.size();
    const std::size_t sealNow = ended ? have : have - kChunkSize;  // never 0: the name length is there
    const std::size_t chunks = (sealNow + kChunkSize - 1) / kChunkSize;
    out.resize(kBatchChunks * kSealedChunkSize);
    twoLanes.Run([&](int lane) {
      for (std::size_t chunk = lane == 0 ? 0 : chunks / 2; chunk < (lane == 0 ? chunks / 2 : chunks); ++chunk) {
        const std::size_t at = chunk * kChunkSize;
        const std::size_t length = std::min(kChunkSize, sealNow - at);
        lanes[lane].Seal(ChunkNonce(first + chunk, ended && at + length == sealNow), bytes,
                         std::span(plain).subspan(at, length), out.data() + chunk * kSealedChunkSize);
      }
    });
    first += chunks;
    if (!writer.Write(out, 0, sealNow + chunks * kTagSize)) return {Status::WriteFailed};
    if (progress && !progress(result.bytes)) return {Status::Aborted};
    if (ended) return writer.Finish() ? result : Result{Status::WriteFailed};
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

  Aead lanes[2] = {Aead(fileKey.bytes), Aead(fileKey.bytes)};
  TwoLanes twoLanes;
  std::optional<WriteBehind> writer;
  // As in Seal, a full buffer holds its last chunk back: the chunk that ends
  // the input is the last. Chunks open into a buffer of their own, so that one
  // that fails can be tried again with the other last-chunk flag, for the message.
  std::vector<std::uint8_t> sealedChunks(kBatchChunks * kSealedChunkSize), plain(kBatchChunks * kChunkSize);
  std::size_t have = 0;
  for (std::uint64_t first = 0;;) {
    got = input.Read(std::span(sealedChunks).subspan(have));
    if (!got) return {Status::ReadFailed, first};
    have += *got;
    if (have == 0) return {Status::CutShort};
    const bool ended = have < sealedChunks.size();
    const std::size_t openNow = ended ? have : have - kSealedChunkSize;
    const std::size_t chunks = (openNow + kSealedChunkSize - 1) / kSealedChunkSize;
    const auto sealedChunk = [&](std::size_t chunk) {
      const std::size_t at = chunk * kSealedChunkSize;
      return std::span<const std::uint8_t>(sealedChunks).subspan(at, std::min(kSealedChunkSize, openNow - at));
    };
    const auto isLast = [&](std::size_t chunk) { return ended && chunk + 1 == chunks; };
    plain.resize(kBatchChunks * kChunkSize);
    std::size_t failedAt[2] = {SIZE_MAX, SIZE_MAX};  // each lane's first chunk that did not verify
    twoLanes.Run([&](int lane) {
      for (std::size_t chunk = lane == 0 ? 0 : chunks / 2; chunk < (lane == 0 ? chunks / 2 : chunks); ++chunk) {
        if (!lanes[lane].Open(ChunkNonce(first + chunk, isLast(chunk)), bytes, sealedChunk(chunk),
                              plain.data() + chunk * kChunkSize)) {
          failedAt[lane] = chunk;
          return;
        }
      }
    });
    if (const std::size_t failed = std::min(failedAt[0], failedAt[1]); failed != SIZE_MAX) {
      // Which way it fails only picks the message; either way nothing is kept.
      const std::uint64_t index = first + failed;
      if (lanes[0].Open(ChunkNonce(index, !isLast(failed)), bytes, sealedChunk(failed), plain.data()))
        return {isLast(failed) ? Status::CutShort : Status::DataAfterEnd, index};
      return {Status::Damaged, index};
    }
    result.chunk = first + chunks - 1;
    const std::size_t plainLength = openNow - chunks * kTagSize;
    std::size_t contentStart = 0;
    if (first == 0) {
      const std::size_t openedLength = sealedChunk(0).size() - kTagSize;
      const std::size_t nameLength = openedLength < 2 ? SIZE_MAX : plain[0] | std::size_t{plain[1]} << 8;
      if (nameLength > openedLength - 2 || nameLength > kMaxNameBytes) return {Status::Damaged, 0};
      const std::string name(plain.begin() + 2, plain.begin() + 2 + static_cast<std::ptrdiff_t>(nameLength));
      if (!name.empty() && !IsPlainName(name)) return {Status::BadName, 0};
      Sink* sink = sinkFor(name);
      if (!sink) return {Status::WriteFailed, 0};
      writer.emplace(*sink);
      contentStart = 2 + nameLength;
    }
    first += chunks;
    result.bytes += plainLength - contentStart;
    if (!writer->Write(plain, contentStart, plainLength - contentStart)) return {Status::WriteFailed, result.chunk};
    if (progress && !progress(result.bytes)) return {Status::Aborted, result.chunk};
    if (ended) return writer->Finish() ? result : Result{Status::WriteFailed, result.chunk};
    std::copy(sealedChunks.end() - kSealedChunkSize, sealedChunks.end(), sealedChunks.begin());
    have = kSealedChunkSize;
  }
}

}  // namespace corvanel::sealed
