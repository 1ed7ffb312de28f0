// The NTFS record scan over hand-made volumes: which records count, where the
// MFT ends, the codes, the containers and the tree items.
#include "volume/deleted_file_scan.h"

#include <gtest/gtest.h>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "tests/support/record_builder.h"
#include "tests/support/test_volume_image.h"

namespace corvanel {
namespace {

using testing::RecordBuilder;

constexpr std::uint32_t kMftSector = 32;  // MFT at cluster 4, 8 sectors a cluster

class NtfsScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image.available()) GTEST_SKIP() << "no image behind a drive letter";
    ResetSharedState();
    UseVolumeOf(20000);
  }
  void TearDown() override { ResetSharedState(); }

  void UseVolumeOf(std::uint32_t sectors) {
    image.Resize(std::uint64_t{sectors} * kSectorSize);
    std::array<std::uint8_t, kSectorSize> boot{};
    std::copy_n("NTFS    ", 8, boot.begin() + 3);
    boot[0x0C] = 2;  // 512 bytes per sector
    boot[0x0D] = 8;
    for (int i = 0; i < 4; ++i) boot[0x28 + i] = static_cast<std::uint8_t>(sectors >> (8 * i));
    boot[0x30] = 4;
    image.Write(0, boot);
  }

  void PutRecord(std::uint32_t number, const std::array<std::uint8_t, kFileRecordSize>& bytes) {
    image.Write((kMftSector + std::uint64_t{number} * 2) * kSectorSize, bytes);
  }
  void PutDeleted(std::uint32_t number, std::u16string_view name, std::vector<std::uint8_t> data = {'d'}) {
    PutRecord(number, RecordBuilder(1, 0).FileName(name).ResidentData(data).End().bytes);
  }
  void PutSignature(std::uint32_t number, std::string_view signature) {
    std::array<std::uint8_t, kFileRecordSize> bytes{};
    std::copy(signature.begin(), signature.end(), bytes.begin());
    PutRecord(number, bytes);
  }
  // Ends the MFT at a record with an unknown signature.
  void EndAt(std::uint32_t number) { PutSignature(number, "JUNK"); }

  std::vector<std::u16string> ScanNames(bool& result, std::int32_t& errorCode) {
    errorCode = 0;
    view = ListedFilesView();
    result = ScanDeletedFiles(image.letter(), view, errorCode);
    std::vector<std::u16string> names;
    for (const MftRecord& record : LastScan.NtfsDeletedFiles) names.push_back(record.name);
    return names;
  }

  testing::TestVolumeImage image;
  ListedFilesView view;
};

TEST_F(NtfsScanTest, ListsDeletedFilesOnlyAndFillsContainersAndTree) {
  PutDeleted(24, u"first.txt", {'h', 'i'});
  PutRecord(25, RecordBuilder(1, 1).FileName(u"in use.txt").ResidentData({1}).End().bytes);
  PutRecord(26, RecordBuilder(1, 2).FileName(u"deleted dir").ResidentData({1}).End().bytes);
  PutRecord(27, RecordBuilder(1, 3).FileName(u"live dir").ResidentData({1}).End().bytes);
  PutDeleted(28, u"same.txt");
  PutRecord(29, RecordBuilder(1, 0).FileName(u"no data").End().bytes);  // does not parse: passed over
  PutDeleted(30, u"same.txt");
  EndAt(31);
  bool result = false;
  std::int32_t errorCode = 0;
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"first.txt", u"same.txt", u"same.txt"}));
  EXPECT_TRUE(result);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(LastScan.NtfsDeletedFiles.size(), 3u);
  EXPECT_EQ(LastScan.NtfsDeletedFiles[0].residentLength, 2);

  // Root item: the drive letter, image 2, data 0; then one child per entry in
  // key order, image 0, data = position + 1. One repaint, after the first.
  ASSERT_EQ(view.items.size(), 4u);
  EXPECT_EQ(view.items[0].text, std::u16string(1, static_cast<char16_t>(image.letter())));
  EXPECT_EQ(view.items[0].image, kImageVolume);
  EXPECT_EQ(view.items[0].itemData, 0u);
  TreeItem child = view.FirstChild(1);
  for (std::uintptr_t position = 1; position <= 3; ++position, child = view.NextSibling(child)) {
    ASSERT_NE(child, 0u);
    EXPECT_EQ(view.At(child).itemData, position);
    EXPECT_EQ(view.At(child).image, kImageFile);
    EXPECT_EQ(view.At(child).text, LastScan.NtfsFile(position)->name);
    EXPECT_EQ(LastScan.Name(position - 1), view.At(child).text);  // what the window labels the item by
  }
  EXPECT_EQ(view.invalidations, 1);

  // A second scan gives the same entries and keys again.
  EXPECT_EQ(ScanNames(result, errorCode).size(), 3u);
  EXPECT_EQ(LastScan.NtfsDeletedFiles.size(), 3u);
}

TEST_F(NtfsScanTest, DamagedLogAndBlankRecords) {
  PutSignature(24, "BAAD");                      // passed over
  PutSignature(25, "\x01\x00\x00\x00");          // passed over
  PutSignature(26, "RCRD");                      // skips this record and the next three
  PutDeleted(27, u"hidden by RCRD.txt");
  PutDeleted(30, u"after RCRD.txt");
  PutSignature(31, "\x01\x01\x01\x01");          // passed over
  // 32 and on: zero records count as blank; the scan ends after 1000 of them.
  bool result = false;
  std::int32_t errorCode = 0;
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"after RCRD.txt"}));
  EXPECT_TRUE(result);
  EXPECT_EQ(errorCode, 0);

  // Without record 0 the MFT's size is unknown: only 1000 blank records in a
  // row end it, and a record among them starts the count again.
  PutDeleted(600, u"among blanks.txt");
  PutDeleted(1100, u"after 499 more blanks.txt");
  PutDeleted(2200, u"past a thousand blanks.txt");
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"after RCRD.txt", u"among blanks.txt",
                                                                      u"after 499 more blanks.txt"}));
  EXPECT_TRUE(LastScan.ScanUnreadableStretches.empty());
}

TEST_F(NtfsScanTest, AnMftOfKnownSizeIsReadToItsEnd) {
  // Record 0: $MFT, 1200 records in one extent from cluster 4.
  PutRecord(0, RecordBuilder(1, 1).FileName(u"$MFT").NonResidentData({0x12, 0x2C, 0x01, 0x04}, 1200 * 1024).End().bytes);
  PutDeleted(30, u"early.txt");
  EndAt(31);  // an unknown signature is a damaged record here, not the end
  PutDeleted(1150, u"after 1100 blanks.txt");
  PutDeleted(1200, u"past the end.txt");
  bool result = false;
  std::int32_t errorCode = 0;
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"early.txt", u"after 1100 blanks.txt"}));
  EXPECT_TRUE(result);
  EXPECT_EQ(errorCode, 0);
}

TEST_F(NtfsScanTest, ExtensionRecordsAreFoundByTheirBase) {
  // Base 24: the data's first two clusters (at 100), its size, and neither a
  // name nor an attribute list. Extension 25, which no list names: the name
  // and the next two clusters (at 200).
  RecordBuilder base(1, 0);
  base.Put(0x10, 2, 2);
  base.NonResidentData({0x11, 0x02, 0x64}, 4 * 4096).End();
  RecordBuilder extension(1, 0);
  extension.Put(0x20, 24 | std::uint64_t{1} << 48, 8);
  extension.FileName(u"whole.bin");
  const std::size_t data = extension.next;
  extension.NonResidentData({0x21, 0x02, 0xC8, 0x00}, 0);
  extension.Put(data + 0x10, 2, 8);  // first VCN
  extension.Put(data + 0x18, 3, 8);  // last VCN
  extension.End();
  PutRecord(24, base.bytes);
  PutRecord(25, extension.bytes);
  PutDeleted(26, u"after.txt");
  EndAt(27);
  bool result = false;
  std::int32_t errorCode = 0;
  // The base is listed once its extension was seen: after the files between.
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"after.txt", u"whole.bin"}));
  const MftRecord& whole = LastScan.NtfsDeletedFiles.at(1);
  EXPECT_EQ(whole.runs, (std::vector<DataRun>{{100, 2}, {200, 2}}));
  EXPECT_EQ(whole.realSize, 4u * 4096);
  EXPECT_FALSE(whole.extensionsMissing);
  EXPECT_EQ(whole.path, u"");

  // The extension before its base.
  extension.Put(0x20, 26 | std::uint64_t{1} << 48, 8);
  PutRecord(24, extension.bytes);
  PutRecord(25, RecordBuilder(1, 1).End().bytes);
  PutRecord(26, base.bytes);
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"whole.bin"}));
  EXPECT_FALSE(LastScan.NtfsDeletedFiles.at(0).extensionsMissing);
  // In use by another file since: no piece of this one.
  extension.Put(0x16, 1, 2);
  PutRecord(24, extension.bytes);
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"?26"}));
  EXPECT_TRUE(LastScan.NtfsDeletedFiles.at(0).extensionsMissing);
  EXPECT_EQ(LastScan.NtfsDeletedFiles.at(0).runs, (std::vector<DataRun>{{100, 2}}));
}

TEST_F(NtfsScanTest, Codes) {
  bool result = true;
  std::int32_t errorCode = 0;
  // Fewer than 392 sectors: an eighth of them is no more than 48.
  UseVolumeOf(391);
  ScanNames(result, errorCode);
  EXPECT_FALSE(result);
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);
  EXPECT_EQ(view.items.size(), 1u);  // the root item alone

  // Running to an eighth of the volume without an end record.
  UseVolumeOf(800);
  for (std::uint32_t n = 24; n < 50; ++n) PutSignature(n, "BAAD");
  ScanNames(result, errorCode);
  EXPECT_EQ(errorCode, error_code::kNoFileRecordFound);

  // Reads that fail (the MFT said to lie past the image's end): what can be
  // read is listed, the rest is one stretch of unreadable records.
  UseVolumeOf(20000);
  image.Resize((kMftSector + 60) * kSectorSize);
  for (std::uint32_t n = 24; n < 29; ++n) PutSignature(n, "BAAD");
  PutDeleted(29, u"last readable.txt");
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"last readable.txt"}));
  EXPECT_TRUE(result);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(LastScan.ScanUnreadableStretches.size(), 1u);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[0].unit, UnreadableStretch::Unit::Records);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[0].first, 30u);
  EXPECT_EQ(LastScan.ScanUnreadableStretches[0].count, 2500u / 2 - 30);

  // Neither file system, and an unreadable boot sector.
  image.Write(0, std::vector<std::uint8_t>(kSectorSize, 0));
  ScanNames(result, errorCode);
  EXPECT_EQ(errorCode, error_code::kUnrecognizedFileSystem);
  EXPECT_EQ(view.items.size(), 1u);
  image.Resize(0);
  ScanNames(result, errorCode);
  EXPECT_EQ(errorCode, error_code::kScanSystemError);
  EXPECT_TRUE(LastSystemErrorText.Get().starts_with(u"System Error:"));
  EXPECT_GT(LastSystemErrorText.Get().size(), 13u);
}

// A view that asks for an abort as soon as the first file is listed, as the
// exit question does while a scan runs.
class AbortingView final : public DeletedFilesView {
 public:
  TreeItem InsertItem(std::u16string_view text, int image, int selectedImage, TreeItem parent,
                      std::uintptr_t itemData) override {
    if (parent != 0) AbortRequested = 1;
    return listed.InsertItem(text, image, selectedImage, parent, itemData);
  }
  void Invalidate() override { listed.Invalidate(); }
  TreeItem FirstChild(TreeItem parent) const override { return listed.FirstChild(parent); }
  TreeItem NextSibling(TreeItem item) const override { return listed.NextSibling(item); }
  bool IsChecked(TreeItem item) const override { return listed.IsChecked(item); }
  std::uintptr_t ItemData(TreeItem item) const override { return listed.ItemData(item); }
  ListedFilesView listed;
};

TEST_F(NtfsScanTest, ARecordWhoseSignatureLostOneBitIsStillRead) {
  PutDeleted(24, u"a.txt");
  PutDeleted(25, u"b.txt");
  PutDeleted(26, u"c.txt");
  image.Write((kMftSector + 25 * 2) * std::uint64_t{kSectorSize} + 1, std::vector<std::uint8_t>{0x09});  // "F\tLE"
  image.Write((kMftSector + 26 * 2) * std::uint64_t{kSectorSize} + 1, std::vector<std::uint8_t>{'X'});  // two bits
  EndAt(27);
  bool result = false;
  std::int32_t errorCode = 0;
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"a.txt", u"b.txt"}));
}

TEST_F(NtfsScanTest, ARecordWhoseUpdateSequenceIsOutOfPlaceIsReadOnlyBeforeTheFirstSectorEnd) {
  PutDeleted(24, u"a.txt", std::vector<std::uint8_t>(600, 'a'));  // its data runs over byte 510
  PutDeleted(25, u"b.txt");
  PutDeleted(26, u"c.txt", std::vector<std::uint8_t>(600, 'c'));
  for (std::uint32_t number : {24u, 25u})  // the array's offset past the record
    image.Write((kMftSector + number * 2) * std::uint64_t{kSectorSize} + 5, std::vector<std::uint8_t>{0x04});
  EndAt(27);
  bool result = false;
  std::int32_t errorCode = 0;
  EXPECT_EQ(ScanNames(result, errorCode), (std::vector<std::u16string>{u"b.txt", u"c.txt"}));
}

TEST_F(NtfsScanTest, AnAbortStopsTheScanAndKeepsWhatWasFound) {
  PutDeleted(24, u"a.txt");
  PutDeleted(25, u"b.txt");
  EndAt(26);
  AbortingView aborting;
  std::int32_t errorCode = 0;
  ScanDeletedFiles(image.letter(), aborting, errorCode);
  EXPECT_EQ(errorCode, 0);
  ASSERT_EQ(LastScan.NtfsDeletedFiles.size(), 1u);
  EXPECT_EQ(LastScan.NtfsDeletedFiles.at(0).name, u"a.txt");
  EXPECT_EQ(aborting.listed.items.size(), 2u);  // the volume and a.txt
}

TEST(MftLayout, FollowsExtentsThenRunsOn) {
  // One extent: the identity, running on past its end.
  MftLayout whole(32, 8, {{4, 10}});
  EXPECT_EQ(whole.Locate(48).sector, 80u);
  EXPECT_EQ(whole.Locate(500).sector, 532u);
  // Two extents: clusters 4..5 then 100..101, then on from the second's end.
  MftLayout two(32, 8, {{4, 2}, {100, 2}});
  EXPECT_EQ(two.Locate(15).sector, 47u);
  EXPECT_EQ(two.Locate(15).contiguous, 1u);
  EXPECT_EQ(two.Locate(16).sector, 800u);
  EXPECT_EQ(two.Locate(40).sector, 824u);
  // Extents that do not start at the boot sector's MFT are not trusted.
  MftLayout odd(32, 8, {{9, 2}, {100, 2}});
  EXPECT_EQ(odd.Locate(16).sector, 48u);
  // A run list that leads back to the MFT's first extent ends there: the MFT
  // runs on from the second extent instead of being read round again.
  MftLayout looped(32, 8, {{4, 2}, {100, 2}, {4, 2}});
  EXPECT_EQ(looped.Locate(32).sector, 816u);
}

}  // namespace
}  // namespace corvanel
