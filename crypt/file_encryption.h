// Encrypting one file into the encrypted-file format and back.
//
//   offset 0    300 bytes  header: random filler; the top bits of bytes
//                          0, 2, ..., 254 carry the 128-bit key verifier
//   offset 300  260 bytes  the source's file name (ANSI, zero-padded), transformed
//   offset 560  ...        the source, transformed in 4096-byte chunks, each
//                          chunk from the cipher's initial counter
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "crypt/cipher_table.h"

namespace corvanel {

inline constexpr std::size_t kHeaderBlockSize = 300;
inline constexpr std::size_t kNameBlockSize = 260;
inline constexpr std::size_t kEncryptedPrefixSize = kHeaderBlockSize + kNameBlockSize;
inline constexpr std::size_t kChunkSize = 4096;

// The AES key under which the key verifier hides the key bytes.
inline constexpr KeyBlock VerifierKey = {'V', 'q', '3', 'L', 'm', '8', 'T', 'r', '2', 'X', 'e', '5', 0, 0, 0, 0};

using HeaderBlock = std::array<std::uint8_t, kHeaderBlockSize>;

// AES-CTR of the key bytes under VerifierKey.
KeyBlock KeyVerifier(const KeyBlock& key);
// Puts bit i of verifier byte k into the top bit of header byte 2 × (8k + i).
void EmbedVerifier(HeaderBlock& header, const KeyBlock& verifier);
KeyBlock ExtractVerifier(const HeaderBlock& header);

// Follows a running encryption or decryption, e.g. for a progress bar.
class FileCryptObserver {
 public:
  virtual ~FileCryptObserver() = default;
  // The output is about to be written; bodyBytes is the size of the body.
  virtual void OnOutput(const std::string& /*ansiOutputPath*/, std::uint64_t /*bodyBytes*/) {}
  // Called between chunks with the body bytes done so far.
  virtual void OnProgress(std::uint64_t /*doneBytes*/) {}
};

// Encrypts sourcePath into sourcePath + SuffixOf(id). fileName is the
// source's name without its directory. errorCode (0 from the caller) becomes
// 3 when a file does not open or fails (LastSystemErrorText says why), 12
// when the volume has less free space than the source's size, 14 for an
// empty source. With AbortRequested set the output is deleted and errorCode
// stays 0. A failure leaves no output behind; the source is never changed.
void EncryptFile(std::u16string_view keyText, std::u16string_view sourcePath, std::u16string_view fileName,
                 AlgorithmId id, std::int32_t& errorCode, FileCryptObserver* observer = nullptr);

// Decrypts encryptedPath into its directory, under the name stored in it.
// errorCode as for EncryptFile, with 15 for a wrong key (nothing created).
void DecryptFile(std::u16string_view keyText, std::u16string_view encryptedPath, AlgorithmId id,
                 std::int32_t& errorCode, FileCryptObserver* observer = nullptr);

}  // namespace corvanel
