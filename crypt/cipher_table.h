// The twelve ciphers of file encryption, each in CTR mode from a fixed initial
// counter; the key text -> key bytes rule; the cipher suffix of file names.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace corvanel {

using AlgorithmId = std::int32_t;

namespace algorithm {
inline constexpr AlgorithmId kAes = 101;
inline constexpr AlgorithmId kBlowfish = 102;
inline constexpr AlgorithmId kCast256 = 103;
inline constexpr AlgorithmId kDes = 104;
inline constexpr AlgorithmId kIdea = 105;
inline constexpr AlgorithmId kMars = 106;
inline constexpr AlgorithmId kRc6 = 107;
inline constexpr AlgorithmId kSeed = 108;
inline constexpr AlgorithmId kSerpent = 109;
inline constexpr AlgorithmId kSkipjack = 110;
inline constexpr AlgorithmId kTea = 111;
inline constexpr AlgorithmId kTwofish = 112;
}  // namespace algorithm

inline constexpr std::size_t kKeyTextLength = 16;  // UTF-16 code units
inline constexpr std::size_t kMaxBlockSize = 16;

using KeyBlock = std::array<std::uint8_t, 16>;

struct CipherInfo {
  AlgorithmId id;
  std::string_view name;            // for the command line
  std::size_t blockSize;
  std::size_t keyLength;            // the leading bytes of KeyBytes it takes
  std::string_view counterText;     // the initial counter: this text, then zeros to the block size
  std::u16string_view suffix;       // appended to an encrypted file's name
};

// The ciphers, in AlgorithmId order.
std::span<const CipherInfo> CipherTable();
const CipherInfo* FindCipher(AlgorithmId id);
const CipherInfo* FindCipherByName(std::string_view name);

// The cipher chosen for the next encryption or decryption.
extern std::atomic<AlgorithmId> SelectedAlgorithm;

// Byte i is the low byte of code unit i; keyText must hold 16 code units
// (missing ones count as zero).
KeyBlock KeyBytes(std::u16string_view keyText);

// The key rules: 0 when keyText can be used, else the prompt that refuses it
// (12 empty, 14 not sixteen code units long).
std::int32_t KeyTextRefusal(std::u16string_view keyText);

// Transforms length bytes with a fresh CTR object, so the counter starts at the
// cipher's initial counter on every call; the same call encrypts and decrypts.
// An id outside the table leaves output as it was.
void CipherTransform(AlgorithmId id, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output,
                     std::size_t length);

// The bytes of key stream one operation needs: a body chunk's worth.
inline constexpr std::size_t kKeyStreamSize = 4096;

// The same transform for one whole operation. Every CipherTransform call with
// one cipher and key XORs its input with the same key stream (the counter
// restarts each call), so the stream is computed once, by the cipher's CTR
// over zeros, and every call to Transform is a XOR with its leading bytes.
class ChunkCipher {
 public:
  virtual ~ChunkCipher() = default;
  virtual void Transform(const std::uint8_t* input, std::uint8_t* output, std::size_t length) = 0;
};

// nullptr for an id outside the table.
std::unique_ptr<ChunkCipher> MakeChunkCipher(AlgorithmId id, const std::uint8_t* key);

// Encrypts one raw block (no mode): for known-answer checks of the ciphers.
bool EncryptBlock(AlgorithmId id, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output);

// "_aes", "_des", ...; empty for an id outside the table.
std::u16string_view SuffixOf(AlgorithmId id);

// Whether a file (path or name) may be decrypted with a cipher: the last four
// characters of its name equal the cipher's suffix, case-sensitively, dot or
// no dot (encryption appends the suffix to any name). Always true for an id
// outside the table.
bool SuffixMatches(std::u16string_view path, AlgorithmId id);

}  // namespace corvanel
