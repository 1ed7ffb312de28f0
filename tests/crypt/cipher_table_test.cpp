// The cipher table: published block vectors, the CTR construction from each
// cipher's initial counter, key bytes, key rules and the suffix check.
#include "crypt/cipher_table.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/message_catalogue.h"

namespace corvanel {
namespace {

std::vector<std::uint8_t> Hex(std::string_view hex) {
  std::vector<std::uint8_t> bytes;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    if (hex[i] == ' ') {
      --i;
      continue;
    }
    bytes.push_back(static_cast<std::uint8_t>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return bytes;
}

std::vector<std::uint8_t> Counting(std::size_t length, std::uint8_t start = 0) {
  std::vector<std::uint8_t> bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(start + i * 7);
  return bytes;
}

// Published block vectors for the ciphers no independent library here offers.
TEST(CipherTable, KnownAnswerBlocks) {
  struct Vector {
    AlgorithmId id;
    const char* key;
    const char* plaintext;
    const char* ciphertext;
  };
  const Vector vectors[] = {
      // MARS submission vectors
      {algorithm::kMars, "00000000000000000000000000000000", "00000000000000000000000000000000",
       "DCC07B8DFB0738D6E30A22DFCF27E886"},
      {algorithm::kMars, "CB14A1776ABBC1CDAFE7243DEF2CEA02", "F94512A9B42D034EC4792204D708A69B",
       "225DA2CB64B73F79069F21A5E3CB8522"},
      // RC6 paper vectors
      {algorithm::kRc6, "00000000000000000000000000000000", "00000000000000000000000000000000",
       "8FC3A53656B1F778C129DF4E9848A41E"},
      {algorithm::kRc6, "0123456789ABCDEF0112233445566778", "02132435465768798A9BACBDCEDFE0F1",
       "524E192F4715C6231F51F6367EA43F18"},
      // SP 800-17 SKIPJACK known answers
      {algorithm::kSkipjack, "80000000000000000000", "0000000000000000", "7A00E49441461F5A"},
      {algorithm::kSkipjack, "04000000000000000000", "0000000000000000", "443DD0CB7526F74B"},
      // TEA reference vectors
      {algorithm::kTea, "00000000000000000000000000000000", "0000000000000000", "41EA3A0A94BAA940"},
      {algorithm::kTea, "00000000000000000000000041EA3A0A", "94BAA94000000000", "4E8E78297D8236D8"},
  };
  for (const Vector& v : vectors) {
    SCOPED_TRACE(v.key);
    std::vector<std::uint8_t> key = Hex(v.key), in = Hex(v.plaintext), out(in.size());
    key.resize(16);
    ASSERT_TRUE(EncryptBlock(v.id, key.data(), in.data(), out.data()));
    EXPECT_EQ(out, Hex(v.ciphertext));
  }
}

// CTR from each cipher's initial counter (its text, then zero bytes, written
// out here rather than read from the table): the key stream is E(c), E(c+1),
// ... with the whole block counted up as one big-endian number, and a
// partial last block takes the leading bytes of its key stream block.
TEST(CipherTable, CtrRunsFromTheInitialCounterOfEachCipher) {
  struct Counter {
    AlgorithmId id;
    std::string_view text;
    std::size_t blockSize;
  };
  const Counter counters[] = {
      {algorithm::kAes, "kro", 16},      {algorithm::kBlowfish, "vexil", 8}, {algorithm::kCast256, "vexil", 16},
      {algorithm::kDes, "zup", 8},       {algorithm::kIdea, "vexil", 8},     {algorithm::kMars, "vexil", 16},
      {algorithm::kRc6, "804731", 16},   {algorithm::kSeed, "vexil", 16},    {algorithm::kSerpent, "vexil", 16},
      {algorithm::kSkipjack, "vexil", 8}, {algorithm::kTea, "vexil", 8},     {algorithm::kTwofish, "vexil", 16},
  };
  ASSERT_EQ(CipherTable().size(), std::size(counters));
  const std::vector<std::uint8_t> key = Counting(16, 0x31);
  for (const Counter& cipher : counters) {
    SCOPED_TRACE(cipher.text);
    SCOPED_TRACE(static_cast<int>(cipher.id));
    std::vector<std::uint8_t> current(cipher.blockSize, 0);
    std::copy(cipher.text.begin(), cipher.text.end(), current.begin());
    const std::size_t length = 3 * cipher.blockSize + 5;
    std::vector<std::uint8_t> expected, block(cipher.blockSize);
    while (expected.size() < length) {
      ASSERT_TRUE(EncryptBlock(cipher.id, key.data(), current.data(), block.data()));
      expected.insert(expected.end(), block.begin(), block.end());
      for (std::size_t i = current.size(); i-- > 0;)
        if (++current[i] != 0) break;
    }
    expected.resize(length);
    std::vector<std::uint8_t> plain = Counting(length, 3), out(length);
    for (std::size_t i = 0; i < length; ++i) expected[i] ^= plain[i];
    CipherTransform(cipher.id, key.data(), plain.data(), out.data(), length);
    EXPECT_EQ(out, expected) << "the key stream does not start from this cipher's initial counter";
  }
}

TEST(CipherTable, TheSameCallEncryptsAndDecryptsAndRestartsTheCounter) {
  const std::vector<std::uint8_t> key = Counting(16, 0x99);
  const std::vector<std::uint8_t> zeros(4096, 0);
  for (const CipherInfo& cipher : CipherTable()) {
    SCOPED_TRACE(cipher.name);
    std::vector<std::uint8_t> stream1(4096), stream2(4096), plain = Counting(4096), sealed(4096), opened(4096);
    CipherTransform(cipher.id, key.data(), zeros.data(), stream1.data(), zeros.size());
    CipherTransform(cipher.id, key.data(), zeros.data(), stream2.data(), zeros.size());
    EXPECT_EQ(stream1, stream2);  // over zeros: the key stream, the same every time
    CipherTransform(cipher.id, key.data(), plain.data(), sealed.data(), plain.size());
    CipherTransform(cipher.id, key.data(), sealed.data(), opened.data(), sealed.size());
    EXPECT_EQ(opened, plain);
    EXPECT_NE(sealed, plain);
  }
}

TEST(CipherTable, AChunkCipherKeyedOnceMatchesFreshTransforms) {
  const std::vector<std::uint8_t> key = Counting(16, 0x42);
  for (const CipherInfo& cipher : CipherTable()) {
    SCOPED_TRACE(cipher.name);
    std::unique_ptr<ChunkCipher> chunks = MakeChunkCipher(cipher.id, key.data());
    ASSERT_TRUE(chunks);
    for (std::size_t length : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 260u, 4095u, 4096u, 4096u, 3u, 9000u, 5u}) {
      std::vector<std::uint8_t> plain = Counting(length, static_cast<std::uint8_t>(length)), fresh(length),
                                reused(length);
      CipherTransform(cipher.id, key.data(), plain.data(), fresh.data(), length);
      chunks->Transform(plain.data(), reused.data(), length);
      EXPECT_EQ(reused, fresh) << length;
    }
  }
  EXPECT_EQ(MakeChunkCipher(100, key.data()), nullptr);
}

TEST(CipherTable, AnIdOutsideTheTableTransformsNothing) {
  const std::vector<std::uint8_t> key(16, 1), in(64, 2);
  for (AlgorithmId id : {0, 100, 113, -1}) {
    std::vector<std::uint8_t> out(64, 0xEE);
    CipherTransform(id, key.data(), in.data(), out.data(), in.size());
    EXPECT_EQ(out, std::vector<std::uint8_t>(64, 0xEE));
    EXPECT_TRUE(SuffixOf(id).empty());
    EXPECT_TRUE(SuffixMatches(u"anything", id));  // no check for such ids
  }
}

TEST(CipherTable, KeyBytesKeepTheLowByteOfEachCodeUnit) {
  KeyBlock a = KeyBytes(u"\u4e41bcdefghijklmnop");
  KeyBlock b = KeyBytes(u"\u0041bcdefghijklmnop");
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[0], 0x41);
  EXPECT_EQ(KeyBytes(u"0123456789abcdef")[15], 'f');

  // DES takes eight key bytes and SKIPJACK ten: later bytes change nothing.
  const std::vector<std::uint8_t> plain(64, 0x5A);
  auto sealWith = [&](AlgorithmId id, std::u16string_view keyText) {
    KeyBlock key = KeyBytes(keyText);
    std::vector<std::uint8_t> out(plain.size());
    CipherTransform(id, key.data(), plain.data(), out.data(), plain.size());
    return out;
  };
  EXPECT_EQ(sealWith(algorithm::kDes, u"12345678AAAAAAAA"), sealWith(algorithm::kDes, u"12345678BBBBBBBB"));
  EXPECT_EQ(sealWith(algorithm::kSkipjack, u"1234567890AAAAAA"), sealWith(algorithm::kSkipjack, u"1234567890BBBBBB"));
  EXPECT_NE(sealWith(algorithm::kSkipjack, u"123456789XAAAAAA"), sealWith(algorithm::kSkipjack, u"1234567890AAAAAA"));
  EXPECT_NE(sealWith(algorithm::kAes, u"12345678AAAAAAAA"), sealWith(algorithm::kAes, u"12345678AAAAAAAB"));
}

TEST(CipherTable, KeyRules) {
  EXPECT_EQ(KeyTextRefusal(u""), prompt::kKeyEmpty);
  EXPECT_EQ(KeyTextRefusal(u"0123456789abcde"), prompt::kKeyLength);
  EXPECT_EQ(KeyTextRefusal(u"0123456789abcdef0"), prompt::kKeyLength);
  EXPECT_EQ(KeyTextRefusal(u"0123456789abcdef"), 0);
  EXPECT_EQ(KeyTextRefusal(u"密钥密钥密钥密钥密钥密钥密钥密钥"), 0);
  // Code units count, not characters: one outside the BMP takes two.
  EXPECT_EQ(KeyTextRefusal(u"\U0001F600" u"0123456789abcd"), 0);
  EXPECT_EQ(KeyTextRefusal(u"\U0001F600" u"0123456789abcde"), prompt::kKeyLength);
}

TEST(CipherTable, SuffixesAndTheDecryptionCheck) {
  EXPECT_EQ(SuffixOf(algorithm::kRc6), u"_rc6");
  EXPECT_EQ(SuffixOf(algorithm::kSkipjack), u"_skj");

  EXPECT_TRUE(SuffixMatches(u"C:\\docs\\notes.txt_rc6", algorithm::kRc6));
  EXPECT_FALSE(SuffixMatches(u"C:\\docs\\notes.txt_rc6", algorithm::kDes));
  // A name without a dot passes for its own suffix alone.
  for (const CipherInfo& cipher : CipherTable())
    EXPECT_EQ(SuffixMatches(u"C:\\docs\\notes_rc6", cipher.id), cipher.id == algorithm::kRc6) << cipher.name;
  EXPECT_TRUE(SuffixMatches(u"archive.tar.gz_des", algorithm::kDes));  // extension gz_des
  EXPECT_FALSE(SuffixMatches(u"report.doc_DES", algorithm::kDes));     // case counts
  EXPECT_FALSE(SuffixMatches(u"report.des", algorithm::kDes));         // shorter than four
  EXPECT_TRUE(SuffixMatches(u"C:\\my.dir\\report_des", algorithm::kDes));
  EXPECT_FALSE(SuffixMatches(u"C:\\my_des\\report", algorithm::kDes));  // a folder's name is not the file's
  EXPECT_FALSE(SuffixMatches(u"_de", algorithm::kDes));
  EXPECT_TRUE(SuffixMatches(u"/home/u/a.b_aes", algorithm::kAes));

  EXPECT_EQ(FindCipherByName("twofish")->id, algorithm::kTwofish);
  EXPECT_EQ(FindCipherByName("3des"), nullptr);
}

}  // namespace
}  // namespace corvanel
