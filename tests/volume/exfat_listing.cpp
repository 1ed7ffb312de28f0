// What the exFAT reading layer finds on an image, one JSON object a line, for
// tests/volume/exfat_volumes_test.py to hold against The Sleuth Kit until the
// scan lists exFAT itself.
//   exfat_listing IMAGE            the volume's facts, then every entry set
//   exfat_listing IMAGE --find P   the live set path P names
#include <cstdio>
#include <string>

#include "platform/drive_table.h"
#include "platform/text_encoding.h"
#include "volume/exfat_directory.h"
#include "volume/raw_volume.h"

namespace {

using namespace corvanel;

std::string Quoted(std::u16string_view text) {
  std::string out = "\"";
  for (char c : platform::Utf16ToUtf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void PrintSet(const ExfatVolume& volume, const ExfatEntrySet& set) {
  std::printf(
      "{\"name\":%s,\"path\":%s,\"deleted\":%s,\"inDeletedFolder\":%s,\"problem\":%d,\"directory\":%s,"
      "\"size\":%llu,\"validSize\":%llu,\"firstCluster\":%u,\"noFatChain\":%s,\"nameHashOk\":%s,"
      "\"inode\":%llu,\"offset\":%llu,\"entries\":%zu,\"modified\":\"%s\",\"modifiedUtc\":%s,\"created\":\"%s\"}\n",
      Quoted(set.name).c_str(), Quoted(set.path).c_str(), set.deleted ? "true" : "false",
      set.inDeletedFolder ? "true" : "false", static_cast<int>(set.problem), set.IsDirectory() ? "true" : "false",
      static_cast<unsigned long long>(set.stream.dataLength),
      static_cast<unsigned long long>(set.stream.validDataLength), set.stream.firstCluster,
      set.stream.NoFatChain() ? "true" : "false", volume.NameHash(set.name) == set.stream.nameHash ? "true" : "false",
      static_cast<unsigned long long>(ExfatEntryNumber(volume.Facts(), set.entryOffsets.front())),
      static_cast<unsigned long long>(set.entryOffsets.front()),
      set.entryOffsets.size(), IsoTime(set.times.modified, set.modifiedUtc, 2).c_str(),
      set.modifiedUtc ? "true" : "false", IsoTime(set.times.created, set.createdUtc, 2).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 4 && std::string(argv[2]) == "--find")) {
    std::fprintf(stderr, "usage: exfat_listing IMAGE [--find PATH]\n");
    return 2;
  }
  platform::MapDrive('E', {argv[1], {}});
  RawVolume raw('E');
  std::int32_t errorCode = 0;
  ExfatBootProblem problem = ExfatBootProblem::kNone;
  std::optional<ExfatVolume> volume = ExfatVolume::Open(raw, errorCode, &problem);
  if (!volume) {
    std::printf("{\"error\":%d,\"bootProblem\":%d}\n", errorCode, static_cast<int>(problem));
    return 1;
  }
  const ExfatFacts& facts = volume->Facts();
  if (argc == 4) {
    ExfatEntrySet found;
    if (!FindExfatPath(*volume, platform::Utf8ToUtf16(argv[3]), found, errorCode)) {
      std::printf("{\"error\":%d}\n", errorCode);
      return 1;
    }
    PrintSet(*volume, found);
    return 0;
  }
  std::printf(
      "{\"bytesPerSector\":%u,\"sectorsPerCluster\":%u,\"clusterHeapOffset\":%u,\"clusterCount\":%u,"
      "\"rootCluster\":%u,\"serial\":%u,\"fromBackup\":%s,\"mainProblem\":%d,\"bitmap\":%s,\"upcase\":%d}\n",
      facts.bytesPerSector, facts.sectorsPerCluster, facts.clusterHeapOffset, facts.clusterCount, facts.rootCluster,
      facts.volumeSerial, facts.fromBackup ? "true" : "false", static_cast<int>(facts.mainProblem),
      volume->HasBitmap() ? "true" : "false", static_cast<int>(volume->Upcase()));
  ExfatWalkReport report;
  const bool walked = WalkExfatTree(
      *volume,
      [&](const ExfatEntrySet& set) {
        PrintSet(*volume, set);
        return true;
      },
      report, errorCode);
  std::printf("{\"walked\":%s,\"damagedDirectories\":%u,\"unreadableClusters\":%zu}\n", walked ? "true" : "false",
              report.damagedDirectories, report.unreadableClusters.size());
  return walked ? 0 : 1;
}
