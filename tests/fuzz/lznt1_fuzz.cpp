// libFuzzer target: LZNT1 compression units from arbitrary bytes, decoded
// into units of every size the format uses.
#include <vector>

#include "volume/ntfs_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanel;
  const std::span<const std::uint8_t> unit(data, size);
  for (std::size_t unitBytes : {std::size_t{0}, std::size_t{100}, std::size_t{4096}, std::size_t{65536}}) {
    std::vector<std::uint8_t> out(unitBytes, 0xAA);
    DecompressLznt1(unit, out);
  }
  return 0;
}
