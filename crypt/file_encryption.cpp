// The encryption engine: one file in, one file out, by their ANSI paths.
#include "crypt/file_encryption.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "platform/file_system.h"
#include "platform/text_encoding.h"

namespace corvanel {
namespace {

// Chunks moved per read and write; each chunk is still transformed on its own.
// The block is transformed in place and stays small enough for the cache, so
// the data crosses memory no more often than a copy's does.
constexpr std::size_t kChunksPerBlock = 64;

// Code 3 with the system's reason.
void Fail(platform::SystemError error, std::int32_t& errorCode) {
  ReportSystemError(error, error_code::kFileOpenFailed, errorCode);
}

// A narrow form of a path or name (converted), refused (code 3) when a
// character has no form there or it needs more than maxBytes bytes.
std::optional<std::string> NarrowWithin(std::u16string_view text, std::size_t maxBytes, std::int32_t& errorCode,
                                        std::optional<std::string> (*convert)(std::u16string_view)) {
  std::optional<std::string> ansi = convert(text);
  if (!ansi) {
    Fail(platform::UnmappableCharacterError(), errorCode);
    return std::nullopt;
  }
  if (ansi->size() > maxBytes || ansi->find('\0') != std::string::npos) {
    Fail(ansi->size() > maxBytes ? platform::NameTooLongError() : platform::InvalidNameError(), errorCode);
    return std::nullopt;
  }
  return ansi;
}

// A path, as the narrow file functions take it.
std::optional<std::string> PathWithin(std::u16string_view path, std::size_t maxBytes, std::int32_t& errorCode) {
  return NarrowWithin(path, maxBytes, errorCode, platform::ToNarrowPath);
}

// A name as it is stored in the encrypted file: in the ANSI code page.
std::optional<std::string> AnsiWithin(std::u16string_view name, std::size_t maxBytes, std::int32_t& errorCode) {
  return NarrowWithin(name, maxBytes, errorCode, platform::ToAnsi);
}

// A file being written. The bytes go to a scratch file beside it that takes
// the final name only when everything was written, so that no failure or
// abort leaves a partial file behind or costs a file the output would replace.
class OutputFile {
 public:
  // ansiDirectory is the ANSI form of the output's directory, separator included.
  OutputFile(std::string ansiDirectory, std::string ansiPath)
      : directory_(std::move(ansiDirectory)), path_(std::move(ansiPath)) {}
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (finished_) return;
    platform::SystemError ignored;
    file_.Close(ignored);
    if (!writingPath_.empty()) platform::RemoveFile(writingPath_);
  }

  bool Create(std::int32_t& errorCode) {
    writingPath_ = ScratchPath();
    platform::SystemError error;
    file_ = platform::NewFile::CreateAnsi(writingPath_, error);
    if (!file_.IsOpen()) {
      Fail(error, errorCode);
      writingPath_.clear();
      return false;
    }
    return true;
  }

  bool Write(const std::uint8_t* bytes, std::size_t length, std::int32_t& errorCode) {
    platform::SystemError error;
    if (file_.Write({bytes, length}, error)) return true;
    Fail(error, errorCode);
    return false;
  }

  // Closes the file (a failure to flush the last bytes fails it) and gives it
  // its final name.
  bool Finish(std::int32_t& errorCode) {
    platform::SystemError error;
    if (!file_.Close(error)) {
      Fail(error, errorCode);
      return false;
    }
    if (writingPath_ != path_ && !platform::RenameOver(writingPath_, path_, error)) {
      Fail(error, errorCode);
      return false;
    }
    finished_ = true;
    return true;
  }

 private:
  // "~crv" and six hex digits in the output's directory; the output path
  // itself when no such name is free or fits.
  std::string ScratchPath() const {
    std::mt19937 random(std::random_device{}());
    for (int attempt = 0; attempt < 16; ++attempt) {
      char name[16];
      std::snprintf(name, sizeof name, "~crv%06x.tmp", static_cast<unsigned>(random() & 0xFFFFFF));
      std::string candidate = directory_ + name;
      if (candidate.size() > platform::MaxAnsiPathLength()) break;
      if (!platform::FileExists(candidate)) return candidate;
    }
    return path_;
  }

  std::string directory_;
  std::string path_;
  std::string writingPath_;
  platform::NewFile file_;
  bool finished_ = false;
};

// The directory part of a path, its last separator included ("" for a bare name).
std::u16string_view DirectoryOf(std::u16string_view path) {
  std::size_t end = path.size();
  while (end > 0 && !platform::IsPathSeparator(path[end - 1])) --end;
  return path.substr(0, end);
}

// Reads up to buffer.size() bytes; fewer only at the end of the file.
std::optional<std::size_t> ReadUpTo(platform::InputFile& file, std::span<std::uint8_t> buffer,
                                    std::int32_t& errorCode) {
  platform::SystemError error;
  std::optional<std::size_t> got = file.Read(buffer, error);
  if (!got) Fail(error, errorCode);
  return got;
}

// The source or encrypted file, open for reading, else code 3.
std::optional<platform::InputFile> OpenInput(const std::string& ansiPath, std::int32_t& errorCode) {
  platform::SystemError error;
  platform::InputFile file = platform::InputFile::Open(ansiPath, error);
  if (file.IsOpen()) return file;
  Fail(error, errorCode);
  return std::nullopt;
}

class PageAlignedBuffer {
 public:
  explicit PageAlignedBuffer(std::size_t size)
      : size_(size), bytes_(static_cast<std::uint8_t*>(::operator new(size, kAlignment))) {}
  PageAlignedBuffer(const PageAlignedBuffer&) = delete;
  PageAlignedBuffer& operator=(const PageAlignedBuffer&) = delete;
  ~PageAlignedBuffer() { ::operator delete(bytes_, kAlignment); }

  std::uint8_t* data() { return bytes_; }
  std::size_t size() const { return size_; }
  operator std::span<std::uint8_t>() { return {bytes_, size_}; }

 private:
  static constexpr std::align_val_t kAlignment{4096};
  std::size_t size_;
  std::uint8_t* bytes_;
};

enum class BodyOutcome { Done, Aborted, Failed };

// Transforms the rest of input into output chunk by chunk, every chunk from
// the cipher's initial counter. AbortRequested is read before every chunk.
BodyOutcome TransformBody(platform::InputFile& input, OutputFile& output, ChunkCipher& cipher,
                          FileCryptObserver* observer, std::int32_t& errorCode) {
  // Page-aligned: the system copies to and from aligned buffers much faster.
  PageAlignedBuffer block(kChunkSize * kChunksPerBlock);
  std::uint64_t done = 0;
  for (;;) {
    if (AbortRequested) return BodyOutcome::Aborted;
    std::optional<std::size_t> got = ReadUpTo(input, block, errorCode);
    if (!got) return BodyOutcome::Failed;
    for (std::size_t offset = 0; offset < *got; offset += kChunkSize) {
      if (offset != 0 && AbortRequested) return BodyOutcome::Aborted;
      cipher.Transform(block.data() + offset, block.data() + offset, std::min(kChunkSize, *got - offset));
    }
    if (!output.Write(block.data(), *got, errorCode)) return BodyOutcome::Failed;
    done += *got;
    if (observer) observer->OnProgress(done);
    if (*got < block.size()) return BodyOutcome::Done;
  }
}

HeaderBlock RandomHeader() {
  HeaderBlock header;
  std::mt19937 random(std::random_device{}());
  for (std::uint8_t& byte : header) byte = static_cast<std::uint8_t>(random());
  return header;
}

// A stored name must stay a plain name in the output's directory.
bool IsPlainFileName(std::u16string_view name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name)
    if (c < 0x20 || c == u'/' || c == u'\\' || c == u':') return false;
  return true;
}

}  // namespace

KeyBlock KeyVerifier(const KeyBlock& key) {
  KeyBlock verifier{};
  CipherTransform(algorithm::kAes, VerifierKey.data(), key.data(), verifier.data(), key.size());
  return verifier;
}

void EmbedVerifier(HeaderBlock& header, const KeyBlock& verifier) {
  for (std::size_t k = 0; k < verifier.size(); ++k)
    for (std::size_t i = 0; i < 8; ++i) {
      std::uint8_t& byte = header[2 * (8 * k + i)];
      byte = static_cast<std::uint8_t>((byte & 0x7F) | (((verifier[k] >> i) & 1) << 7));
    }
}

KeyBlock ExtractVerifier(const HeaderBlock& header) {
  KeyBlock verifier{};
  for (std::size_t k = 0; k < verifier.size(); ++k)
    for (std::size_t i = 0; i < 8; ++i)
      if (header[2 * (8 * k + i)] & 0x80) verifier[k] = static_cast<std::uint8_t>(verifier[k] | (1 << i));
  return verifier;
}

void EncryptFile(std::u16string_view keyText, std::u16string_view sourcePath, std::u16string_view fileName,
                 AlgorithmId id, std::int32_t& errorCode, FileCryptObserver* observer) {
  const CipherInfo* cipher = FindCipher(id);
  if (!cipher) return Fail(platform::InvalidArgumentError(), errorCode);
  const std::size_t maxPath = platform::MaxAnsiPathLength();
  std::optional<std::string> ansiSource = PathWithin(sourcePath, maxPath, errorCode);
  if (!ansiSource) return;
  std::u16string outputPath = std::u16string(sourcePath) + std::u16string(cipher->suffix);
  std::optional<std::string> ansiOutput = PathWithin(outputPath, maxPath, errorCode);
  if (!ansiOutput) return;
  std::optional<std::string> ansiName = AnsiWithin(fileName, kNameBlockSize - 1, errorCode);
  if (!ansiName) return;
  std::optional<std::string> ansiDirectory = PathWithin(DirectoryOf(sourcePath), maxPath, errorCode);
  if (!ansiDirectory) return;

  std::uint64_t available = platform::AvailableBytes(sourcePath);
  platform::SystemError error;
  std::optional<std::uint64_t> size = platform::RegularFileSize(*ansiSource, error);
  if (!size) return Fail(error, errorCode);
  if (available < *size) {
    errorCode = error_code::kEncryptDiskFull;
    return;
  }
  if (*size == 0) {
    errorCode = error_code::kEmptyFile;
    return;
  }
  const KeyBlock key = KeyBytes(keyText);

  // The source opens first, so that an unreadable source leaves nothing behind.
  std::optional<platform::InputFile> source = OpenInput(*ansiSource, errorCode);
  if (!source) return;
  OutputFile output(*ansiDirectory, *ansiOutput);
  if (!output.Create(errorCode)) return;

  HeaderBlock header = RandomHeader();
  EmbedVerifier(header, KeyVerifier(key));
  // One key stream for the whole operation: the name block takes its first bytes.
  std::unique_ptr<ChunkCipher> chunks = MakeChunkCipher(id, key.data());
  std::array<std::uint8_t, kNameBlockSize> name{}, nameBlock{};
  std::copy(ansiName->begin(), ansiName->end(), name.begin());
  chunks->Transform(name.data(), nameBlock.data(), name.size());
  if (!output.Write(header.data(), header.size(), errorCode)) return;
  if (!output.Write(nameBlock.data(), nameBlock.size(), errorCode)) return;

  if (observer) observer->OnOutput(*ansiOutput, *size);
  if (TransformBody(*source, output, *chunks, observer, errorCode) != BodyOutcome::Done) return;
  source.reset();
  // An abort that came with the last chunk still removes the output.
  if (AbortRequested) return;
  output.Finish(errorCode);
}

void DecryptFile(std::u16string_view keyText, std::u16string_view encryptedPath, AlgorithmId id,
                 std::int32_t& errorCode, FileCryptObserver* observer) {
  if (!FindCipher(id)) return Fail(platform::InvalidArgumentError(), errorCode);
  const std::size_t maxPath = platform::MaxAnsiPathLength();
  std::optional<std::string> ansiPath = PathWithin(encryptedPath, maxPath, errorCode);
  if (!ansiPath) return;

  std::uint64_t available = platform::AvailableBytes(encryptedPath);
  platform::SystemError error;
  std::optional<std::uint64_t> size = platform::RegularFileSize(*ansiPath, error);
  if (!size) return Fail(error, errorCode);
  if (available < *size) {
    errorCode = error_code::kEncryptDiskFull;
    return;
  }
  const KeyBlock key = KeyBytes(keyText);

  std::optional<platform::InputFile> input = OpenInput(*ansiPath, errorCode);
  if (!input) return;
  // A file shorter than its header and name block reads as zeros there.
  HeaderBlock header{};
  if (!ReadUpTo(*input, header, errorCode)) return;
  KeyBlock storedKey{};
  KeyBlock verifier = ExtractVerifier(header);
  CipherTransform(algorithm::kAes, VerifierKey.data(), verifier.data(), storedKey.data(), verifier.size());
  // All sixteen bytes must agree, zero bytes and what follows them included.
  if (storedKey != key) {
    errorCode = error_code::kWrongKey;
    return;
  }

  std::unique_ptr<ChunkCipher> chunks = MakeChunkCipher(id, key.data());
  std::array<std::uint8_t, kNameBlockSize> nameBlock{}, name{};
  if (!ReadUpTo(*input, nameBlock, errorCode)) return;
  chunks->Transform(nameBlock.data(), name.data(), name.size());
  std::string ansiName(name.begin(), std::find(name.begin(), name.end(), 0));
  std::optional<std::u16string> storedName = platform::FromAnsi(ansiName);
  if (!storedName) return Fail(platform::UnmappableCharacterError(), errorCode);
  if (!IsPlainFileName(*storedName)) return Fail(platform::InvalidNameError(), errorCode);

  // The output goes beside the encrypted file, under the stored name.
  std::optional<std::string> directory = PathWithin(DirectoryOf(encryptedPath), maxPath, errorCode);
  if (!directory) return;
  // The stored name is in the code page; the path in the file system's form.
  std::optional<std::string> pathName = platform::ToNarrowPath(*storedName);
  if (!pathName) return Fail(platform::UnmappableCharacterError(), errorCode);
  std::string outputPath = *directory + *pathName;
  if (outputPath.size() > maxPath) return Fail(platform::NameTooLongError(), errorCode);
  // Writing over the file being read would destroy it.
  if (platform::IsSameFile(outputPath, *ansiPath)) return Fail(platform::FileExistsError(), errorCode);

  OutputFile output(*directory, outputPath);
  if (!output.Create(errorCode)) return;
  std::uint64_t bodyBytes = *size > kEncryptedPrefixSize ? *size - kEncryptedPrefixSize : 0;
  if (observer) observer->OnOutput(outputPath, bodyBytes);
  if (TransformBody(*input, output, *chunks, observer, errorCode) != BodyOutcome::Done) return;
  input.reset();
  if (AbortRequested) return;
  output.Finish(errorCode);
}

}  // namespace corvanel
