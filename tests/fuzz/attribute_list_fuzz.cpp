// libFuzzer target: attribute lists from arbitrary bytes, alone and as the
// resident value of a record's attribute list.
#include <array>
#include <cstring>

#include "volume/mft_record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanel;
  bool complete = false;
  for (const AttributeListEntry& entry : ReadAttributeList(std::span<const std::uint8_t>(data, size), complete))
    if (entry.name.size() > 255) __builtin_trap();  // a name length is one byte
  // A record: the input, cut or zero-padded to 1024 bytes.
  std::array<std::uint8_t, kFileRecordSize> record{};
  std::memcpy(record.data(), data, std::min(size, record.size()));
  MftRecord parsed;
  if (ParseFileRecord(record, parsed)) ReadAttributeList(parsed.attributeList, complete);
  ForEachAttribute(record, [](const AttributeView& attribute) {
    attribute.Name();
    attribute.ResidentValue();
    return true;
  });
  return 0;
}
