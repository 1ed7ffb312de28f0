// The cipher table over Crypto++.
#include "crypt/cipher_table.h"

#include <cryptopp/blowfish.h>
#include <cryptopp/cast.h>
#include <cryptopp/des.h>
#include <cryptopp/filters.h>
#include <cryptopp/idea.h>
#include <cryptopp/mars.h>
#include <cryptopp/misc.h>
#include <cryptopp/modes.h>
#include <cryptopp/rc6.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/seed.h>
#include <cryptopp/serpent.h>
#include <cryptopp/skipjack.h>
#include <cryptopp/tea.h>
#include <cryptopp/twofish.h>

#include <algorithm>
#include <vector>

#include "app/message_catalogue.h"

namespace corvanel {

std::atomic<AlgorithmId> SelectedAlgorithm{algorithm::kDes};

namespace {

constexpr CipherInfo kCiphers[] = {
    {algorithm::kAes, "aes", 16, 16, "kro", u"_aes"},
    {algorithm::kBlowfish, "blowfish", 8, 16, "vexil", u"_blf"},
    {algorithm::kCast256, "cast256", 16, 16, "vexil", u"_cst"},
    {algorithm::kDes, "des", 8, 8, "zup", u"_des"},
    {algorithm::kIdea, "idea", 8, 16, "vexil", u"_dea"},
    {algorithm::kMars, "mars", 16, 16, "vexil", u"_mas"},
    {algorithm::kRc6, "rc6", 16, 16, "804731", u"_rc6"},
    {algorithm::kSeed, "seed", 16, 16, "vexil", u"_sed"},
    {algorithm::kSerpent, "serpent", 16, 16, "vexil", u"_srp"},
    {algorithm::kSkipjack, "skipjack", 8, 10, "vexil", u"_skj"},
    {algorithm::kTea, "tea", 8, 16, "vexil", u"_tea"},
    {algorithm::kTwofish, "twofish", 16, 16, "vexil", u"_twf"},
};

using CounterBlock = std::array<std::uint8_t, kMaxBlockSize>;

CounterBlock InitialCounter(const CipherInfo& info) {
  CounterBlock counter{};
  std::copy(info.counterText.begin(), info.counterText.end(), counter.begin());
  return counter;
}

// What each cipher class provides to the table.
struct CipherOperations {
  void (*transform)(const CipherInfo&, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output,
                    std::size_t length);
  void (*encryptBlock)(const CipherInfo&, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output);
};

template <typename Cipher>
constexpr CipherOperations OperationsOf() {
  return {
      [](const CipherInfo& info, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output,
         std::size_t length) {
        CounterBlock counter = InitialCounter(info);
        typename CryptoPP::CTR_Mode<Cipher>::Encryption mode(key, info.keyLength, counter.data());
        CryptoPP::StreamTransformationFilter filter(mode, new CryptoPP::ArraySink(output, length));
        filter.Put(input, length);
        filter.MessageEnd();
      },
      [](const CipherInfo& info, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output) {
        typename Cipher::Encryption cipher(key, info.keyLength);
        cipher.ProcessBlock(input, output);
      },
  };
}

// In the order of kCiphers.
constexpr CipherOperations kOperations[] = {
    OperationsOf<CryptoPP::Rijndael>(), OperationsOf<CryptoPP::Blowfish>(), OperationsOf<CryptoPP::CAST256>(),
    OperationsOf<CryptoPP::DES>(),      OperationsOf<CryptoPP::IDEA>(),     OperationsOf<CryptoPP::MARS>(),
    OperationsOf<CryptoPP::RC6>(),      OperationsOf<CryptoPP::SEED>(),     OperationsOf<CryptoPP::Serpent>(),
    OperationsOf<CryptoPP::SKIPJACK>(), OperationsOf<CryptoPP::TEA>(),      OperationsOf<CryptoPP::Twofish>(),
};
static_assert(std::size(kOperations) == std::size(kCiphers));

const CipherOperations* OperationsFor(AlgorithmId id) {
  const CipherInfo* info = FindCipher(id);
  return info ? &kOperations[info - kCiphers] : nullptr;
}

class KeyStreamCipher final : public ChunkCipher {
 public:
  KeyStreamCipher(const CipherInfo& info, const std::uint8_t* key) : id_(info.id) {
    std::copy_n(key, info.keyLength, key_.begin());
    Generate(kKeyStreamSize);
  }

  void Transform(const std::uint8_t* input, std::uint8_t* output, std::size_t length) override {
    if (length > stream_.size()) Generate(length);
    CryptoPP::xorbuf(output, input, stream_.data(), length);
  }

 private:
  // The cipher's own CTR from its initial counter over zeros: the key stream.
  void Generate(std::size_t length) {
    const std::vector<std::uint8_t> zeros(length);
    stream_.resize(length);
    CipherTransform(id_, key_.data(), zeros.data(), stream_.data(), length);
  }

  AlgorithmId id_;
  KeyBlock key_{};
  std::vector<std::uint8_t> stream_;
};

}  // namespace

std::span<const CipherInfo> CipherTable() { return kCiphers; }

const CipherInfo* FindCipher(AlgorithmId id) {
  if (id < algorithm::kAes || id > algorithm::kTwofish) return nullptr;
  return &kCiphers[id - algorithm::kAes];
}

const CipherInfo* FindCipherByName(std::string_view name) {
  auto found = std::find_if(std::begin(kCiphers), std::end(kCiphers),
                            [name](const CipherInfo& info) { return info.name == name; });
  return found == std::end(kCiphers) ? nullptr : found;
}

KeyBlock KeyBytes(std::u16string_view keyText) {
  KeyBlock key{};
  for (std::size_t i = 0; i < key.size() && i < keyText.size(); ++i) key[i] = static_cast<std::uint8_t>(keyText[i]);
  return key;
}

std::int32_t KeyTextRefusal(std::u16string_view keyText) {
  if (keyText.empty()) return prompt::kKeyEmpty;
  if (keyText.size() != kKeyTextLength) return prompt::kKeyLength;
  return prompt::kNone;
}

void CipherTransform(AlgorithmId id, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output,
                     std::size_t length) {
  if (const CipherOperations* operations = OperationsFor(id))
    operations->transform(*FindCipher(id), key, input, output, length);
}

std::unique_ptr<ChunkCipher> MakeChunkCipher(AlgorithmId id, const std::uint8_t* key) {
  const CipherInfo* info = FindCipher(id);
  return info ? std::make_unique<KeyStreamCipher>(*info, key) : nullptr;
}

bool EncryptBlock(AlgorithmId id, const std::uint8_t* key, const std::uint8_t* input, std::uint8_t* output) {
  const CipherOperations* operations = OperationsFor(id);
  if (!operations) return false;
  operations->encryptBlock(*FindCipher(id), key, input, output);
  return true;
}

std::u16string_view SuffixOf(AlgorithmId id) {
  const CipherInfo* info = FindCipher(id);
  return info ? info->suffix : std::u16string_view();
}

bool SuffixMatches(std::u16string_view path, AlgorithmId id) {
  // A suffix holds no separator, so the path's end is the name's end.
  return !FindCipher(id) || path.ends_with(SuffixOf(id));
}

}  // namespace corvanel
