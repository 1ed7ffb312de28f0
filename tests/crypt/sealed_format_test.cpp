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

TEST(SealedPrimitives, ChaCha20Poly1305GivesRfc8439VectorAndRefusesChanges) {
  std::array<std::uint8_t, kKeySize> key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(0x80 + i);
  const std::vector<std::uint8_t> nonceBytes = Hex("070000004041424344454647");
  Nonce nonce;
  std::copy(nonceBytes.begin(), nonceBytes.end(), nonce.begin());
  const std::vector<std::uint8_t> aad = Hex("50515253c0c1c2c3c4c5c6c7");
  const std::string_view plain =
      "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would "
      "be it.";
  const std::string expected =
      "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e06"
      "0b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d265"
      "86cec64b6116"
      "1ae10b594f09e26a7e902ecbd0600691";
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
  bytes[10] = kAeadChaCha20Poly1305;
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
            "4352565345414c000101010a0800000001000000000102030405060708090a0b0c0d0e0f96cc7e049a62be56d9f0141a39e3fb3962c0e9"
            "1f9f587797ce38bcf8e1cbd75aad23475e3f33b0a7b9175ba10ea75e42c200f597613084e33221081a92683d28920934b32570c6f67317a0c1f728b88705b887895d89355150cc1c4394b1dac8");

  // Two chunks and a bit: byte i of the content is i mod 251.
  std::vector<std::uint8_t> content(70000);
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i % 251);
  const std::vector<std::uint8_t> large = SealVector("pattern.bin", content);
  EXPECT_EQ(large.size(), kHeaderSize + 2 + 11 + content.size() + 2 * kTagSize);
  std::array<std::uint8_t, CryptoPP::SHA256::DIGESTSIZE> digest;
  CryptoPP::SHA256().CalculateDigest(digest.data(), large.data(), large.size());
  EXPECT_EQ(ToHex(digest), "65379b398a3e88b9afb30440a7044fc96ec5dc11b02ad79520525c921f5cf60a");

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

}  // namespace
}  // namespace corvanel::sealed
