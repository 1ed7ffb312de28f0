// The sealed format: a passphrase-derived key (scrypt) wraps a random file
// key; the file's name and content go through AES-256-GCM in 64 KiB chunks
// whose nonces count the chunks and mark the last one. See
// docs/sealed-format.md for the layout; it is kept in step with this file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace corvanel::sealed {

inline constexpr std::array<std::uint8_t, 8> kMagic = {'C', 'R', 'V', 'S', 'E', 'A', 'L', 0};
inline constexpr std::uint8_t kVersion = 1;
inline constexpr std::uint8_t kKdfScrypt = 1;
inline constexpr std::uint8_t kAeadAes256Gcm = 1;

inline constexpr std::size_t kSaltSize = 16;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kChunkSize = 65536;  // plaintext bytes per chunk
inline constexpr std::size_t kSealedChunkSize = kChunkSize + kTagSize;
inline constexpr std::size_t kWrappedKeyOffset = 36;  // what the key wrap authenticates ends here
inline constexpr std::size_t kHeaderSize = kWrappedKeyOffset + kKeySize + kTagSize;  // 84
inline constexpr std::size_t kMaxNameBytes = 1024;

using Salt = std::array<std::uint8_t, kSaltSize>;
using Key = std::array<std::uint8_t, kKeySize>;
using Nonce = std::array<std::uint8_t, kNonceSize>;
using HeaderBytes = std::array<std::uint8_t, kHeaderSize>;

// scrypt's cost: N = 2^log2N, block size r, parallelism p. The writer's
// choice costs what N = 2^17, p = 1 costs in time, in 32 MiB rather than
// 128: a stream through encrypt and decrypt stays within 64 MiB.
struct WorkFactor {
  std::uint8_t log2N = 15;
  std::uint32_t r = 8;
  std::uint32_t p = 3;
};

// What a header may ask of the reader, checked before anything is allocated:
// 128 * r * N bytes of memory at most 1 GiB, and the limits below.
inline constexpr unsigned kMaxLog2N = 20;
inline constexpr std::uint32_t kMaxR = 32;
inline constexpr std::uint32_t kMaxP = 4;
inline constexpr std::uint64_t kMaxKdfMemory = std::uint64_t{1} << 30;

std::uint64_t KdfMemory(const WorkFactor& work);
bool WithinCaps(const WorkFactor& work);

// scrypt (RFC 7914) by Crypto++; out.size() bytes of key.
void Scrypt(std::span<const std::uint8_t> passphrase, std::span<const std::uint8_t> salt, const WorkFactor& work,
            std::span<std::uint8_t> out);

// AES-256-GCM (NIST SP 800-38D, 12-byte nonces, 16-byte tags) by Crypto++,
// keyed once: each message sets only its nonce.
class Aead {
 public:
  explicit Aead(std::span<const std::uint8_t, kKeySize> key);
  ~Aead();
  Aead(const Aead&) = delete;
  Aead& operator=(const Aead&) = delete;
  // Writes plain.size() bytes of ciphertext and then the 16-byte tag to out
  // (out may be plain.data()).
  void Seal(const Nonce& nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> plain,
            std::uint8_t* out);
  // sealed is ciphertext then tag; writes sealed.size() - 16 bytes to out
  // (out may be sealed.data()). False when the tag does not verify.
  bool Open(const Nonce& nonce, std::span<const std::uint8_t> aad, std::span<const std::uint8_t> sealed,
            std::uint8_t* out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Chunk i's nonce: i as an 11-byte big-endian number, then 1 for the last chunk, else 0.
Nonce ChunkNonce(std::uint64_t index, bool last);

struct Header {
  WorkFactor work;
  Salt salt{};
  HeaderBytes bytes{};  // as stored, the wrapped file key included
};

enum class Status {
  Ok,
  NotSealed,         // no magic at the start
  NewerVersion,      // a version, KDF or AEAD this build does not know
  WorkBeyondCap,     // the header asks for more than the caps allow
  WrongPassphrase,   // the key wrap does not verify: wrong passphrase or changed header
  Damaged,           // a chunk does not verify
  CutShort,          // the data ends before its last chunk
  DataAfterEnd,      // bytes follow the last chunk
  BadName,           // the stored name is not a plain file name
  ReadFailed,
  WriteFailed,
  Aborted,
};

// Reads a header's fields; NotSealed, NewerVersion or WorkBeyondCap when it
// cannot be used (the caps are checked here, before any key derivation).
Status ParseHeader(std::span<const std::uint8_t, kHeaderSize> bytes, Header& header);

// Whether bytes start with the magic.
bool StartsSealed(std::span<const std::uint8_t> bytes);

// Byte streams the engine reads and writes.
class Source {
 public:
  virtual ~Source() = default;
  // Fills buffer; fewer bytes only at the end. nullopt on failure.
  virtual std::optional<std::size_t> Read(std::span<std::uint8_t> buffer) = 0;
};
class Sink {
 public:
  virtual ~Sink() = default;
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
};

struct Result {
  Status status = Status::Ok;
  std::uint64_t chunk = 0;    // the chunk that failed (Damaged, CutShort, DataAfterEnd)
  std::uint64_t bytes = 0;    // content bytes sealed or opened
};

struct SealOptions {
  WorkFactor work{};
  // Fixed salt and file key, for test vectors only; random when empty.
  std::optional<Salt> salt;
  std::optional<Key> fileKey;
};

// Called with the content bytes done so far, between chunks; returning false stops (Aborted).
using Progress = std::function<bool(std::uint64_t)>;

// Seals name (UTF-8, at most kMaxNameBytes; empty for none) and the whole of
// input into output.
Result Seal(std::span<const std::uint8_t> passphrase, std::string_view name, Source& input, Sink& output,
            const SealOptions& options = {}, const Progress& progress = {});

// Opens a sealed stream. Once the first chunk has verified, sinkFor gets the
// stored name and gives the sink for the content (nullptr: WriteFailed, its
// own reason kept by the caller). Content reaches the sink only after its
// chunk verified; the result is Ok only when every chunk verified and the
// last one ended the stream.
Result Open(std::span<const std::uint8_t> passphrase, Source& input,
            const std::function<Sink*(const std::string& name)>& sinkFor, const Progress& progress = {});

// Whether a stored name may be used as a file name in a folder.
bool IsPlainName(std::string_view utf8Name);

}  // namespace corvanel::sealed
