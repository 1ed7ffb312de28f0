// The encryption engine on real files: the format's sizes and chunking, round
// trips for every cipher, and every refusal leaving nothing behind.
#include "crypt/file_encryption.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "platform/file_system.h"

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#endif

namespace corvanel {
namespace {

namespace fs = std::filesystem;

const std::u16string kKey = u"0123456789abcdef";

std::vector<std::uint8_t> RandomBytes(std::size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(length);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Sets AbortRequested once the body has made some progress.
class AbortAfterFirstBlock final : public FileCryptObserver {
 public:
  void OnProgress(std::uint64_t) override { AbortRequested = 1; }
};

class FileEncryptionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedState();
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    dir = fs::temp_directory_path() / (std::string("corvanel-crypt-") + test->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override {
    platform::SetAvailableBytesForTesting(std::nullopt);
    ResetSharedState();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  // Encrypts dir/name; returns the error code.
  std::int32_t Encrypt(const std::u16string& name, AlgorithmId id, const std::u16string& key = kKey,
                       FileCryptObserver* observer = nullptr) {
    std::int32_t errorCode = 0;
    EncryptFile(key, (dir / name).u16string(), name, id, errorCode, observer);
    return errorCode;
  }

  std::int32_t Decrypt(const std::u16string& name, AlgorithmId id, const std::u16string& key = kKey,
                       FileCryptObserver* observer = nullptr) {
    std::int32_t errorCode = 0;
    DecryptFile(key, (dir / name).u16string(), id, errorCode, observer);
    return errorCode;
  }

  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir;
};

TEST_F(FileEncryptionTest, SizesChunksAndNames) {
  // Whole read blocks and one byte past them included.
  for (std::size_t size : {1u, 4095u, 4096u, 4097u, 3u * 4096u + 5u, 128u * 4096u, 128u * 4096u + 1u,
                           2u * 1024u * 1024u + 4096u + 7u}) {
    SCOPED_TRACE(size);
    std::vector<std::uint8_t> plain = RandomBytes(size, static_cast<unsigned>(size));
    WriteFile(dir / "report.doc", plain);
    ASSERT_EQ(Encrypt(u"report.doc", algorithm::kDes), 0);
    std::vector<std::uint8_t> sealed = ReadFile(dir / "report.doc_des");
    EXPECT_EQ(sealed.size(), size + 560);  // 4096 -> 4656

    // The name block is the zero-padded name through a fresh transform.
    KeyBlock key = KeyBytes(kKey);
    std::array<std::uint8_t, kNameBlockSize> name{};
    CipherTransform(algorithm::kDes, key.data(), sealed.data() + kHeaderBlockSize, name.data(), name.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(name.data())), "report.doc");
    EXPECT_TRUE(std::all_of(name.begin() + 10, name.end(), [](auto b) { return b == 0; }));
    // Each 4096-byte chunk starts again at the initial counter.
    for (std::size_t offset = 0; offset < size; offset += kChunkSize) {
      std::size_t length = std::min(kChunkSize, size - offset);
      std::vector<std::uint8_t> chunk(length);
      CipherTransform(algorithm::kDes, key.data(), sealed.data() + kEncryptedPrefixSize + offset, chunk.data(), length);
      ASSERT_TRUE(std::equal(chunk.begin(), chunk.end(), plain.begin() + static_cast<std::ptrdiff_t>(offset)))
          << offset;
    }

    fs::rename(dir / "report.doc", dir / "original");
    ASSERT_EQ(Decrypt(u"report.doc_des", algorithm::kDes), 0);
    EXPECT_EQ(ReadFile(dir / "report.doc"), plain);
    fs::remove(dir / "report.doc_des");
    fs::remove(dir / "original");
  }
}

TEST_F(FileEncryptionTest, RepeatedPlaintextChunksGiveRepeatedCiphertext) {
  std::vector<std::uint8_t> chunk = RandomBytes(kChunkSize, 7), plain;
  for (int i = 0; i < 3; ++i) plain.insert(plain.end(), chunk.begin(), chunk.end());
  WriteFile(dir / "same.bin", plain);
  ASSERT_EQ(Encrypt(u"same.bin", algorithm::kAes), 0);
  std::vector<std::uint8_t> sealed = ReadFile(dir / "same.bin_aes");
  auto body = sealed.begin() + kEncryptedPrefixSize;
  EXPECT_TRUE(std::equal(body, body + kChunkSize, body + kChunkSize));
  EXPECT_TRUE(std::equal(body, body + kChunkSize, body + 2 * kChunkSize));
}

TEST_F(FileEncryptionTest, TwoEncryptionsDifferOnlyInTheHeaderFiller) {
  WriteFile(dir / "a.txt", RandomBytes(5000, 3));
  ASSERT_EQ(Encrypt(u"a.txt", algorithm::kTwofish), 0);
  std::vector<std::uint8_t> first = ReadFile(dir / "a.txt_twf");
  ASSERT_EQ(Encrypt(u"a.txt", algorithm::kTwofish), 0);  // replaces the earlier output
  std::vector<std::uint8_t> second = ReadFile(dir / "a.txt_twf");
  ASSERT_EQ(first.size(), second.size());
  EXPECT_TRUE(std::equal(first.begin() + kHeaderBlockSize, first.end(), second.begin() + kHeaderBlockSize));
  HeaderBlock a{}, b{};
  std::copy_n(first.begin(), kHeaderBlockSize, a.begin());
  std::copy_n(second.begin(), kHeaderBlockSize, b.begin());
  EXPECT_EQ(ExtractVerifier(a), ExtractVerifier(b));
  EXPECT_NE(a, b);
}

TEST_F(FileEncryptionTest, EveryCipherRoundTrips) {
  std::vector<std::uint8_t> plain = RandomBytes(9000, 11);
  // A key with characters above U+00FF: only their low bytes count.
  const std::u16string key = u"\u5bc6\u94a5abcdefghijklmn";
  const std::u16string sameLowBytes = u"\u06c6\u01a5abcdefghijklmn";
  for (const CipherInfo& cipher : CipherTable()) {
    SCOPED_TRACE(cipher.name);
    WriteFile(dir / "data.bin", plain);
    ASSERT_EQ(Encrypt(u"data.bin", cipher.id, key), 0);
    fs::remove(dir / "data.bin");
    std::u16string sealed = u"data.bin" + std::u16string(cipher.suffix);
    // The name block is the padded name XOR the first 260 bytes of the key
    // stream, the transform of a chunk of zeros.
    KeyBlock keyBytes = KeyBytes(key);
    std::vector<std::uint8_t> stream(kChunkSize), zeros(kChunkSize), bytes = ReadFile(dir / sealed);
    CipherTransform(cipher.id, keyBytes.data(), zeros.data(), stream.data(), stream.size());
    ASSERT_EQ(bytes.size(), plain.size() + kEncryptedPrefixSize);
    std::string name = "data.bin";
    for (std::size_t i = 0; i < kNameBlockSize; ++i)
      ASSERT_EQ(bytes[kHeaderBlockSize + i] ^ stream[i], i < name.size() ? name[i] : 0) << i;
    ASSERT_EQ(Decrypt(sealed, cipher.id, sameLowBytes), 0);
    EXPECT_EQ(ReadFile(dir / "data.bin"), plain);
    fs::remove(dir / sealed);
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"data.bin"});
}

TEST_F(FileEncryptionTest, AWrongKeyCreatesNothingAndKeepsAnExistingFile) {
  WriteFile(dir / "secret.txt", RandomBytes(100, 1));
  ASSERT_EQ(Encrypt(u"secret.txt", algorithm::kRc6), 0);
  EXPECT_EQ(Decrypt(u"secret.txt_rc6", algorithm::kRc6, u"0123456789abcdeX"), error_code::kWrongKey);
  // A key that differs only after a zero key byte is still wrong.
  WriteFile(dir / "zero.txt", RandomBytes(100, 2));
  ASSERT_EQ(Encrypt(u"zero.txt", algorithm::kRc6, u"ab\u0100defghijklmnop"), 0);
  EXPECT_EQ(Decrypt(u"zero.txt_rc6", algorithm::kRc6, u"ab\u0100XXXXXXXXXXXXX"), error_code::kWrongKey);
  EXPECT_EQ(ReadFile(dir / "secret.txt"), RandomBytes(100, 1));
  EXPECT_EQ(Files(), (std::vector<std::string>{"secret.txt", "secret.txt_rc6", "zero.txt", "zero.txt_rc6"}));
  // Files shorter than the header read as zeros there and fail the key check.
  WriteFile(dir / "short.x_rc6", {1, 2, 3});
  EXPECT_EQ(Decrypt(u"short.x_rc6", algorithm::kRc6), error_code::kWrongKey);
}

TEST_F(FileEncryptionTest, EmptySourceAndTooLittleSpace) {
  WriteFile(dir / "empty.txt", {});
  EXPECT_EQ(Encrypt(u"empty.txt", algorithm::kDes), error_code::kEmptyFile);

  WriteFile(dir / "big.txt", RandomBytes(10000, 5));
  platform::SetAvailableBytesForTesting(9999);
  EXPECT_EQ(Encrypt(u"big.txt", algorithm::kDes), error_code::kEncryptDiskFull);
  // The rule compares with the size of the file read, not the one written.
  platform::SetAvailableBytesForTesting(10000);
  EXPECT_EQ(Encrypt(u"big.txt", algorithm::kDes), 0);
  platform::SetAvailableBytesForTesting(10559);
  fs::rename(dir / "big.txt", dir / "kept.txt");
  EXPECT_EQ(Decrypt(u"big.txt_des", algorithm::kDes), error_code::kEncryptDiskFull);
  platform::SetAvailableBytesForTesting(10560);
  EXPECT_EQ(Decrypt(u"big.txt_des", algorithm::kDes), 0);
  EXPECT_EQ(Files(), (std::vector<std::string>{"big.txt", "big.txt_des", "empty.txt", "kept.txt"}));
}

TEST_F(FileEncryptionTest, FilesThatDoNotOpenGiveCode3WithTheSystemText) {
  WriteFile(dir / "a.txt", RandomBytes(100, 1));
  fs::create_directory(dir / "a.txt_aes");  // the output cannot be created
  EXPECT_EQ(Encrypt(u"a.txt", algorithm::kAes), error_code::kFileOpenFailed);
  EXPECT_TRUE(LastSystemErrorText.Get().starts_with(u"System Error:"));
  EXPECT_TRUE(fs::is_directory(dir / "a.txt_aes"));
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.txt", "a.txt_aes"}));

  LastSystemErrorText.Set({});
  EXPECT_EQ(Encrypt(u"missing.txt", algorithm::kAes), error_code::kFileOpenFailed);
  EXPECT_GT(LastSystemErrorText.Get().size(), 13u);
  EXPECT_EQ(Decrypt(u"missing.txt_aes", algorithm::kAes), error_code::kFileOpenFailed);
  fs::create_directory(dir / "folder.x_aes");  // a directory is no source
  EXPECT_EQ(Decrypt(u"folder.x_aes", algorithm::kAes), error_code::kFileOpenFailed);
  EXPECT_EQ(Files(), (std::vector<std::string>{"a.txt", "a.txt_aes", "folder.x_aes"}));
}

TEST_F(FileEncryptionTest, AnAbortLeavesNoOutputAndKeepsWhatItWouldReplace) {
  std::vector<std::uint8_t> plain = RandomBytes(3 * 1024 * 1024, 9);
  WriteFile(dir / "movie.bin", plain);
  AbortRequested = 1;
  EXPECT_EQ(Encrypt(u"movie.bin", algorithm::kSerpent), 0);
  EXPECT_EQ(Files(), std::vector<std::string>{"movie.bin"});

  AbortRequested = 0;
  AbortAfterFirstBlock abort;
  EXPECT_EQ(Encrypt(u"movie.bin", algorithm::kSerpent, kKey, &abort), 0);
  EXPECT_EQ(Files(), std::vector<std::string>{"movie.bin"});

  // Decrypting over the untouched source, aborted midway: the source survives.
  AbortRequested = 0;
  ASSERT_EQ(Encrypt(u"movie.bin", algorithm::kSerpent), 0);
  EXPECT_EQ(Decrypt(u"movie.bin_srp", algorithm::kSerpent, kKey, &abort), 0);
  EXPECT_EQ(Files(), (std::vector<std::string>{"movie.bin", "movie.bin_srp"}));
  EXPECT_EQ(ReadFile(dir / "movie.bin"), plain);
}

TEST_F(FileEncryptionTest, OverLongAndUnmappablePathsAreRefusedBeforeAnythingIsCreated) {
  // The name block holds 259 bytes of name.
  std::u16string longName(300, u'n');
  EXPECT_EQ(Encrypt(longName, algorithm::kDes), error_code::kFileOpenFailed);
  EXPECT_TRUE(LastSystemErrorText.Get().starts_with(u"System Error:"));

  std::u16string deep = dir.u16string();
  while (deep.size() < platform::MaxAnsiPathLength() - 2) deep += u"/d";
  std::int32_t errorCode = 0;
  EncryptFile(kKey, deep + u"/x.txt", u"x.txt", algorithm::kDes, errorCode);
  EXPECT_EQ(errorCode, error_code::kFileOpenFailed);
  EXPECT_TRUE(Files().empty());
}

TEST_F(FileEncryptionTest, AStoredNameCannotLeaveTheFolderOrOverwriteItsOwnFile) {
  KeyBlock key = KeyBytes(kKey);
  auto forge = [&](const std::string& storedName, const std::string& fileName) {
    // A file in the format, carrying whatever name it likes.
    std::vector<std::uint8_t> bytes(kEncryptedPrefixSize + 10, 0x41);
    HeaderBlock header{};
    EmbedVerifier(header, KeyVerifier(key));
    std::copy(header.begin(), header.end(), bytes.begin());
    std::array<std::uint8_t, kNameBlockSize> name{};
    std::copy(storedName.begin(), storedName.end(), name.begin());
    CipherTransform(algorithm::kDes, key.data(), name.data(), bytes.data() + kHeaderBlockSize, name.size());
    WriteFile(dir / fileName, bytes);
  };
  for (const char* evil : {"../escaped.txt", "..\\escaped.txt", "sub/x.txt", "..", "", "c:stream"}) {
    SCOPED_TRACE(evil);
    forge(evil, "evil.x_des");
    EXPECT_EQ(Decrypt(u"evil.x_des", algorithm::kDes), error_code::kFileOpenFailed);
  }
  forge("self.x_des", "self.x_des");
  EXPECT_EQ(Decrypt(u"self.x_des", algorithm::kDes), error_code::kFileOpenFailed);
  EXPECT_EQ(ReadFile(dir / "self.x_des").size(), kEncryptedPrefixSize + 10);
  EXPECT_EQ(Files(), (std::vector<std::string>{"evil.x_des", "self.x_des"}));
  EXPECT_FALSE(fs::exists(dir.parent_path() / "escaped.txt"));
}

#ifndef _WIN32
// A write that fails halfway (here: the process's file size limit) is an
// error, not a short file reported as success.
TEST_F(FileEncryptionTest, AFailedWriteIsReportedAndRemoved) {
  WriteFile(dir / "large.bin", RandomBytes(3 * 1024 * 1024, 4));
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto previous = ::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 1024 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::int32_t errorCode = Encrypt(u"large.bin", algorithm::kAes);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(errorCode, error_code::kFileOpenFailed);
  EXPECT_TRUE(LastSystemErrorText.Get().starts_with(u"System Error:"));
  EXPECT_EQ(Files(), std::vector<std::string>{"large.bin"});
}
#endif

}  // namespace
}  // namespace corvanel
