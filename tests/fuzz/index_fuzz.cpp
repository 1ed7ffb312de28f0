// libFuzzer target: NTFS directory indexes (index blocks and the index root
// and allocation of directory records) from arbitrary bytes.
#include <array>
#include <cstring>
#include <vector>

#include "volume/file_locate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanel;
  // As an index block of the size the input has, in whole sectors.
  std::vector<std::uint8_t> block(data, data + size);
  block.resize(block.size() / 512 * 512);
  SearchIndexBlock(block, u"file.txt");
  SearchIndexBlock(block, u"");
  // As a directory record: the input, cut or zero-padded to 1024 bytes.
  std::array<std::uint8_t, kFileRecordSize> record{};
  std::memcpy(record.data(), data, std::min(size, record.size()));
  FixUpRecordSector(record);
  LookUpInDirectory(record, u"file.txt");
  std::uint64_t parent = 0;
  MatchFileNameAndParent(record, u"file.txt", parent);
  return 0;
}
