// The peer of bench/crypt: Crypto++'s own CTR mode, keyed once, one counter
// run over the whole file, 1 MiB reads and writes. What a file encryptor with
// no chunk format could do with the same library.
#include <cryptopp/blowfish.h>
#include <cryptopp/cast.h>
#include <cryptopp/des.h>
#include <cryptopp/idea.h>
#include <cryptopp/mars.h>
#include <cryptopp/modes.h>
#include <cryptopp/rc6.h>
#include <cryptopp/rijndael.h>
#include <cryptopp/seed.h>
#include <cryptopp/serpent.h>
#include <cryptopp/skipjack.h>
#include <cryptopp/tea.h>
#include <cryptopp/twofish.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

template <typename Cipher>
int Run(std::size_t keyLength, std::FILE* in, std::FILE* out) {
  const std::uint8_t key[16] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
  const std::uint8_t counter[16] = {'v', 'e', 'x', 'i', 'l'};
  typename CryptoPP::CTR_Mode<Cipher>::Encryption mode(key, keyLength, counter);
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    mode.ProcessData(buffer.data(), buffer.data(), got);
    if (std::fwrite(buffer.data(), 1, got, out) != got) return 1;
    if (got < buffer.size()) return std::ferror(in) ? 1 : 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: crypt_peer CIPHER IN OUT\n");
    return 2;
  }
  std::string_view name = argv[1];
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(std::fopen(argv[2], "rb"), std::fclose);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> out(std::fopen(argv[3], "wb"), std::fclose);
  if (!in || !out) return 1;
  if (name == "aes") return Run<CryptoPP::Rijndael>(16, in.get(), out.get());
  if (name == "blowfish") return Run<CryptoPP::Blowfish>(16, in.get(), out.get());
  if (name == "cast256") return Run<CryptoPP::CAST256>(16, in.get(), out.get());
  if (name == "des") return Run<CryptoPP::DES>(8, in.get(), out.get());
  if (name == "idea") return Run<CryptoPP::IDEA>(16, in.get(), out.get());
  if (name == "mars") return Run<CryptoPP::MARS>(16, in.get(), out.get());
  if (name == "rc6") return Run<CryptoPP::RC6>(16, in.get(), out.get());
  if (name == "seed") return Run<CryptoPP::SEED>(16, in.get(), out.get());
  if (name == "serpent") return Run<CryptoPP::Serpent>(16, in.get(), out.get());
  if (name == "skipjack") return Run<CryptoPP::SKIPJACK>(10, in.get(), out.get());
  if (name == "tea") return Run<CryptoPP::TEA>(16, in.get(), out.get());
  if (name == "twofish") return Run<CryptoPP::Twofish>(16, in.get(), out.get());
  std::fprintf(stderr, "unknown cipher %s\n", argv[1]);
  return 2;
}
