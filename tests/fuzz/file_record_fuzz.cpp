// libFuzzer target: NTFS file records and run lists from arbitrary bytes.
#include <array>
#include <cstring>

#include "volume/mft_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanel;
  // Run lists of any length.
  DecodeDataRuns(std::span<const std::uint8_t>(data, size));
  // A record: the input, cut or zero-padded to 1024 bytes.
  std::array<std::uint8_t, kFileRecordSize> record{};
  std::memcpy(record.data(), data, std::min(size, record.size()));
  MftRecord parsed;
  ParseFileRecord(record, parsed);
  FixUpRecordSector(record);
  ParseFileRecord(record, parsed);
  for (std::uint16_t offset : {std::uint16_t{0x38}, std::uint16_t{0x3F0}, std::uint16_t{0xFFFF}}) {
    ParseDataAttribute(record, offset, parsed);
    ReadFileName(record, offset, false);
  }
  return 0;
}
