// The shred engine over a hand-made volume and a hand-made located file: what
// is written where, what is passed over because another file holds it, the
// size limit, the not-located question and the failures.
#include "shred/shred_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "platform/file_system.h"
#include "tests/support/record_builder.h"
#include "tests/support/recording_prompter.h"
#include "tests/support/test_volume_image.h"
#include "volume/file_locate.h"

namespace corvanel {
namespace {

namespace fs = std::filesystem;
using testing::PatternBytes;

constexpr std::uint32_t kVolumeSectors = 2048;  // 512-byte clusters: cluster n is sector n
constexpr std::uint64_t kVolumeBytes = std::uint64_t{kVolumeSectors} * kSectorSize;
constexpr std::uint32_t kMftSector = 100;
constexpr std::uint32_t kRecordSector = 200;

class ShredTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image.available()) GTEST_SKIP() << "no image behind a drive letter";
    ResetSharedState();
    UiLanguage = kLanguageEnglish;
    image.Resize(kVolumeBytes);
    image.Write(0, PatternBytes(0, kVolumeBytes));
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    file = fs::temp_directory_path() / (std::string("corvanel-shred-") + test->name() + ".bin");
    std::ofstream(file, std::ios::binary) << std::string(3000, 'S');
    ShredFilePath.Set(file.u16string());
  }
  void TearDown() override {
    fs::remove(file);
    LocatedFile = {};
    ResetSharedState();
  }

  // A located file on a volume of one-sector clusters.
  static void StartLocatedFile(FileSystem kind) {
    LocatedFile = {};
    LocatedFile.volume.kind = kind;
    LocatedFile.volume.geometry.sectorsPerCluster = 1;
    LocatedFile.volume.volumeSectors = kVolumeSectors;
  }

  // An NTFS volume whose $Bitmap shows the given clusters in use, and a
  // located, deleted file with the given extents.
  void LocateNtfsFile(const std::vector<DataRun>& runs, const std::vector<std::uint32_t>& inUse) {
    std::vector<std::uint8_t> bitmap(kVolumeSectors / 8, 0);
    for (std::uint32_t cluster : inUse) bitmap[cluster / 8] |= static_cast<std::uint8_t>(1 << (cluster % 8));
    testing::RecordBuilder bitmapRecord(1, 1);
    bitmapRecord.FileName(u"$Bitmap").ResidentData(bitmap).End();
    image.Write(std::uint64_t{kMftSector + 12} * kSectorSize, bitmapRecord.bytes);
    testing::RecordBuilder deleted(1, 0);
    deleted.Put(0x10, 8, 2);  // sequence number, as the deletion left it
    deleted.FileName(u"target.bin").End();
    image.Write(std::uint64_t{kRecordSector} * kSectorSize, deleted.bytes);
    StartLocatedFile(kFileSystemNtfs);
    LocatedFile.volume.geometry.totalSectors = kVolumeSectors;
    LocatedFile.volume.metadataStart = kMftSector;
    LocatedFile.recordSector = kRecordSector;
    LocatedFile.sequenceNumber = 7;
    LocatedFile.record.runs = runs;
    before = image.Read(0, kVolumeBytes);
  }

  // The located file made to be the chosen one, as the locate of a real
  // volume finds it: its record number and size those of the file (NTFS), or
  // the file as long as its entry says (FAT32). Then the shred.
  bool Shred(char letter, std::int32_t& errorCode, ShredReport* report = nullptr) {
    platform::SystemError ignored;
    if (LocatedFile.volume.kind == kFileSystemFat32 && fs::exists(file)) fs::resize_file(file, LocatedFile.fileSize);
    if (LocatedFile.volume.kind == kFileSystemExfat && fs::exists(file))
      fs::resize_file(file, LocatedFile.exfatStream.dataLength);
    if (std::optional<platform::FileIdentity> identity = platform::IdentifyFile(file.u16string(), ignored)) {
      LocatedFile.recordNumber = identity->fileIndex & 0xFFFFFFFFFFFFull;
      LocatedFile.record.realSize = identity->size;
    }
    return ShredLocatedFile(letter, errorCode, report);
  }

  // Whether a byte range of the image holds `value` throughout.
  bool Holds(std::uint64_t offset, std::size_t length, std::uint8_t value) {
    std::vector<std::uint8_t> bytes = image.Read(offset, length);
    return std::all_of(bytes.begin(), bytes.end(), [&](std::uint8_t b) { return b == value; });
  }
  // Whether a range is as it was before the shred.
  bool Untouched(std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes = image.Read(offset, length);
    return std::equal(bytes.begin(), bytes.end(), before.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  std::uint64_t Sector(std::uint32_t n) { return std::uint64_t{n} * kSectorSize; }

  testing::TestVolumeImage image;
  fs::path file;
  std::vector<std::uint8_t> before;
};

TEST_F(ShredTest, NtfsZerosEveryFreeExtentAndFillsTheRecord) {
  // Twelve extents (two past the ten slots), a sparse one among them, and
  // cluster 402 taken by another file since the deletion.
  std::vector<DataRun> runs{{300, 4}, {0, 5, true}};
  for (std::uint32_t i = 0; i < 10; ++i) runs.push_back({400 + 10 * i, 3});
  LocateNtfsFile(runs, {402});
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report)) << errorCode;
  EXPECT_EQ(errorCode, 0);
  EXPECT_FALSE(fs::exists(file));
  EXPECT_TRUE(report.deleted);
  EXPECT_TRUE(Holds(Sector(300), 4 * kSectorSize, 0));
  EXPECT_TRUE(Holds(Sector(400), 2 * kSectorSize, 0));
  EXPECT_TRUE(Untouched(Sector(402), kSectorSize));
  EXPECT_TRUE(Holds(Sector(490), 3 * kSectorSize, 0));  // the twelfth extent
  EXPECT_TRUE(Holds(Sector(kRecordSector), kFileRecordSize, 0x01));
  EXPECT_EQ(report.clustersZeroed, 4u + 29u);
  EXPECT_EQ(report.clustersTaken, 1u);
  EXPECT_TRUE(report.recordOverwritten);
  // Nothing else on the volume changed.
  std::vector<std::uint8_t> after = image.Read(0, kVolumeBytes);
  for (const OverwrittenRange& range : report.written)
    std::copy_n(before.begin() + static_cast<std::ptrdiff_t>(range.offset), range.length,
                after.begin() + static_cast<std::ptrdiff_t>(range.offset));
  EXPECT_TRUE(after == before);
  std::vector<OverwrittenRange> mismatched;
  ASSERT_TRUE(VerifyOverwrite(image.letter(), report, mismatched, errorCode));
  EXPECT_TRUE(mismatched.empty());
  // A range that no longer holds its fill is found.
  image.Write(Sector(301) + 7, std::vector<std::uint8_t>{1});
  ASSERT_TRUE(VerifyOverwrite(image.letter(), report, mismatched, errorCode));
  EXPECT_EQ(mismatched.size(), 1u);
}

TEST_F(ShredTest, LeavingTheProgramStopsTheRawPassBetweenWrites) {
  LocateNtfsFile({{300, 4}}, {});
  AbortRequested = 1;  // the exit question answered Yes
  std::int32_t errorCode = 0;
  ShredReport report;
  EXPECT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_EQ(errorCode, 0);
  EXPECT_TRUE(report.deleted);
  EXPECT_TRUE(report.interrupted);
  EXPECT_FALSE(report.Complete());
  EXPECT_EQ(report.clustersZeroed, 0u);
  EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
}

TEST_F(ShredTest, NtfsRecordTakenAgainIsLeftAlone) {
  LocateNtfsFile({{300, 2}}, {});
  testing::RecordBuilder reused(1, 1);  // in use: another file's now
  reused.FileName(u"new.txt").End();
  image.Write(Sector(kRecordSector), reused.bytes);
  before = image.Read(0, kVolumeBytes);
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_TRUE(report.recordTaken);
  EXPECT_FALSE(report.recordOverwritten);
  EXPECT_TRUE(Untouched(Sector(kRecordSector), kFileRecordSize));
  EXPECT_TRUE(Holds(Sector(300), 2 * kSectorSize, 0));
  // A record of another sequence is another file's too, in use or not.
  LocateNtfsFile({}, {});
  LocatedFile.sequenceNumber = 2;
  std::ofstream(file, std::ios::binary) << "x";
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_TRUE(report.recordTaken);
  EXPECT_TRUE(Untouched(Sector(kRecordSector), kFileRecordSize));
}

TEST_F(ShredTest, ResidentDataOverwritesOnlyTheRecord) {
  LocateNtfsFile({}, {});
  LocatedFile.record.isResident = 1;
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report));
  ASSERT_EQ(report.written.size(), 1u);
  EXPECT_EQ(report.written[0].offset, Sector(kRecordSector));
  EXPECT_TRUE(Holds(Sector(kRecordSector), kFileRecordSize, 0x01));
  EXPECT_EQ(report.zeroedInPlace, 3000u);
}

TEST_F(ShredTest, TheSizeLimit) {
  LocateNtfsFile({{300, 2}}, {});
  std::int32_t errorCode = 0;
  // One byte over: refused, nothing deleted or written.
  fs::resize_file(file, MaxShredFileSize + 1);
  EXPECT_FALSE(Shred(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kFileTooLargeToShred);
  EXPECT_EQ(fs::file_size(file), MaxShredFileSize + 1);
  EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
  // 4 GiB and more, which a 32-bit length cannot hold, too.
  fs::resize_file(file, 0x100000000ull + 10);
  errorCode = 0;
  EXPECT_FALSE(Shred(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kFileTooLargeToShred);
  // Exactly the limit passes; only the clusters the file has are zeroed in place.
  fs::resize_file(file, MaxShredFileSize);
  errorCode = 0;
  ShredReport report;
  EXPECT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_EQ(report.zeroedInPlace, 2u * kSectorSize);
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(ShredTest, NotLocatedAskedInBothLanguages) {
  testing::RecordingPrompter prompter;
  for (std::uint16_t language : {kLanguageEnglish, kLanguageChinese}) {
    UiLanguage = language;
    // Yes: deleted, nothing written to the volume.
    LocateNtfsFile({{300, 2}}, {});
    std::ofstream(file, std::ios::binary) << "data";
    LocatedFile.dataNotLocated = 1;
    prompter.Answer({kPromptYes});
    std::int32_t errorCode = 0;
    ShredReport report;
    EXPECT_TRUE(Shred(image.letter(), errorCode, &report));
    EXPECT_EQ(errorCode, 0);
    EXPECT_TRUE(report.deletedWithoutOverwrite);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(LocatedFile.dataNotLocated, 0);
    EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
    const testing::ShownBox& box = prompter.shown().back();
    EXPECT_EQ(box.buttons, PromptButtons::YesNo);
    if (language == kLanguageEnglish) {
      EXPECT_EQ(box.text, u"This file can not locate the data area, the file can not be completely shreded! "
                          u"Continue to delete a file, select \"Yes\" to re-select the file, select \"NO\". ");
      EXPECT_EQ(box.caption, u"Prompt");
    } else {
      EXPECT_EQ(box.text, u"此文件数据区定位不到，不能彻底粉碎文件！继续删除文件请选择“是”，重新选择文件请选择“否”。");
      EXPECT_EQ(box.caption, u"提示！");
    }
  }
  // No: nothing deleted, no further box; the caller is told it was declined.
  std::ofstream(file, std::ios::binary) << "data";
  LocatedFile.dataNotLocated = 1;
  prompter.Answer({kPromptNo});
  std::int32_t errorCode = 0;
  ShredReport report;
  std::size_t boxes = prompter.shown().size();
  EXPECT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_EQ(errorCode, 0);
  EXPECT_TRUE(report.declined);
  EXPECT_TRUE(fs::exists(file));
  EXPECT_EQ(prompter.shown().size(), boxes + 1);
}

TEST_F(ShredTest, FailuresAreReportedWithTheSystemText) {
  // The file cannot be deleted (it is not there): 19, nothing written.
  LocateNtfsFile({{300, 2}}, {});
  fs::remove(file);
  std::int32_t errorCode = 0;
  EXPECT_FALSE(Shred(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kShredSystemError);
  EXPECT_TRUE(LastSystemErrorText.Get().starts_with(u"System Error:"));
  EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
  // The record write fails (past the volume's end): the prefix in the
  // language of the page, then the system's text.
  for (std::uint16_t language : {kLanguageEnglish, kLanguageChinese}) {
    UiLanguage = language;
    std::ofstream(file, std::ios::binary) << "data";
    LocatedFile.recordSector = kVolumeSectors + 10;
    LocatedFile.record.isResident = 1;
    errorCode = 0;
    EXPECT_FALSE(Shred(image.letter(), errorCode));
    EXPECT_EQ(errorCode, error_code::kShredSystemError);
    std::u16string expected = language == kLanguageEnglish ? u"This file is not completely removed, in the data area "
                                                           : u"此文件没有彻底删除，在数据区";
    EXPECT_EQ(LastSystemErrorText.Get().substr(0, expected.size()), expected);
    EXPECT_EQ(LastSystemErrorText.Get().substr(expected.size(), 13), u"System Error:");
  }
  // A volume that does not open for writing: refused before the file is touched.
  std::ofstream(file, std::ios::binary) << "data";
  errorCode = 0;
  UiLanguage = kLanguageEnglish;
  EXPECT_FALSE(Shred(testing::kUnmappedDriveLetter, errorCode));
  EXPECT_EQ(errorCode, error_code::kShredSystemError);
  EXPECT_TRUE(LastSystemErrorText.Get().ends_with(VolumeNotWritableRefusal(kLanguageEnglish)));
  EXPECT_EQ(fs::file_size(file), 4u);
}

TEST_F(ShredTest, OnlyTheLocatedFileWithOneNameIsShredded) {
  LocateNtfsFile({{300, 2}}, {});
  std::int32_t errorCode = 0;
  auto refused = [&](std::u16string_view why) {
    errorCode = 0;
    EXPECT_FALSE(ShredLocatedFile(image.letter(), errorCode));
    EXPECT_EQ(errorCode, error_code::kShredSystemError);
    EXPECT_EQ(LastSystemErrorText.Get(), why);
    EXPECT_EQ(fs::file_size(file), 3000u);
    EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
  };
  // Another record, or another size, than the open file's.
  platform::SystemError ignored;
  const platform::FileIdentity identity = *platform::IdentifyFile(file.u16string(), ignored);
  LocatedFile.recordNumber = (identity.fileIndex & 0xFFFFFFFFFFFFull) + 1;
  LocatedFile.record.realSize = 3000;
  refused(NotTheLocatedFileRefusal(kLanguageEnglish));
  LocatedFile.recordNumber = identity.fileIndex & 0xFFFFFFFFFFFFull;
  LocatedFile.record.realSize = 2999;
  refused(NotTheLocatedFileRefusal(kLanguageEnglish));
  // A second name: in the record (NTFS), or as the system counts links (FAT32).
  LocatedFile.record.realSize = 3000;
  LocatedFile.linkNames = 2;
  refused(OtherNamesRefusal(kLanguageEnglish));
  LocatedFile.linkNames = 1;
  const fs::path link = file.string() + ".link";
  fs::create_hard_link(file, link);
  LocatedFile.volume.kind = kFileSystemFat32;
  LocatedFile.fileSize = 3000;
  refused(OtherNamesRefusal(kLanguageEnglish));
  fs::remove(link);
  // No locate of either file system to work from.
  LocatedFile.volume.kind = kFileSystemNone;
  EXPECT_FALSE(ShredLocatedFile(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kUnrecognizedFileSystem);
  EXPECT_EQ(fs::file_size(file), 3000u);
  LocatedFile.volume.kind = kFileSystemNtfs;
  errorCode = 0;
  EXPECT_TRUE(ShredLocatedFile(image.letter(), errorCode));
  EXPECT_FALSE(fs::exists(file));
}

class FatShredTest : public ShredTest {
 protected:
  static constexpr std::uint32_t kFatStart = 32;
  static constexpr std::uint32_t kDataStart = 64;  // cluster 2

  void LocateFatFile(std::vector<std::uint32_t> clusters, std::uint32_t size) {
    StartLocatedFile(kFileSystemFat32);
    LocatedFile.volume.geometry.fatFirstDataSector = kDataStart;
    LocatedFile.volume.fatStart = kFatStart;
    LocatedFile.volume.sectorsPerFat = 16;
    LocatedFile.clusters = std::move(clusters);
    LocatedFile.fileSize = size;
    // Every FAT entry free, as the deletion leaves the file's.
    image.Write(Sector(kFatStart), std::vector<std::uint8_t>(16 * kSectorSize, 0));
  }

  // An entry as the deletion left it, at sector / index, recorded as the file's.
  FatEntryPlace DeletedEntry(std::uint32_t sector, std::uint16_t index) {
    FatEntryPlace place{sector, index, {}};
    std::vector<std::uint8_t> bytes = image.Read(Sector(sector) + index * 32u, 32);
    std::copy(bytes.begin(), bytes.end(), place.bytes.begin());
    place.bytes[0] = 0x41;  // as it was while the file lived
    bytes[0] = 0xE5;
    image.Write(Sector(sector) + index * 32u, bytes);
    return place;
  }
};

TEST_F(FatShredTest, ZerosTheChainAndScrubsEntriesAcrossClusters) {
  // Clusters 10, 11 and 20; cluster 20 is already another file's.
  LocateFatFile({10, 11, 20}, 1400);
  std::array<std::uint8_t, 4> taken{0xFF, 0xFF, 0xFF, 0x0F};
  image.Write(Sector(kFatStart) + 20 * 4, taken);
  // A long-name slot ending one directory cluster, the short entry starting
  // the next; a bystander's entry beside each.
  LocatedFile.entries = {DeletedEntry(80, 15), DeletedEntry(90, 0)};
  before = image.Read(0, kVolumeBytes);
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report)) << errorCode;
  EXPECT_TRUE(Holds(Sector(kDataStart + 8), 2 * kSectorSize, 0));  // clusters 10, 11
  EXPECT_TRUE(Untouched(Sector(kDataStart + 18), kSectorSize));     // cluster 20
  EXPECT_TRUE(Untouched(Sector(kDataStart + 10), kSectorSize));     // cluster 12, between
  EXPECT_EQ(report.clustersZeroed, 2u);
  EXPECT_EQ(report.clustersTaken, 1u);
  EXPECT_EQ(report.entriesScrubbed, 2u);
  for (auto [sector, index] : {std::pair{80u, 15u}, std::pair{90u, 0u}}) {
    std::vector<std::uint8_t> entry = image.Read(Sector(sector) + index * 32, 32);
    std::vector<std::uint8_t> was(before.begin() + static_cast<std::ptrdiff_t>(Sector(sector) + index * 32),
                                  before.begin() + static_cast<std::ptrdiff_t>(Sector(sector) + index * 32 + 32));
    EXPECT_EQ(entry[0], 0xE5);
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(entry[i], 0x01) << i;
    for (int i = 11; i <= 13; ++i) EXPECT_EQ(entry[i], was[i]) << i;
    for (int i = 14; i <= 25; ++i) EXPECT_EQ(entry[i], 0x01) << i;
    for (int i = 26; i <= 27; ++i) EXPECT_EQ(entry[i], was[i]) << i;
    for (int i = 28; i <= 31; ++i) EXPECT_EQ(entry[i], 0x00) << i;
  }
  EXPECT_TRUE(Untouched(Sector(80), 15 * 32));
  EXPECT_TRUE(Untouched(Sector(90) + 32, kSectorSize - 32));
  EXPECT_TRUE(Untouched(Sector(79), kSectorSize));
  std::vector<OverwrittenRange> mismatched;
  ASSERT_TRUE(VerifyOverwrite(image.letter(), report, mismatched, errorCode));
  EXPECT_TRUE(mismatched.empty());
}

// Leaving the program stops the steps with no code: the step ended, and the
// report says it was stopped; nothing after the stop is written.
TEST_F(FatShredTest, LeavingTheProgramStopsTheStepsWithoutACode) {
  LocateFatFile({10}, 100);
  LocatedFile.entries = {DeletedEntry(80, 5)};
  before = image.Read(0, kVolumeBytes);
  AbortRequested = 1;
  std::int32_t errorCode = 0;
  ShredReport report;
  EXPECT_TRUE(ShredFatFile(image.letter(), errorCode, report));
  EXPECT_EQ(errorCode, 0);
  EXPECT_TRUE(report.interrupted);
  EXPECT_EQ(report.entriesScrubbed, 0u);
  EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
}

TEST_F(FatShredTest, EntriesAndClustersTakenAgainAreLeftAlone) {
  LocateFatFile({}, 0);  // an empty file: no data to zero
  LocatedFile.entries = {DeletedEntry(80, 3), DeletedEntry(80, 4)};
  // Entry 3 now belongs to a new file.
  image.Write(Sector(80) + 3 * 32, std::vector<std::uint8_t>{'N', 'E', 'W'});
  before = image.Read(0, kVolumeBytes);
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_EQ(report.entriesScrubbed, 1u);
  EXPECT_EQ(report.entriesTaken, 1u);
  EXPECT_TRUE(Untouched(Sector(80) + 3 * 32, 32));
  EXPECT_FALSE(Untouched(Sector(80) + 4 * 32, 32));
  EXPECT_EQ(report.clustersZeroed, 0u);
  // A cluster in the middle of a stretch that another file took since the
  // deletion: the stretch is written around it.
  LocateFatFile({30, 31, 32}, 1500);
  std::ofstream(file, std::ios::binary) << "x";
  image.Write(Sector(kFatStart) + 31 * 4, std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0x0F});
  before = image.Read(0, kVolumeBytes);
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_TRUE(Holds(Sector(kDataStart + 28), kSectorSize, 0)) << "cluster 30 not zeroed";
  EXPECT_TRUE(Untouched(Sector(kDataStart + 29), kSectorSize)) << "cluster 31 belongs to another file now";
  EXPECT_TRUE(Holds(Sector(kDataStart + 30), kSectorSize, 0)) << "cluster 32 not zeroed";
  EXPECT_EQ(report.clustersTaken, 1u);
  // A chain shorter than the size: the rest is reported, not guessed at.
  LocateFatFile({10}, 5000);
  std::ofstream(file, std::ios::binary) << "x";
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report));
  EXPECT_EQ(report.clustersZeroed, 1u);
  EXPECT_EQ(report.clustersNotLocated, 9u);
}

TEST_F(FatShredTest, AClusterPastTheVolumeIsReportedAndTheRestShredded) {
  // Cluster 2000's FAT entry is there, its sectors lie past the volume's end.
  LocateFatFile({10, 2000, 11}, 1500);
  LocatedFile.entries = {DeletedEntry(80, 2)};
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report)) << errorCode;
  EXPECT_EQ(report.clustersNotLocated, 1u);
  EXPECT_EQ(report.clustersZeroed, 2u);
  EXPECT_TRUE(Holds(Sector(kDataStart + 9), kSectorSize, 0)) << "cluster 11 not zeroed";
  EXPECT_EQ(report.entriesScrubbed, 1u);
  EXPECT_FALSE(report.Complete());
}

TEST_F(FatShredTest, ADeletionThatReachesTheVolumeLateIsWaitedFor) {
  LocateFatFile({}, 0);
  FatEntryPlace place = DeletedEntry(80, 5);
  // The file system has answered that the file is gone but has not written
  // the entry yet: it still holds what the locate read, but for the time of
  // last write the in-place pass gave it.
  image.Write(Sector(80) + 5 * 32, std::vector<std::uint8_t>(place.bytes.begin(), place.bytes.end()));
  image.Write(Sector(80) + 5 * 32 + 0x16, std::vector<std::uint8_t>{0x21, 0x43});
  LocatedFile.entries = {place};
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    image.Write(Sector(80) + 5 * 32, std::vector<std::uint8_t>{0xE5});
  });
  std::int32_t errorCode = 0;
  ShredReport report;
  const bool scrubbed = ScrubFatDirectoryEntries(image.letter(), errorCode, report);
  late.join();
  ASSERT_TRUE(scrubbed) << errorCode;
  EXPECT_EQ(report.entriesTaken, 0u);
  EXPECT_EQ(report.entriesScrubbed, 1u);
  EXPECT_EQ(image.Read(Sector(80) + 5 * 32 + 1, 1)[0], 0x01);
}

TEST_F(FatShredTest, AFileThatCannotBeDeletedIsNotOverwritten) {
  LocateFatFile({10}, 100);
  fs::remove(file);
  before = image.Read(0, kVolumeBytes);
  std::int32_t errorCode = 0;
  EXPECT_FALSE(Shred(image.letter(), errorCode));
  EXPECT_EQ(errorCode, error_code::kShredSystemError);
  EXPECT_TRUE(image.Read(0, kVolumeBytes) == before);
}

class ExfatShredTest : public ShredTest {
 protected:
  static constexpr std::uint32_t kHeapStart = 64;  // cluster 2; the bitmap's one cluster

  // A file of the given clusters; the bitmap shows inUse taken.
  void LocateExfatFile(std::vector<std::uint32_t> clusters, std::uint64_t size,
                       const std::vector<std::uint32_t>& inUse) {
    StartLocatedFile(kFileSystemExfat);
    ExfatFacts& facts = LocatedFile.exfatVolume;
    facts.bytesPerSector = kSectorSize;
    facts.sectorsPerCluster = 1;
    facts.volumeSectors = kVolumeSectors;
    facts.clusterHeapOffset = kHeapStart;
    facts.clusterCount = kVolumeSectors - kHeapStart;
    LocatedFile.exfatBitmapClusters = {2};
    std::vector<std::uint8_t> bitmap(kSectorSize, 0);
    for (std::uint32_t cluster : inUse) bitmap[(cluster - 2) / 8] |= static_cast<std::uint8_t>(1 << ((cluster - 2) % 8));
    image.Write(Sector(kHeapStart), bitmap);
    LocatedFile.clusters = std::move(clusters);
    LocatedFile.exfatStream.dataLength = size;
  }

  // An entry as the deletion left it (its in-use bit cleared), recorded as
  // the locate read it.
  ExfatEntryPlace DeletedEntry(std::uint64_t offset, std::uint8_t type) {
    ExfatEntryPlace place{offset, {}};
    std::vector<std::uint8_t> bytes = image.Read(offset, 32);
    std::copy(bytes.begin(), bytes.end(), place.bytes.begin());
    place.bytes[0] = type;
    bytes[0] = type & 0x7F;
    image.Write(offset, bytes);
    return place;
  }
};

TEST_F(ExfatShredTest, ZerosFreeClustersAndTheSetsNamesAcrossSectors) {
  // Clusters 10, 11, 12 and 20; the bitmap shows 12 taken since.
  LocateExfatFile({10, 11, 12, 20}, 1900, {12});
  // File entry and stream ending one sector, two name entries starting the
  // next; the second now another file's.
  LocatedFile.exfatEntries = {DeletedEntry(Sector(300) + 14 * 32, 0x85), DeletedEntry(Sector(300) + 15 * 32, 0xC0),
                              DeletedEntry(Sector(301), 0xC1), DeletedEntry(Sector(301) + 32, 0xC1)};
  image.Write(Sector(301) + 32, std::vector<std::uint8_t>{0xC1, 0x00, 'N', 0, 'E', 0, 'W', 0});
  before = image.Read(0, kVolumeBytes);
  std::int32_t errorCode = 0;
  ShredReport report;
  ASSERT_TRUE(Shred(image.letter(), errorCode, &report)) << errorCode;
  EXPECT_TRUE(Holds(Sector(kHeapStart + 8), 2 * kSectorSize, 0));  // clusters 10, 11
  EXPECT_TRUE(Untouched(Sector(kHeapStart + 10), kSectorSize));     // cluster 12, taken
  EXPECT_TRUE(Holds(Sector(kHeapStart + 18), kSectorSize, 0));      // cluster 20
  EXPECT_TRUE(Untouched(Sector(kHeapStart + 11), 7 * kSectorSize));  // between
  EXPECT_EQ(report.clustersZeroed, 3u);
  EXPECT_EQ(report.clustersTaken, 1u);
  EXPECT_EQ(report.entriesScrubbed, 2u);
  EXPECT_EQ(report.entriesTaken, 1u);
  EXPECT_TRUE(Untouched(Sector(300), 15 * 32));  // the file entry and what is before it
  // The stream's name length: what the two name entries hold.
  const std::vector<std::uint8_t> stream{0x40, 0, 0, 30};
  EXPECT_EQ(image.Read(Sector(300) + 15 * 32, 4), stream);
  EXPECT_TRUE(Holds(Sector(300) + 15 * 32 + 4, 28, 0));
  EXPECT_EQ(image.Read(Sector(301), 1)[0], 0x41);
  EXPECT_TRUE(Holds(Sector(301) + 1, 31, 0));
  EXPECT_TRUE(Untouched(Sector(301) + 32, kSectorSize - 32));
  std::vector<OverwrittenRange> mismatched;
  ASSERT_TRUE(VerifyOverwrite(image.letter(), report, mismatched, errorCode));
  EXPECT_TRUE(mismatched.empty());
  EXPECT_FALSE(report.Complete());
}

TEST(ScrubFatEntry, ChangesOnlyTheNamesTimesAndSize) {
  std::array<std::uint8_t, 32> entry;
  for (std::size_t i = 0; i < entry.size(); ++i) entry[i] = static_cast<std::uint8_t>(0x80 + i);
  ScrubFatEntry(entry);
  const std::array<std::uint8_t, 32> expected{0xE5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0x8B, 0x8C, 0x8D, 1, 1,
                                              1,    1, 1, 1, 1, 1, 1, 1, 1, 1, 0x9A, 0x9B, 0, 0, 0, 0};
  EXPECT_EQ(entry, expected);
}

}  // namespace
}  // namespace corvanel
