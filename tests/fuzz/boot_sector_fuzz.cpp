// libFuzzer target: boot sectors from arbitrary bytes.
#include "volume/volume_geometry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<corvanel::BootSectorFacts> facts = corvanel::ParseBootSector(std::span<const std::uint8_t>(data, size));
  if (facts) corvanel::UnsupportedVolume(*facts);
  return 0;
}
