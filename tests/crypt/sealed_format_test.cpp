// The sealed format's primitives against their RFCs' vectors, the header's
// caps, and the engine against the vectors of docs/sealed-format.md.
#include "crypt/sealed_format.h"

#include <cryptopp/sha.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvanel::sealed {
namespace {

std::vector<std::uint8_t> Hex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return bytes;
}

std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint8_t byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
  }
  return hex;
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class MemorySource final : public Source {
 public:
  explicit MemorySource(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}
  std::optional<std::size_t> Read(std::span<std::uint8_t> buffer) override {
    const std::size_t n = std::min(buffer.size(), bytes_.size() - at_);
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer.begin());
    at_ += n;
    return n;
  }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

class MemorySink final : public Sink {
 public:
  bool Write(std::span<const std::uint8_t> bytes) override {
    this->bytes.insert(this->bytes.end(), bytes.begin(), bytes.end());
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

TEST(SealedPrimitives, ScryptGivesRfc7914Vectors) {
  struct Case {
    std::string_view passphrase, salt;
    WorkFactor work;
    std::string_view derived;
  };
  const Case cases[] = {
      {"password", "NaCl", {10, 8, 16},
       "fdbabe1c9d3472007856e7190d01e9fe7c6ad7cbc8237830e77376634b3731622eaf30d92e22a3886ff109279d9830dac727afb94a83"
       "ee6d8360cbdfa2cc0640"},
      {"pleaseletmein", "SodiumChloride", {14, 8, 1},
       "7023bdcb3afd7348461c06cd81fd38ebfda8fbba904f8e3ea9b543f6545da1f2d5432955613f0fcf62d49705242a9af9e61e85dc0d65"
       "1e40dfcf017b45575887"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> derived(64);
    Scrypt(Bytes(c.passphrase), Bytes(c.salt), c.work, derived);
    EXPECT_EQ(ToHex(derived), c.derived) << c.passphrase;
  }
}

TEST(SealedPrimitives, AesGcmGivesMcGrewViegaCase16AndRefusesChanges) {
  // The GCM paper's test case 16: AES-256, 60 bytes of plaintext, 20 of associated data.
  std::array<std::uint8_t, kKeySize> key;
  const std::vector<std::uint8_t> keyBytes = Hex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  const std::vector<std::uint8_t> nonceBytes = Hex("cafebabefacedbaddecaf888");
  Nonce nonce;
  std::copy(nonceBytes.begin(), nonceBytes.end(), nonce.begin());
  const std::vector<std::uint8_t> aad = Hex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
  const std::vector<std::uint8_t> plainBytes = Hex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de6"
      "57ba637b39");
  const std::string_view plain(reinterpret_cast<const char*>(plainBytes.data()), plainBytes.size());
  const std::string expected =
      "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba"
      "7a0abcc9f662"
      "76fc6ece0f4e1768cddf8853bb2d551b";
  Aead aead(key);
  // Twice with one object: every chunk of a file goes through the same one.
  for (int round = 0; round < 2; ++round) {
    std::vector<std::uint8_t> sealed(plain.size() + kTagSize);
    aead.Seal(nonce, aad, Bytes(plain), sealed.data());
    EXPECT_EQ(ToHex(sealed), expected);
    std::vector<std::uint8_t> opened(plain.size());
    ASSERT_TRUE(aead.Open(nonce, aad, sealed, opened.data()));
    EXPECT_EQ(std::string(opened.begin(), opened.end()), plain);
    sealed[round == 0 ? 5 : sealed.size() - 1] ^= 1;  // ciphertext, then tag
    EXPECT_FALSE(aead.Open(nonce, aad, sealed, opened.data()));
  }
  std::vector<std::uint8_t> sealed = Hex(expected), opened(plain.size());
  std::vector<std::uint8_t> otherAad = aad;
  otherAad[0] ^= 0x80;
  EXPECT_FALSE(aead.Open(nonce, otherAad, sealed, opened.data()));
  EXPECT_FALSE(aead.Open(ChunkNonce(0, false), aad, sealed, opened.data()));
}

TEST(SealedPrimitives, ChunkNoncesCountAndMarkTheLast) {
  EXPECT_EQ(ToHex(ChunkNonce(0, false)), "000000000000000000000000");
  EXPECT_EQ(ToHex(ChunkNonce(0x0102, true)), "000000000000000000010201");
  EXPECT_EQ(ToHex(ChunkNonce(UINT64_MAX, false)), "000000ffffffffffffffff00");
}

// A default header with the work factor changed.
HeaderBytes HeaderWith(std::uint8_t log2N, std::uint32_t r, std::uint32_t p) {
  HeaderBytes bytes{};
  std::copy(kMagic.begin(), kMagic.end(), bytes.begin());
  bytes[8] = kVersion;
  bytes[9] = kKdfScrypt;
  bytes[10] = kAeadAes256Gcm;
  bytes[11] = log2N;
  for (int i = 0; i < 4; ++i) {
    bytes[12 + i] = static_cast<std::uint8_t>(r >> (8 * i));
    bytes[16 + i] = static_cast<std::uint8_t>(p >> (8 * i));
  }
  return bytes;
}

TEST(SealedHeader, WorkFactorsBeyondTheCapsAreRefused) {
  Header header;
  EXPECT_EQ(ParseHeader(HeaderWith(17, 8, 1), header), Status::Ok);
  EXPECT_EQ((std::tuple{header.work.log2N, header.work.r, header.work.p}), (std::tuple{17, 8u, 1u}));
  EXPECT_EQ(ParseHeader(HeaderWith(20, 8, 4), header), Status::Ok);  // 1 GiB: the most allowed
  for (auto [log2N, r, p] : {std::tuple{21, 1u, 1u}, {20, 9u, 1u}, {14, 33u, 1u}, {14, 8u, 5u}, {63, 8u, 1u},
                             {0, 8u, 1u}, {14, 0u, 1u}, {14, 8u, 0u}, {255, 0xFFFFFFFFu, 0xFFFFFFFFu}}) {
    EXPECT_EQ(ParseHeader(HeaderWith(static_cast<std::uint8_t>(log2N), r, p), header), Status::WorkBeyondCap)
        << log2N << " " << r << " " << p;
  }
  HeaderBytes newer = HeaderWith(17, 8, 1);
  newer[8] = 2;
  EXPECT_EQ(ParseHeader(newer, header), Status::NewerVersion);
  newer = HeaderWith(17, 8, 1);
  newer[10] = 2;  // a cipher this build does not know
  EXPECT_EQ(ParseHeader(newer, header), Status::NewerVersion);
  newer = HeaderWith(17, 8, 1);
  newer[0] ^= 1;
  EXPECT_EQ(ParseHeader(newer, header), Status::NotSealed);
}

// The vectors of docs/sealed-format.md.
constexpr std::string_view kVectorPassphrase = "correct horse battery staple";
constexpr WorkFactor kVectorWork{10, 8, 1};

SealOptions VectorOptions() {
  SealOptions options;
  options.work = kVectorWork;
  Salt salt;
  Key key;
  for (std::size_t i = 0; i < salt.size(); ++i) salt[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0xA0 + i);
  options.salt = salt;
  options.fileKey = key;
  return options;
}

std::vector<std::uint8_t> SealVector(std::string_view name, const std::vector<std::uint8_t>& content) {
  MemorySource source(content);
  MemorySink sink;
  Result result = Seal(Bytes(kVectorPassphrase), name, source, sink, VectorOptions());
  EXPECT_EQ(result.status, Status::Ok);
  EXPECT_EQ(result.bytes, content.size());
  return sink.bytes;
}

TEST(SealedEngine, ReproducesTheDocumentedVectorsAndOpensThem) {
  const std::string_view text = "Hello, sealed world!\n";
  const std::vector<std::uint8_t> small = SealVector("hello.txt", {text.begin(), text.end()});
  EXPECT_EQ(ToHex(small),
            "4352565345414c000101010a0800000001000000000102030405060708090a0b0c0d0e0fc4b4e3984b6275db928e0ff42e910b4e"
            "cc39d879d50323b88eab4693b35ba6efdacdad36eab2d3fa866ac85d08d1d9e08da9fa981466ae14c77120f08559b4b18e7e1dee3c"
            "d3f15c7b1fc37db5b9099b07b532b9ff8d7e4a35f9800c90e09a94");

  // Two chunks and a bit: byte i of the content is i mod 251.
  std::vector<std::uint8_t> content(70000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i % 251);
  const std::vector<std::uint8_t> large = SealVector("pattern.bin", content);
  EXPECT_EQ(large.size(), kHeaderSize + 2 + 11 + content.size() + 2 * kTagSize);
  std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> digest;
  CryptoPP::SHA256().CalculateDigest(digest.data(), large.data(), large.size());
  EXPECT_EQ(ToHex(digest), "1145f795e5f5cbfa4d9a2fa0c230b5cbc16a01bba205006c3aca1b4061b53e77");

  MemorySource source(large);
  MemorySink sink;
  std::string stored;
  Result opened = Open(Bytes(kVectorPassphrase), source, [&](const std::string& name) -> Sink* {
    stored = name;
    return &sink;
  });
  EXPECT_EQ(opened.status, Status::Ok);
  EXPECT_EQ(stored, "pattern.bin");
  EXPECT_EQ(sink.bytes, content);
}

// Streams around the sixteen chunks the engine reads and writes at a time:
// the chunk that ends a full read is the last only when nothing follows.
TEST(SealedEngine, ChunksAroundReadBoundariesRoundTripAndCutsAreFound) {
  auto open = [](const std::vector<std::uint8_t>& sealed, MemorySink& sink) {
    MemorySource source(sealed);
    return Open(Bytes(kVectorPassphrase), source, [&](const std::string&) -> Sink* { return &sink; });
  };
  const std::size_t prefix = 2 + 4;  // the name length and "name"
  for (std::size_t stream : {16 * kChunkSize - 1, 16 * kChunkSize, 16 * kChunkSize + 1, 32 * kChunkSize}) {
    std::vector<std::uint8_t> content(stream - prefix);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + i / 65521);
    const std::vector<std::uint8_t> sealed = SealVector("name", content);
    const std::uint64_t chunks = (stream + kChunkSize - 1) / kChunkSize;
    ASSERT_EQ(sealed.size(), kHeaderSize + stream + chunks * kTagSize) << stream;
    MemorySink sink;
    Result result = open(sealed, sink);
    EXPECT_EQ((std::pair{result.status, result.chunk}), (std::pair{Status::Ok, chunks - 1})) << stream;
    EXPECT_TRUE(sink.bytes == content) << stream;
    if (stream % kChunkSize != 0) continue;
    // Full chunks only: cut before the last, and the last one repeated.
    std::vector<std::uint8_t> cut(sealed.begin(), sealed.end() - static_cast<std::ptrdiff_t>(kSealedChunkSize));
    MemorySink ignored;
    result = open(cut, ignored);
    EXPECT_EQ((std::pair{result.status, result.chunk}), (std::pair{Status::CutShort, chunks - 2})) << stream;
    std::vector<std::uint8_t> longer = sealed;
    longer.insert(longer.end(), sealed.end() - static_cast<std::ptrdiff_t>(kSealedChunkSize), sealed.end());
    result = open(longer, ignored);
    EXPECT_EQ((std::pair{result.status, result.chunk}), (std::pair{Status::DataAfterEnd, chunks - 1})) << stream;
  }
}

}  // namespace
}  // namespace corvanel::sealed
