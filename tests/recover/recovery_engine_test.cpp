// The recovery engine over a hand-made volume and hand-made scan results:
// targets, names, space, questions, extents, aborts and failures.
#include "recover/recovery_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/message_catalogue.h"
#include "app/shared_state.h"
#include "platform/file_system.h"
#include "tests/support/recording_prompter.h"
#include "tests/support/test_volume_image.h"
#include "volume/deleted_file_scan.h"

namespace corvanel {
namespace {

namespace fs = std::filesystem;
constexpr std::uint32_t kClusterBytes = 4096;
constexpr std::uint32_t kVolumeSectors = 4096;  // 512 clusters, 2 MiB

std::vector<std::uint8_t> ClusterBytes(std::uint32_t cluster) {
  return testing::PatternBytes(std::uint64_t{cluster} * kClusterBytes, kClusterBytes);
}

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

class Collected final : public RecoveryObserver {
 public:
  void OnFileWritten(const RecoveredFile& file) override { files.push_back(file); }
  std::vector<RecoveredFile> files;
};

class RecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!image.available()) GTEST_SKIP() << "no image behind a drive letter";
    ResetSharedState();
    UiLanguage = kLanguageEnglish;
    image.Resize(std::uint64_t{kVolumeSectors} * kSectorSize);
    image.Write(0, testing::PatternBytes(0, std::uint64_t{kVolumeSectors} * kSectorSize));
    LastScan = ScanResult{};
    LastScan.ScannedVolume.kind = kFileSystemNtfs;
    LastScan.ScannedVolume.geometry.sectorsPerCluster = 8;
    LastScan.ScannedVolume.geometry.totalSectors = kVolumeSectors;
    LastScan.ScannedVolume.volumeSectors = kVolumeSectors;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    destination = fs::temp_directory_path() / (std::string("corvanel-recover-") + test->name());
    fs::remove_all(destination);
    fs::create_directories(destination);
    RecoverDestination = destination.u16string();
    DestinationFileNames.clear();
    view = ListedFilesView();
    root = view.InsertItem(u"X", kImageVolume, kImageVolume, 0, 0);
    records.clear();
    SetListedRecordsForTesting(&records);
  }
  void TearDown() override {
    SetListedRecordsForTesting(nullptr);
    platform::SetAvailableBytesForTesting(std::nullopt);
    ResetSharedState();
    std::error_code ignored;
    fs::remove_all(destination, ignored);
  }

  void AddNonResident(std::u16string name, std::vector<DataRun> runs, std::uint64_t size, bool ticked = true) {
    MftRecord record;
    record.name = std::move(name);
    record.runs = std::move(runs);
    record.realSize = size;
    Add(record, ticked);
  }
  void AddResident(std::u16string name, std::vector<std::uint8_t> data, bool ticked = true) {
    MftRecord record;
    record.name = std::move(name);
    record.isResident = 1;
    record.residentLength = static_cast<std::uint16_t>(data.size());
    record.residentData = std::move(data);
    Add(record, ticked);
  }
  void Add(const MftRecord& record, bool ticked) {
    List(record);
    TreeItem child = view.InsertItem(record.name, kImageFile, kImageFile, root, LastScan.Count());
    view.SetChecked(child, ticked);
  }

  // Listed as the scan lists it; the recovery takes the record from records.
  void List(MftRecord record) {
    record.recordNumber = records.size();
    LastScan.Add(record, LastScan.FolderId(record.path), 0);
    records.push_back(std::move(record));
  }

  bool Recover() {
    errorCode = 0;
    return RecoverCheckedFiles(image.letter(), view, errorCode, &report, &collected);
  }

  testing::TestVolumeImage image;
  testing::RecordingPrompter prompter;
  std::vector<MftRecord> records;
  ListedFilesView view;
  TreeItem root = 0;
  fs::path destination;
  std::int32_t errorCode = 0;
  RecoveryReport report;
  Collected collected;
};

TEST_F(RecoveryTest, ExtentsAreCopiedAndTheLastClusterIsCut) {
  AddNonResident(u"five.bin", {{10, 2}}, 5000);          // 4096 + 904 bytes
  AddNonResident(u"frag.bin", {{20, 1}, {40, 2}, {30, 1}}, 4 * kClusterBytes);
  AddResident(u"small.txt", {'h', 'i', '\n'});
  AddNonResident(u"skipped.bin", {{50, 1}}, 100, false);  // not ticked
  AddNonResident(u"empty.bin", {}, 0);
  ASSERT_TRUE(Recover());
  EXPECT_EQ(errorCode, 0);

  std::vector<std::uint8_t> five = ClusterBytes(10), second = ClusterBytes(11);
  five.insert(five.end(), second.begin(), second.begin() + 904);
  EXPECT_EQ(ReadAll(destination / "five.bin"), five);
  std::vector<std::uint8_t> frag;
  for (std::uint32_t cluster : {20u, 40u, 41u, 30u}) {
    auto bytes = ClusterBytes(cluster);
    frag.insert(frag.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(ReadAll(destination / "frag.bin"), frag);
  EXPECT_EQ(ReadAll(destination / "small.txt"), (std::vector<std::uint8_t>{'h', 'i', '\n'}));
  EXPECT_TRUE(fs::exists(destination / "empty.bin"));
  EXPECT_EQ(fs::file_size(destination / "empty.bin"), 0u);
  EXPECT_FALSE(fs::exists(destination / "skipped.bin"));
  ASSERT_EQ(collected.files.size(), 4u);
  EXPECT_TRUE(std::all_of(collected.files.begin(), collected.files.end(), [](auto& f) { return f.complete; }));
}

TEST_F(RecoveryTest, MegabytesInTwoExtentsComeBackWhole) {
  // Reads go in batches; every batch of each extent must be its own.
  constexpr std::uint64_t kBytes = 8 << 20;
  image.Resize(kBytes);
  image.Write(0, testing::PatternBytes(0, kBytes));
  LastScan.ScannedVolume.geometry.totalSectors = LastScan.ScannedVolume.volumeSectors = kBytes / kSectorSize;
  const std::uint64_t size = 1100 * kClusterBytes - 10;
  AddNonResident(u"mega.bin", {{1500, 400}, {100, 700}}, size);
  ASSERT_TRUE(Recover());
  std::vector<std::uint8_t> expected = testing::PatternBytes(1500ull * kClusterBytes, 400 * kClusterBytes);
  std::vector<std::uint8_t> second = testing::PatternBytes(100ull * kClusterBytes, 700 * kClusterBytes);
  expected.insert(expected.end(), second.begin(), second.end());
  expected.resize(size);
  EXPECT_TRUE(ReadAll(destination / "mega.bin") == expected);
}

TEST_F(RecoveryTest, SparseExtentsAreZerosAndExtentsOffTheVolumeEndTheFile) {
  // A hole in the middle and one at the end: zeros, and the file is whole.
  AddNonResident(u"holey.bin", {{10, 1}, {0, 1, true}, {12, 1}, {0, 2, true}}, 5 * kClusterBytes - 7);
  // An extent that lies past the volume's end: the file stops there, partial.
  AddNonResident(u"off.bin", {{10, 1}, {1ull << 40, 1}, {12, 1}}, 3 * kClusterBytes);
  ASSERT_TRUE(Recover());
  std::vector<std::uint8_t> expected = ClusterBytes(10), zeros(kClusterBytes, 0), twelve = ClusterBytes(12);
  expected.insert(expected.end(), zeros.begin(), zeros.end());
  expected.insert(expected.end(), twelve.begin(), twelve.end());
  expected.resize(5 * kClusterBytes - 7, 0);
  EXPECT_TRUE(ReadAll(destination / "holey.bin") == expected);
  ASSERT_EQ(collected.files.size(), 2u);
  EXPECT_TRUE(collected.files[0].complete);
  EXPECT_EQ(fs::file_size(destination / "off.bin"), kClusterBytes);
  EXPECT_FALSE(collected.files[1].complete);
}

TEST_F(RecoveryTest, PiecesLostWithReusedExtensionRecordsAreNeverWhole) {
  // Even where the pieces left cover the size the record gives.
  MftRecord lost;
  lost.name = u"lost.bin";
  lost.runs = {{10, 1}};
  lost.realSize = kClusterBytes;
  lost.extensionsMissing = true;
  Add(lost, true);
  ASSERT_TRUE(Recover());
  ASSERT_EQ(collected.files.size(), 1u);
  EXPECT_FALSE(collected.files[0].complete);
}

TEST_F(RecoveryTest, NamesQuestionMarksAndTheInvalidNameRename) {
  AddResident(u"ab?c?.txt", {'q'});
  AddNonResident(u"a|b.txt", {{10, 1}}, 1234);
  AddNonResident(u"no:dot", {{11, 1}}, 99);
  AddNonResident(u"..\\escape.txt", {{12, 1}}, 10);
  ASSERT_TRUE(Recover());
  EXPECT_TRUE(fs::exists(destination / "abRecovercRecover.txt"));
  EXPECT_EQ(fs::file_size(destination / "Recover_1234.txt"), 1234u);
  EXPECT_EQ(fs::file_size(destination / "Recover_99"), 99u);
  EXPECT_EQ(fs::file_size(destination / "Recover_10.txt"), 10u);
  EXPECT_FALSE(fs::exists(destination.parent_path() / "escape.txt"));
  // One notice per renamed file, in an OK box.
  ASSERT_EQ(prompter.shown().size(), 3u);
  EXPECT_EQ(prompter.shown()[0].buttons, PromptButtons::Ok);
  EXPECT_TRUE(prompter.shown()[0].text.starts_with(u"File \"a|b.txt\"System error:"));
  EXPECT_TRUE(prompter.shown()[0].text.ends_with(u"File name of this file is modified: Recover_1234.txt"));
  EXPECT_EQ(prompter.shown()[0].caption, u"Prompt");
}

TEST_F(RecoveryTest, SameNameQuestions) {
  // A longer file of the same name is replaced whole after Yes.
  std::ofstream(destination / "report.doc", std::ios::binary) << std::string(10000, 'z');
  std::ofstream(destination / "kept.txt", std::ios::binary) << "kept";
  DestinationFileNames = {u"report.doc", u"kept.txt", u"third.txt"};
  AddNonResident(u"report.doc", {{10, 2}}, 5000);
  AddResident(u"kept.txt", {'k'});   // no answer at all: skipped, the run goes on
  AddResident(u"report.doc", {'r'}); // this run's own report.doc is never replaced
  AddResident(u"third.txt", {'t'});  // No: the run ends here
  AddResident(u"fourth.txt", {'f'});
  prompter.Answer({kPromptYes, 0, kPromptNo});
  EXPECT_TRUE(Recover());
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(report.end, RecoveryReport::End::Declined);
  EXPECT_EQ(fs::file_size(destination / "report.doc"), 5000u);
  EXPECT_EQ(ReadAll(destination / "report (2).doc"), (std::vector<std::uint8_t>{'r'}));
  EXPECT_EQ(ReadAll(destination / "kept.txt"), (std::vector<std::uint8_t>{'k', 'e', 'p', 't'}));
  EXPECT_FALSE(fs::exists(destination / "third.txt"));
  EXPECT_FALSE(fs::exists(destination / "fourth.txt"));  // the run ended at No
  ASSERT_EQ(prompter.shown().size(), 3u);
  EXPECT_EQ(prompter.shown()[0].text,
            u"File \"report.doc\" and the target path of a file of the same name, to restore this file overwrites "
            u"the original file! Continue Recovery click\" Yes \", click again to select\" no. \" ");
  EXPECT_EQ(prompter.shown()[0].buttons, PromptButtons::YesNo);
  EXPECT_TRUE(prompter.shown()[1].text.starts_with(u"File \"kept.txt\""));
  EXPECT_TRUE(prompter.shown()[2].text.starts_with(u"File \"third.txt\""));
  ASSERT_EQ(collected.files.size(), 3u);
  EXPECT_EQ(collected.files[1].skipped, SkipReason::NameTaken);
  EXPECT_EQ(collected.files[2].takenName, u"report.doc");
  EXPECT_EQ(collected.files[2].path, (destination / "report (2).doc").u16string());
  UiLanguage = kLanguageChinese;
  EXPECT_EQ(SameNameQuestion(u"a.txt"),
            u"文件“a.txt”与目标路径下某文件同名，恢复此文件会覆盖原文件！继续恢复点击“是”，重新选择点击“否”。");
}

TEST_F(RecoveryTest, FilesOfThisRunNamedAlikeGetNumbersNotEachOthersPlace) {
  // "twin (2).txt" was there before: the numbers pass it by.
  std::ofstream(destination / "twin (2).txt", std::ios::binary) << "old";
  DestinationFileNames = {u"twin (2).txt"};
  AddResident(u"twin.txt", {'1'});
  AddResident(u"twin.txt", {'2'});
  AddResident(u"twin.txt", {'3'});
  AddResident(u".profile", {'p'});
  AddResident(u".profile", {'q'});
  AddNonResident(u"a|b.bin", {{10, 1}}, 77);  // both renamed to Recover_77.bin
  AddNonResident(u"c|d.bin", {{11, 1}}, 77);
  // A file that came after the folder was read is no file to replace either.
  std::ofstream(destination / "late.txt", std::ios::binary) << "late";
  AddResident(u"late.txt", {'l'});
  ASSERT_TRUE(Recover());
  EXPECT_EQ(ReadAll(destination / "late.txt"), (std::vector<std::uint8_t>{'l', 'a', 't', 'e'}));
  EXPECT_EQ(ReadAll(destination / "late (2).txt"), (std::vector<std::uint8_t>{'l'}));
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(ReadAll(destination / "twin.txt"), (std::vector<std::uint8_t>{'1'}));
  EXPECT_EQ(ReadAll(destination / "twin (2).txt"), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
  EXPECT_EQ(ReadAll(destination / "twin (3).txt"), (std::vector<std::uint8_t>{'2'}));
  EXPECT_EQ(ReadAll(destination / "twin (4).txt"), (std::vector<std::uint8_t>{'3'}));
  EXPECT_EQ(ReadAll(destination / ".profile (2)"), (std::vector<std::uint8_t>{'q'}));
  std::vector<std::uint8_t> ten = ClusterBytes(10), eleven = ClusterBytes(11);
  ten.resize(77);
  eleven.resize(77);
  EXPECT_EQ(ReadAll(destination / "Recover_77.bin"), ten);
  EXPECT_EQ(ReadAll(destination / "Recover_77 (2).bin"), eleven);
  // Only the two rename notices: no question for a clash within the run.
  EXPECT_EQ(prompter.shown().size(), 2u);
  ASSERT_EQ(collected.files.size(), 8u);
  EXPECT_EQ(collected.files[1].takenName, u"twin.txt");
  EXPECT_EQ(collected.files[6].takenName, u"Recover_77.bin");
  EXPECT_TRUE(collected.files[6].renamed);
}

TEST_F(RecoveryTest, NamesFoldCaseOnlyWhereTheDestinationDoes) {
  // A folder of this system's temporary space (case kept apart on Linux):
  // the probe must find out, and leave nothing behind.
  const bool folds = platform::NamesFoldCase((destination / "x").u16string());
  EXPECT_EQ(folds, platform::IsPathSeparator(u'\\'));
  EXPECT_TRUE(fs::is_empty(destination));
  AddResident(u"A.txt", {'A'});
  AddResident(u"a.txt", {'a'});
  ASSERT_TRUE(Recover());
  EXPECT_EQ(fs::exists(destination / "a (2).txt"), folds);
  EXPECT_EQ(collected.files[1].takenName.empty(), !folds);
  // A name only listed, not there (as when the folder changed since): asked only where case folds.
  DestinationFileNames = {u"NOTES.TXT"};
  AddResident(u"notes.txt", {'n'});
  collected.files.clear();
  Recover();
  EXPECT_EQ(prompter.shown().size(), folds ? 1u : 0u);
}

TEST_F(RecoveryTest, BytesPastTheInitializedSizeAreZeros) {
  MftRecord record;
  record.name = u"grown.bin";
  record.runs = {{10, 3}};
  record.realSize = 3 * kClusterBytes - 100;
  record.initializedSize = 5000;
  Add(record, true);
  record.name = u"cut.bin";  // extents that end before the initialized size: partial, not padded
  record.runs = {{10, 1}};
  Add(record, true);
  ASSERT_TRUE(Recover());
  std::vector<std::uint8_t> expected = ClusterBytes(10), second = ClusterBytes(11);
  expected.insert(expected.end(), second.begin(), second.begin() + (5000 - kClusterBytes));
  expected.resize(3 * kClusterBytes - 100, 0);
  EXPECT_TRUE(ReadAll(destination / "grown.bin") == expected);
  EXPECT_EQ(ReadAll(destination / "cut.bin"), ClusterBytes(10));
  ASSERT_EQ(collected.files.size(), 2u);
  EXPECT_TRUE(collected.files[0].complete);
  EXPECT_FALSE(collected.files[1].complete);
}

TEST_F(RecoveryTest, SpaceIsCheckedForEachFileOnItsOwn) {
  AddNonResident(u"first.bin", {{10, 10}}, 10 * kClusterBytes);
  AddNonResident(u"second.bin", {{30, 7}}, 7 * kClusterBytes);
  platform::SetAvailableBytesForTesting(12 * kClusterBytes);
  ASSERT_TRUE(Recover());
  EXPECT_EQ(errorCode, 0);
  EXPECT_TRUE(fs::exists(destination / "second.bin"));

  fs::remove_all(destination);
  fs::create_directories(destination);
  platform::SetAvailableBytesForTesting(10 * kClusterBytes);  // needed >= available: skipped, the run goes on
  collected.files.clear();
  EXPECT_FALSE(Recover());
  EXPECT_EQ(errorCode, error_code::kRecoverDiskFull);
  EXPECT_EQ(report.end, RecoveryReport::End::Walked);
  EXPECT_FALSE(fs::exists(destination / "first.bin"));
  EXPECT_TRUE(fs::exists(destination / "second.bin"));
  ASSERT_EQ(collected.files.size(), 2u);
  EXPECT_EQ(collected.files[0].skipped, SkipReason::NoSpace);
  EXPECT_EQ(collected.files[1].skipped, SkipReason::None);
}

TEST_F(RecoveryTest, AFolderWhereAFileGoesSkipsThatFileOnly) {
  fs::create_directories(destination / "dir.txt");
  AddResident(u"dir.txt", {'d'});
  AddNonResident(u"dir.txt", {{10, 1}}, 10);
  AddResident(u"after.txt", {'a'});
  EXPECT_FALSE(Recover());
  EXPECT_TRUE(prompter.shown().empty());  // a folder is no file to replace
  EXPECT_EQ(errorCode, error_code::kScanSystemError);
  EXPECT_TRUE(LastSystemErrorText.Get().starts_with(u"file\"dir.txt \" System error:"));
  EXPECT_TRUE(fs::is_directory(destination / "dir.txt"));
  EXPECT_TRUE(fs::exists(destination / "after.txt"));
  ASSERT_EQ(collected.files.size(), 3u);
  EXPECT_EQ(collected.files[0].skipped, SkipReason::NotWritten);
  EXPECT_FALSE(collected.files[0].systemText.empty());
  EXPECT_EQ(collected.files[1].skipped, SkipReason::NotWritten);
  EXPECT_EQ(collected.files[2].skipped, SkipReason::None);
  std::vector<std::u16string> left;
  for (const auto& entry : fs::directory_iterator(destination)) left.push_back(entry.path().filename().u16string());
  EXPECT_EQ(left.size(), 2u);  // no scratch file stays
}

TEST_F(RecoveryTest, RootAndFolderDestinations) {
  // A destination ending in its separator (a drive root, "D:\\") takes the name
  // directly; a folder gets a separator first.
  RecoverDestination = destination.u16string() + (platform::IsPathSeparator(u'\\') ? u"\\" : u"/");
  AddResident(u"root.txt", {'r'});
  ASSERT_TRUE(Recover());
  EXPECT_TRUE(fs::exists(destination / "root.txt"));
  // A destination whose free space cannot be learnt has none to offer.
  RecoverDestination = (destination / "missing" / "deeper").u16string();
  EXPECT_FALSE(Recover());
  EXPECT_EQ(errorCode, error_code::kRecoverDiskFull);
}

TEST_F(RecoveryTest, AbortReadFailureAndNothingToDo) {
  AddNonResident(u"big.bin", {{10, 300}}, 300 * kClusterBytes);
  AbortRequested = 1;
  EXPECT_TRUE(Recover());
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(report.end, RecoveryReport::End::Interrupted);
  EXPECT_FALSE(fs::exists(destination / "big.bin"));  // the partial file is gone
  AbortRequested = 0;

  // Sectors that cannot be read (past the end of a cut image): zeros where
  // readable data follows, cut from the end; the file is partial, a file with
  // nothing readable is not made, the run goes on and code 4 stays.
  const BootSectorFacts scanned = LastScan.ScannedVolume;
  LastScan = ScanResult{};
  LastScan.ScannedVolume = scanned;
  records.clear();
  view = ListedFilesView();
  root = view.InsertItem(u"X", kImageVolume, kImageVolume, 0, 0);
  AddNonResident(u"cut.bin", {{500, 2}}, 2 * kClusterBytes);
  AddNonResident(u"gap.bin", {{505, 1}, {100, 1}}, 2 * kClusterBytes);
  AddNonResident(u"none.bin", {{506, 1}}, kClusterBytes);
  AddResident(u"after.txt", {'a'});
  image.Resize(501 * kClusterBytes);
  EXPECT_FALSE(Recover());
  EXPECT_EQ(errorCode, error_code::kSectorReadFailed);
  EXPECT_EQ(ReadAll(destination / "cut.bin"), ClusterBytes(500));
  std::vector<std::uint8_t> gap(kClusterBytes, 0), hundred = ClusterBytes(100);
  gap.insert(gap.end(), hundred.begin(), hundred.end());
  EXPECT_EQ(ReadAll(destination / "gap.bin"), gap);
  EXPECT_FALSE(fs::exists(destination / "none.bin"));
  EXPECT_TRUE(fs::exists(destination / "after.txt"));
  ASSERT_EQ(collected.files.size(), 4u);
  EXPECT_EQ(collected.files[0].unreadableBytes, kClusterBytes);
  EXPECT_FALSE(collected.files[1].complete);
  EXPECT_EQ(collected.files[2].skipped, SkipReason::NothingRead);
  EXPECT_TRUE(collected.files[3].complete);

  ListedFilesView emptyView;
  emptyView.InsertItem(u"X", kImageVolume, kImageVolume, 0, 0);
  errorCode = 0;
  EXPECT_TRUE(RecoverCheckedFiles(image.letter(), emptyView, errorCode, &report));
  EXPECT_EQ(errorCode, 0);
  EXPECT_EQ(report.end, RecoveryReport::End::NothingListed);
}

TEST_F(RecoveryTest, Fat32FilesAreContiguousClusters) {
  LastScan.ScannedVolume.kind = kFileSystemFat32;
  LastScan.Add(FatDeletedEntry{u"two.bin", 0, 0, 1, 80, 2 * kClusterBytes, 0, u""});
  LastScan.Add(FatDeletedEntry{u"none.bin", 0, 0, 1, 88, 0, 0, u""});
  view.SetChecked(view.InsertItem(u"two.bin", 0, 0, root, 1), true);
  view.SetChecked(view.InsertItem(u"none.bin", 0, 0, root, 2), true);
  ASSERT_TRUE(Recover());
  std::vector<std::uint8_t> expected = testing::PatternBytes(80 * kSectorSize, 2 * kClusterBytes);
  EXPECT_EQ(ReadAll(destination / "two.bin"), expected);
  EXPECT_EQ(fs::file_size(destination / "none.bin"), 0u);
}

TEST_F(RecoveryTest, TickedItemsAreTakenByTheirKeysInTheTreesOrder) {
  // The tree may hold the files in another order than the scan found them.
  for (const char16_t* name : {u"a.txt", u"b.txt", u"c.txt"}) {
    MftRecord record;
    record.name = name;
    record.isResident = 1;
    record.residentLength = 1;
    record.residentData = {static_cast<std::uint8_t>(name[0])};
    List(record);
  }
  view.SetChecked(view.InsertItem(u"c.txt", kImageFile, kImageFile, root, ItemDataForKey(2)), true);
  view.SetChecked(view.InsertItem(u"b.txt", kImageFile, kImageFile, root, ItemDataForKey(1)), false);
  view.SetChecked(view.InsertItem(u"a.txt", kImageFile, kImageFile, root, ItemDataForKey(0)), true);
  view.SetChecked(view.InsertItem(u"gone", kImageFile, kImageFile, root, ItemDataForKey(7)), true);
  ASSERT_TRUE(Recover());
  ASSERT_EQ(collected.files.size(), 2u);
  EXPECT_EQ(collected.files[0].entryKey, 2);
  EXPECT_EQ(collected.files[1].entryKey, 0);
  EXPECT_EQ(ReadAll(destination / "a.txt"), std::vector<std::uint8_t>{'a'});
  EXPECT_EQ(ReadAll(destination / "c.txt"), std::vector<std::uint8_t>{'c'});
  EXPECT_FALSE(fs::exists(destination / "b.txt"));
}

TEST(RecoveryTexts, BothLanguages) {
  UiLanguage = kLanguageEnglish;
  EXPECT_EQ(CannotRecoverText(u"a.txt", u"Access denied.\r\n"),
            u"file\"a.txt \" System error:Access denied.\r\n This file can not be recovered!");
  UiLanguage = kLanguageChinese;
  EXPECT_EQ(CannotRecoverText(u"a.txt", u"拒绝访问。\r\n"), u"文件“a.txt”发生系统错误：拒绝访问。\r\n不能恢复此文件！");
  EXPECT_EQ(RenamedNotice(u"a|b.txt", u"X", 1234, u".txt"), u"文件“a|b.txt”发生系统错误：X此文件的文件名修改为Recover_1234.txt");
  UiLanguage = 0;  // neither language: Chinese, as the window would show
  EXPECT_TRUE(SameNameQuestion(u"a").starts_with(u"文件“a”"));
}

}  // namespace
}  // namespace corvanel
