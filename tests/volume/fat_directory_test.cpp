// The FAT32 walk over hand-made directories: long names, deleted and hidden
// directories, the entry filters, unreadable clusters, and following a path.
#include "volume/fat_directory.h"

#include <gtest/gtest.h>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "tests/support/test_volume_image.h"
#include "volume/deleted_file_scan.h"
#include "volume/raw_volume.h"

namespace corvanel {
namespace {

using Entry = std::array<std::uint8_t, 32>;

void Put(std::uint8_t* at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A short entry from an 11-byte 8.3 name ("FILE    TXT").
Entry Short(std::string_view name83, std::uint8_t attributes, std::uint32_t cluster, std::uint32_t size,
            bool deleted = false) {
  Entry e{};
  std::copy(name83.begin(), name83.end(), e.begin());
  if (deleted) e[0] = 0xE5;
  e[11] = attributes;
  Put(&e[0x14], cluster >> 16, 2);
  Put(&e[0x1A], cluster & 0xFFFF, 2);
  Put(&e[0x1C], size, 4);
  return e;
}

// The long-name slots of a name, in disk order (last part first), carrying
// the checksum of their short entry's 8.3 name (as it was before deletion).
std::vector<Entry> Slots(std::u16string_view name, bool deleted = false, std::string_view owner83 = "") {
  const std::uint8_t checksum = owner83.empty() ? 0 : ShortNameChecksum(Short(owner83, 0x20, 0, 0));
  std::u16string units(name);
  units += u'\0';
  while (units.size() % 13) units += u'\xFFFF';
  std::size_t count = units.size() / 13;
  static constexpr std::size_t kOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<Entry> slots;
  for (std::size_t n = count; n-- > 0;) {
    Entry e{};
    e[0] = deleted ? 0xE5 : static_cast<std::uint8_t>((n + 1) | (n + 1 == count ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = checksum;
    for (std::size_t k = 0; k < 13; ++k) Put(&e[kOffsets[k]], units[n * 13 + k], 2);
    slots.push_back(e);
  }
  return slots;
}

class FatWalkTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kFatSector = 32;
  static constexpr std::uint32_t kDataSector = 64;  // cluster 2
  static constexpr std::uint32_t kSectors = 1000;

  void SetUp() override {
    if (!image.available()) GTEST_SKIP() << "no image behind a drive letter";
    ResetSharedState();
    image.Resize(kSectors * kSectorSize);
    std::array<std::uint8_t, kSectorSize> boot{};
    std::copy_n("FAT32   ", 8, boot.begin() + 0x52);
    Put(&boot[0x0B], kSectorSize, 2);
    boot[0x0D] = 1;
    Put(&boot[0x0E], kFatSector, 2);
    boot[0x10] = 2;
    Put(&boot[0x20], kSectors, 4);
    Put(&boot[0x24], 16, 4);
    Put(&boot[0x2C], 2, 4);
    image.Write(0, boot);
    SetFat(0, 0x0FFFFFF8);
    SetFat(1, 0x0FFFFFFF);
    SetFat(2, 0x0FFFFFFF);
  }
  void TearDown() override { ResetSharedState(); }

  void SetFat(std::uint32_t cluster, std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes;
    Put(bytes.data(), value, 4);
    image.Write(kFatSector * std::uint64_t{kSectorSize} + cluster * 4, bytes);
  }
  // Writes entries into a cluster's first sector onwards.
  void Directory(std::uint32_t cluster, const std::vector<Entry>& entries) {
    std::vector<std::uint8_t> bytes;
    for (const Entry& e : entries) bytes.insert(bytes.end(), e.begin(), e.end());
    image.Write((kDataSector + cluster - 2) * std::uint64_t{kSectorSize}, bytes);
  }

  std::vector<std::u16string> Scan(std::int32_t& errorCode) {
    view = ListedFilesView();
    errorCode = 0;
    ScanDeletedFiles(image.letter(), view, errorCode);
    std::vector<std::u16string> names;
    for (ScanKey key = 0; key < LastScan.Count(); ++key) names.emplace_back(LastScan.Name(key));
    return names;
  }

  testing::TestVolumeImage image;
  ListedFilesView view;
};

std::vector<Entry> Concat(std::initializer_list<std::vector<Entry>> parts) {
  std::vector<Entry> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST_F(FatWalkTest, DeletedEntriesWithLongAndShortNames) {
  Entry lowerCase = Short("AFTER   TXT", 0x20, 16, 1, true);
  lowerCase[0x0C] = 0x18;
  // A slot whose order byte alone is damaged still carries its part.
  std::vector<Entry> damagedOrder = Slots(u"Three slots, the middle one's order lost", true, "THREES~1   ");
  damagedOrder[1][0] = 0xF5;
  SetFat(2, 3);  // the root takes two clusters
  SetFat(3, 0x0FFFFFFF);
  Directory(2, Concat({
      Slots(u"文件（一）：a.txt", true, "_____~1 TXT"), {Short("_____~1 TXT", 0x20, 10, 2, true)},
      {Short("KEEP    TXT", 0x20, 11, 5)},
      {Short("FILE    TXT", 0x20, 12, 7, true)},
      Slots(u"A name longer than thirteen.bin", true, "ANAMEL~1BIN"), {Short("ANAMEL~1BIN", 0x20, 13, 9000, true)},
      {Short("FAR     BIN", 0x20, 5000, 1, true)},  // first data sector beyond the volume
      // Slots that are another name's: the short name, in the case its flags give.
      Slots(u"Old report.xlsx", true, "OLDREP~1XLS"), {Short("REPORT  XLS", 0x20, 14, 1, true)},
      {lowerCase},
      damagedOrder, {Short("THREES~1   ", 0x20, 15, 1, true)},
  }));
  std::int32_t errorCode = 0;
  std::vector<std::u16string> names = Scan(errorCode);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(names.size(), 6u);
  EXPECT_EQ(names[5], u"Three slots, the middle one's order lost");
  EXPECT_EQ(names[3].substr(1), u"EPORT.XLS");
  EXPECT_EQ(names[4].substr(1), u"fter.txt");
  EXPECT_EQ(names[0], u"文件（一）：a.txt");
  EXPECT_EQ(names[1].substr(1), u"ILE.TXT");  // the deleted mark read through the code page
  EXPECT_EQ(names[2], u"A name longer than thirteen.bin");
  const ListedFile& first = *LastScan.File(0);
  EXPECT_EQ(first.dirSector, kDataSector);
  EXPECT_EQ(first.entryIndex, 1);  // after its one slot (12 units and a terminator)
  EXPECT_EQ(first.slotCount, 2);
  EXPECT_EQ(first.firstDataSector, kDataSector + 8);
  EXPECT_EQ(first.size, 2u);
  EXPECT_EQ(LastScan.File(1)->slotCount, 1);
  EXPECT_EQ(LastScan.File(2)->entryIndex, 7);
  EXPECT_EQ(view.invalidations, 1);
  EXPECT_EQ(view.At(view.FirstChild(1)).itemData, 1u);
}

TEST_F(FatWalkTest, DirectoriesDeletedHiddenAndChained) {
  Directory(2, {
      Short("LIVE       ", 0x10, 3, 0),
      Short("GONE       ", 0x10, 4, 0, true),
      Short("SYSTEM     ", 0x16, 5, 0),  // hidden and system: a folder all the same
      Short("LATE    TXT", 0x20, 7, 3, true),
  });
  SetFat(3, 0x0FFFFFFF);
  Directory(3, {Short(".          ", 0x10, 3, 0), Short("..         ", 0x10, 0, 0),
                Short("LIVEDEL TXT", 0x20, 20, 4, true), Short("LIVEKEEPTXT", 0x20, 21, 4)});
  // A deleted directory: its live entries count as deleted too.
  Directory(4, {Short(".          ", 0x10, 4, 0), Short("INSIDE  TXT", 0x20, 22, 6)});
  Directory(5, {Short("SECRET  TXT", 0x20, 23, 6, true)});
  std::int32_t errorCode = 0;
  std::vector<std::u16string> names = Scan(errorCode);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0].substr(1), u"IVEDEL.TXT");
  EXPECT_EQ(names[1], u"INSIDE.TXT");
  EXPECT_EQ(names[2].substr(1), u"ECRET.TXT");
  EXPECT_EQ(LastScan.Path(2), u"SYSTEM");
  EXPECT_EQ(names[3].substr(1), u"ATE.TXT");  // the root goes on after the subdirectories

  // A live directory spread over two clusters that are not neighbours: the
  // chain is followed, not the sectors after the first cluster.
  std::vector<Entry> root(16);
  root[0] = Short("LIVE       ", 0x10, 3, 0);
  Directory(2, root);
  SetFat(3, 30);
  SetFat(30, 0x0FFFFFFF);
  std::vector<Entry> full(16, Short("FILLER  TXT", 0x20, 40, 1));
  Directory(3, full);
  Directory(4, {Short("WRONG   TXT", 0x20, 41, 1, true)});  // what follows cluster 3 on disk
  Directory(30, {Short("SECOND  TXT", 0x20, 42, 1, true)});
  names = Scan(errorCode);
  // (The deleted mark reads as whatever the code page makes of 0xE5.)
  EXPECT_NE(std::find_if(names.begin(), names.end(), [](const auto& name) { return name.substr(1) == u"ECOND.TXT"; }),
            names.end());
  for (const auto& name : names) EXPECT_EQ(name.find(u"RONG"), std::u16string::npos);

  // A deleted directory, read on along the volume (its chain is freed),
  // ends where the next cluster is in use: a live folder's entries there
  // are not deleted files of its.
  root = std::vector<Entry>(16);
  root[0] = Short("OLD        ", 0x10, 50, 0, true);
  root[1] = Short("NEWER      ", 0x10, 51, 0);
  Directory(2, root);
  SetFat(51, 0x0FFFFFFF);
  Directory(50, std::vector<Entry>(16, Short("OLDFILE TXT", 0x20, 60, 1, true)));
  Directory(51, {Short(".          ", 0x10, 51, 0), Short("..         ", 0x10, 0, 0),
                 Short("LIVEFILETXT", 0x20, 61, 1)});
  names = Scan(errorCode);
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(names.size(), 16u);
  for (const auto& name : names) EXPECT_EQ(name.find(u"IVEFILE"), std::u16string::npos);
  // ... and where another folder's first cluster begins, free or not: its
  // files are listed once, in it.
  SetFat(51, 0);
  root[1] = Short("INNER      ", 0x10, 51, 0, true);
  Directory(2, root);
  names = Scan(errorCode);
  EXPECT_EQ(names.size(), 17u);
  EXPECT_EQ(std::count(names.begin(), names.end(), u"LIVEFILE.TXT"), 1);
}

// A deleted folder read on along the volume passes over bytes that are no
// entry (a small file written over its clusters) and ends at a cluster that
// holds nothing else.
TEST_F(FatWalkTest, ADeletedFolderPassesOverWhatIsNoEntry) {
  Directory(2, {Short("OLD        ", 0x10, 50, 0, true)});
  const Entry garbage = Short("GARBAGE XX ", 0x4E, 3, 1);
  Directory(50, std::vector<Entry>(16, Short("FIRST   TXT", 0x20, 60, 1, true)));
  std::vector<Entry> second(16, Short("SECOND  TXT", 0x20, 61, 1, true));
  std::fill_n(second.begin(), 3, garbage);
  Directory(51, second);
  Directory(52, std::vector<Entry>(16, garbage));
  Directory(53, {Short("PAST    TXT", 0x20, 62, 1, true)});
  std::int32_t errorCode = 0;
  std::vector<std::u16string> names = Scan(errorCode);
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(names.size(), 29u);  // 16 + 13, none of the garbage, none past it
  for (const auto& name : names) EXPECT_TRUE(name.substr(1) == u"IRST.TXT" || name.substr(1) == u"ECOND.TXT");
}

// Damage to a short entry (unused attribute bits set, a padding blank of its
// name turned into another byte) is repaired only where its own slots vouch
// for the repaired name.
TEST_F(FatWalkTest, DamagedShortEntriesPassOnlyWithTheirOwnSlots) {
  Entry padding = Short("PADDIN~1   ", 0x20, 16, 1, true);
  padding[9] = 0xA0;  // a blank of the extension with its top bit flipped
  Directory(2, Concat({
      {Short("NOSLOTS TXT", 0xA0, 15, 1, true)},
      Slots(u"Another name.txt", true, "ANOTHE~1TXT"), {Short("WRONG   TXT", 0xA0, 15, 1, true)},
      Slots(u"Vouched for.txt", true, "VOUCHE~1TXT"), {Short("VOUCHE~1TXT", 0xA0, 15, 1, true)},
      Slots(u"Padding damaged", true, "PADDIN~1   "), {padding},
      {padding},
      Slots(u"Other slots", true, "OTHERS~1   "), {padding},
      Slots(u"Damaged folder", false, "DAMAGE~1   "), {Short("DAMAGE~1   ", 0xD0, 20, 0)},
  }));
  SetFat(20, 0x0FFFFFFF);
  Directory(20, Concat({Slots(u"inside it.txt", true, "INSIDE~1TXT"), {Short("INSIDE~1TXT", 0x20, 21, 1, true)}}));
  std::int32_t errorCode = 0;
  EXPECT_EQ(Scan(errorCode),
            (std::vector<std::u16string>{u"Vouched for.txt", u"Padding damaged", u"inside it.txt"}));
  EXPECT_EQ(LastScan.Path(2), u"Damaged folder");
}

TEST_F(FatWalkTest, ADirectoryThatContainsItselfEnds) {
  Directory(2, {Short("LOOP       ", 0x10, 3, 0)});
  SetFat(3, 0x0FFFFFFF);
  Directory(3, {Short("AGAIN      ", 0x10, 2, 0), Short("X       TXT", 0x20, 9, 1, true)});
  std::int32_t errorCode = 0;
  EXPECT_EQ(Scan(errorCode).size(), 1u);
  EXPECT_EQ(errorCode, 0);
}

// A corrupt FAT whose chains lead back into themselves: the walk once read
// the same cluster forever. Each directory now ends where its chain loops,
// counted as damaged, and the rest of the tree is still walked.
TEST_F(FatWalkTest, ChainsThatLoopEndAsDamaged) {
  SetFat(2, 2);  // the root's one cluster links to itself; it is all long-name slots
  Directory(2, std::vector<Entry>(16, Slots(u"abc")[0]));
  std::int32_t errorCode = 0;
  EXPECT_TRUE(Scan(errorCode).empty());
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(LastScan.ScanDamagedDirectories, 1u);
  BootSectorFacts facts = *ParseBootSector(image.Read(0, kSectorSize));
  RawVolume volume(image.letter());
  FatLocation located;
  EXPECT_FALSE(FindFatPath(volume, facts, u"a.txt", located, errorCode));
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);

  // A subdirectory of two full clusters, 3 and 30, whose chain returns to 3.
  SetFat(2, 0x0FFFFFFF);
  Directory(2, {Short("LOOP       ", 0x10, 3, 0), Short("LATE    TXT", 0x20, 9, 1, true)});
  SetFat(3, 30);
  SetFat(30, 3);
  std::vector<Entry> first(16, Short("FILLER  TXT", 0x20, 40, 1));
  first[0] = Short("ONE     TXT", 0x20, 41, 1, true);
  std::vector<Entry> second = first;
  second[0] = Short("TWO     TXT", 0x20, 42, 1, true);
  Directory(3, first);
  Directory(30, second);
  std::vector<std::u16string> names = Scan(errorCode);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0].substr(1), u"NE.TXT");
  EXPECT_EQ(names[1].substr(1), u"WO.TXT");
  EXPECT_EQ(names[2].substr(1), u"ATE.TXT");
  EXPECT_EQ(LastScan.ScanDamagedDirectories, 1u);
  errorCode = 0;
  EXPECT_FALSE(FindFatPath(volume, facts, u"loop\\missing.txt", located, errorCode));
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);
}

// A volume cut short: the directory clusters past its end cannot be read.
// They are noted, and everything else is listed.
TEST_F(FatWalkTest, UnreadableDirectoryClustersAreNotedAndPassedOver) {
  Directory(2, {Short("CUT        ", 0x10, 850, 0), Short("SPLIT      ", 0x10, 3, 0),
                Short("ROOT    TXT", 0x20, 9, 1, true)});
  SetFat(850, 0x0FFFFFFF);
  // SPLIT: clusters 3, 900, 901 and 4; the two in the middle are gone.
  std::vector<Entry> full(16, Short("FILLER  TXT", 0x20, 40, 1));
  Directory(3, full);
  SetFat(3, 900);
  SetFat(900, 901);
  SetFat(901, 4);
  SetFat(4, 0x0FFFFFFF);
  Directory(4, {Short("AFTER   TXT", 0x20, 41, 1, true)});
  image.Resize(800 * kSectorSize);
  std::int32_t errorCode = 0;
  std::vector<std::u16string> names = Scan(errorCode);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].substr(1), u"FTER.TXT");
  EXPECT_EQ(names[1].substr(1), u"OOT.TXT");
  ASSERT_EQ(LastScan.ScanUnreadableStretches.size(), 2u);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[0].unit, UnreadableStretch::Unit::Clusters);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[0].first, 850u);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[0].count, 1u);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[1].first, 900u);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[1].count, 2u);
  // A fresh scan starts with none.
  image.Resize(kSectors * kSectorSize);
  Scan(errorCode);
  EXPECT_TRUE(LastScan.ScanUnreadableStretches.empty());
}

TEST_F(FatWalkTest, FindFatPath) {
  Directory(2, Concat({
      {Short("MUSIC      ", 0x10, 3, 0)},
      Slots(u"Long Document.docx", false, "LONGDO~1DOC"), {Short("LONGDO~1DOC", 0x20, 8, 1234)},
  }));
  SetFat(3, 0x0FFFFFFF);
  Directory(3, {Short("FILE    MP3", 0x20, 9, 4321), Short("OLD     MP3", 0x20, 10, 1, true)});
  BootSectorFacts facts = *ParseBootSector(image.Read(0, kSectorSize));
  RawVolume volume(image.letter());
  FatLocation located;
  std::int32_t errorCode = 0;
  ASSERT_TRUE(FindFatPath(volume, facts, u"X:\\music\\file.mp3", located, errorCode));
  EXPECT_EQ(located.name, u"file.mp3");
  EXPECT_EQ(located.dirSector, kDataSector + 1);
  EXPECT_EQ(located.entryIndex, 0);
  EXPECT_EQ(located.slotCount, 1);
  EXPECT_EQ(located.firstDataSector, kDataSector + 7);
  EXPECT_EQ(located.fileSize, 4321u);

  ASSERT_TRUE(FindFatPath(volume, facts, u"long document.DOCX", located, errorCode));
  EXPECT_EQ(located.slotCount, 3);
  EXPECT_EQ(located.entryIndex, 3);

  // A directory as the last component, a file on the way, or no component
  // at all names nothing that could be shredded.
  for (std::u16string_view path : {u"\\MUSIC", u"long document.docx\\x", u"X:\\"}) {
    errorCode = 0;
    EXPECT_FALSE(FindFatPath(volume, facts, path, located, errorCode));
    EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);
  }
  errorCode = 0;
  // Deleted entries are not found; nor are missing ones.
  EXPECT_FALSE(FindFatPath(volume, facts, u"music\\old.mp3", located, errorCode));
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);
  errorCode = 0;
  EXPECT_FALSE(FindFatPath(volume, facts, u"nothing.txt", located, errorCode));
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);
}

TEST_F(FatWalkTest, FindFatPathKeepsEachEntryWhereItLies) {
  // A directory of two clusters, 3 and then 5: the file's two long-name slots
  // end cluster 3, its short entry starts cluster 5. A volume label and a
  // directory whose 8.3 name has an extension stand in the root.
  Entry shortEntry = Short("REPORT~1TXT", 0x20, 20, 3000);
  std::vector<Entry> slots = Slots(u"Quarterly report.txt");
  for (Entry& slot : slots) slot[13] = ShortNameChecksum(shortEntry);
  std::vector<Entry> first;
  for (int i = 0; i < 14; ++i) first.push_back(Short("FILLER  TXT", 0x20, 0, 0, true));
  first.insert(first.end(), slots.begin(), slots.end());
  Directory(2, {Short("QUARTERL   ", 0x08, 0, 0), Short("DATA    OLD", 0x10, 3, 0)});
  Directory(3, first);
  Directory(5, {shortEntry});
  SetFat(3, 5);
  SetFat(5, 0x0FFFFFFF);
  BootSectorFacts facts = *ParseBootSector(image.Read(0, kSectorSize));
  RawVolume volume(image.letter());
  FatLocation located;
  std::int32_t errorCode = 0;
  ASSERT_TRUE(FindFatPath(volume, facts, u"X:\\data.old\\QUARTERLY REPORT.TXT", located, errorCode));
  EXPECT_EQ(located.slotCount, 3);
  EXPECT_EQ(located.dirSector, kDataSector + 3);
  EXPECT_EQ(located.entryIndex, 0);
  EXPECT_EQ(located.firstCluster, 20u);
  ASSERT_EQ(located.entries.size(), 3u);
  EXPECT_EQ(located.entries[0].sector, kDataSector + 1);
  EXPECT_EQ(located.entries[0].index, 14);
  EXPECT_EQ(located.entries[1].index, 15);
  EXPECT_EQ(located.entries[2].sector, kDataSector + 3);
  EXPECT_EQ(located.entries[2].bytes, shortEntry);

  // Slots whose checksum is another short name's are no part of this file,
  // nor is the name they spell.
  slots[0][13] ^= 0x55;
  std::copy(slots.begin(), slots.end(), first.begin() + 14);
  Directory(3, first);
  EXPECT_FALSE(FindFatPath(volume, facts, u"data.old\\quarterly report.txt", located, errorCode));
  ASSERT_TRUE(FindFatPath(volume, facts, u"data.old\\report~1.txt", located, errorCode));
  EXPECT_EQ(located.slotCount, 3);
  ASSERT_EQ(located.entries.size(), 2u);
  EXPECT_EQ(located.entries[0].index, 15);

  // The volume label's name is not a file's.
  EXPECT_FALSE(FindFatPath(volume, facts, u"quarterl", located, errorCode));
}

// The locate reads entries as the scan does: bytes that are no entry are
// passed over, not the directory's end, and a file with no attribute bits
// set is a file.
TEST_F(FatWalkTest, FindFatPathPassesOverWhatTheScanPassesOver) {
  Entry garbage;
  garbage.fill(0xFF);
  Directory(2, {garbage, Short("PLAIN   TXT", 0x00, 11, 5)});
  BootSectorFacts facts = *ParseBootSector(image.Read(0, kSectorSize));
  RawVolume volume(image.letter());
  FatLocation located;
  std::int32_t errorCode = 0;
  ASSERT_TRUE(FindFatPath(volume, facts, u"plain.txt", located, errorCode)) << errorCode;
  EXPECT_EQ(located.entryIndex, 1);
  EXPECT_EQ(located.firstCluster, 11u);
}

TEST_F(FatWalkTest, ReadFatChainStopsAtAnythingButALiveLink) {
  BootSectorFacts facts = *ParseBootSector(image.Read(0, kSectorSize));
  RawVolume volume(image.letter());
  SetFat(9, 11);
  SetFat(11, 12);
  SetFat(12, 0x0FFFFFFF);
  FatChain chain = ReadFatChain(volume, facts, 9, 10);
  EXPECT_EQ(chain.clusters, (std::vector<std::uint32_t>{9, 11, 12}));
  EXPECT_TRUE(chain.complete);
  // As many clusters as the size needs is enough.
  EXPECT_EQ(ReadFatChain(volume, facts, 9, 2).clusters, (std::vector<std::uint32_t>{9, 11}));
  // A freed link, a loop and a bad cluster end the chain early.
  SetFat(11, 0);
  chain = ReadFatChain(volume, facts, 9, 10);
  EXPECT_EQ(chain.clusters, (std::vector<std::uint32_t>{9}));
  EXPECT_FALSE(chain.complete);
  SetFat(11, 9);
  EXPECT_EQ(ReadFatChain(volume, facts, 9, 10).clusters, (std::vector<std::uint32_t>{9, 11}));
  SetFat(11, 0x0FFFFFF7);
  EXPECT_FALSE(ReadFatChain(volume, facts, 9, 10).complete);
  // A first cluster outside the volume has no chain.
  EXPECT_TRUE(ReadFatChain(volume, facts, 5000, 10).clusters.empty());
}

TEST(LongNames, SlotsAreJoinedLastPartFirstAndCut) {
  LongNameCollector names;
  for (const Entry& slot : Slots(u"文件（一）：a.txt")) names.AddSlot(slot);
  EXPECT_EQ(names.Take(), u"文件（一）：a.txt");
  EXPECT_FALSE(names.Pending());
  // Full-width marks other than （）： keep their 0xFF byte too.
  for (const Entry& slot : Slots(u"报告！＃.txt")) names.AddSlot(slot);
  EXPECT_EQ(names.Take(), u"报告！＃.txt");
  // Exactly 13 units: no terminator, no padding.
  for (const Entry& slot : Slots(u"abcdefghijklm")) names.AddSlot(slot);
  EXPECT_EQ(names.Take(), u"abcdefghijklm");
  // More slots than a name may have: cut at 255 units.
  std::u16string huge(300, u'x');
  for (const Entry& slot : Slots(huge)) names.AddSlot(slot);
  EXPECT_EQ(names.Take().size(), 255u);
}

TEST(ShortNames, BaseAndExtension) {
  EXPECT_EQ(ShortName(Short("README  TXT", 0x20, 0, 0)), u"README.TXT");
  EXPECT_EQ(ShortName(Short("NOEXT      ", 0x20, 0, 0)), u"NOEXT");
  EXPECT_EQ(ShortName(Short("DOCS    DIR", 0x10, 0, 0), false), u"DOCS");
  // Windows NT's case flags: 0x08 the base, 0x10 the extension in lower case.
  Entry entry = Short("README~1TXT", 0x20, 0, 0);
  entry[0x0C] = 0x08;
  EXPECT_EQ(ShortName(entry), u"readme~1.TXT");
  entry[0x0C] = 0x10;
  EXPECT_EQ(ShortName(entry), u"README~1.txt");
}

TEST(ShortNames, ChecksumOfThe83Bytes) {
  // As mtools and fusefat write them into long-name slots.
  EXPECT_EQ(ShortNameChecksum(Short("LONGDO~1DOC", 0x20, 0, 0)), 0x13);
  EXPECT_EQ(ShortNameChecksum(Short("ALONGF~1BIN", 0x20, 0, 0)), 0x30);
}

}  // namespace
}  // namespace corvanel
