// libFuzzer target: boot sectors from arbitrary bytes.
#include "volume/volume_geometry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  corvanel::ParseBootSector(std::span<const std::uint8_t>(data, size));
  return 0;
}
