// The recover page driven through the real window under Wine, as a user
// would: the drive tree, the deleted files' check boxes, the system's folder
// browser and message boxes. window_recover_test.py puts volumes behind
// Wine's X: and Y: and checks what the page wrote against corvanel-cli.
#include <gtest/gtest.h>

#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/corvanel_dlg.h"
#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/shared_state.h"
#include "app/message_box_prompter.h"
#include "recover/recover_page.h"
#include "recover/recovery_engine.h"
#include "res/resource.h"
#include "tests/app/window_driver.h"
#include "volume/deleted_file_scan.h"

namespace corvanel {
namespace {

using namespace std::chrono_literals;
using namespace corvanel::testing;
namespace fs = std::filesystem;

std::wstring Wide(const std::optional<std::u16string>& text) {
  return text ? std::wstring(text->begin(), text->end()) : L"(no such entry)";
}
std::wstring UserText(std::int32_t number) { return Wide(UserPromptText(number, UiLanguage)); }
std::wstring ErrorText(std::int32_t code) { return Wide(ErrorPromptText(code, UiLanguage)); }

std::vector<HTREEITEM> Children(HWND tree, HTREEITEM parent) {
  std::vector<HTREEITEM> items;
  for (HTREEITEM item = TreeView_GetChild(tree, parent); item; item = TreeView_GetNextSibling(tree, item))
    items.push_back(item);
  return items;
}

std::vector<HTREEITEM> TopItems(HWND tree) {
  std::vector<HTREEITEM> items;
  for (HTREEITEM item = TreeView_GetRoot(tree); item; item = TreeView_GetNextSibling(tree, item)) items.push_back(item);
  return items;
}

// The drive item of a root string ("X:\"), or the top-level item for "".
HTREEITEM DriveItem(HWND page, const std::wstring& root) {
  HWND tree = ::GetDlgItem(page, IDC_DRIVE_TREE);
  HTREEITEM computer = TreeView_GetRoot(tree);
  if (root.empty()) return computer;
  for (HTREEITEM item : Children(tree, computer))
    if (TreeItemText(tree, item) == root) return item;
  return nullptr;
}

HTREEITEM SelectedDrive(HWND page) { return TreeView_GetSelection(::GetDlgItem(page, IDC_DRIVE_TREE)); }

// A selection with no box to answer: handled before this returns.
void SelectDrive(HWND page, const std::wstring& root) {
  ::SendMessageW(::GetDlgItem(page, IDC_DRIVE_TREE), TVM_SELECTITEM, TVGN_CARET,
                 reinterpret_cast<LPARAM>(DriveItem(page, root)));
}
// One that opens a box.
void PostSelectDrive(HWND page, const std::wstring& root) {
  ::PostMessageW(::GetDlgItem(page, IDC_DRIVE_TREE), TVM_SELECTITEM, TVGN_CARET,
                 reinterpret_cast<LPARAM>(DriveItem(page, root)));
}

void AwaitIdle() {
  for (int i = 0; i < 6000 && CurrentOperation != kOperationIdle; ++i) std::this_thread::sleep_for(10ms);
}

// The worker waiting at the closed gate (false when it never came).
bool AwaitWorkerAtGate() {
  for (int i = 0; i < 3000 && WorkerGate.waiting() != 1; ++i) std::this_thread::sleep_for(10ms);
  return WorkerGate.waiting() == 1;
}

bool AnimationShown(HWND page) { return ::IsWindowVisible(::GetDlgItem(page, IDC_RECOVER_ANIMATION)) != 0; }

HWND DeletedTree(HWND page) { return ::GetDlgItem(page, IDC_DELETED_TREE); }

std::vector<std::wstring> FileNames(HWND page) {
  HWND tree = DeletedTree(page);
  std::vector<std::wstring> names;
  for (HTREEITEM item : Children(tree, TreeView_GetRoot(tree))) names.push_back(TreeItemText(tree, item));
  return names;
}

// The ticked files, as the page holds them (the boxes are drawn from them).
int TickedFiles(CRecoverFileDlg& page) {
  std::size_t ticked = 0;
  page.RunOnDialogThread([&] { ticked = page.TickedFileCount(); });
  return static_cast<int>(ticked);
}

// Their count once it is expected (or after a few seconds).
int AwaitTickedFiles(CRecoverFileDlg& page, int expected) {
  int ticked = TickedFiles(page);
  for (int i = 0; i < 100 && ticked != expected; ++i) {
    std::this_thread::sleep_for(50ms);
    ticked = TickedFiles(page);
  }
  return ticked;
}

// Posts a mouse click on an item's check box (the page hit-tests the cursor).
void PostClickOnCheckBox(HWND tree, HTREEITEM item) {
  TreeView_EnsureVisible(tree, item);
  RECT label{};
  std::memcpy(&label, &item, sizeof item);  // TVM_GETITEMRECT takes the item in the rectangle
  ::SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&label));
  TVHITTESTINFO hit{};
  hit.pt.y = (label.top + label.bottom) / 2;
  for (hit.pt.x = label.left; hit.pt.x > 0; --hit.pt.x) {
    TreeView_HitTest(tree, &hit);
    if (hit.hItem == item && (hit.flags & TVHT_ONITEMSTATEICON)) break;
  }
  POINT screen = hit.pt;
  ::ClientToScreen(tree, &screen);
  ::SetCursorPos(screen.x, screen.y);
  const LPARAM at = MAKELPARAM(hit.pt.x, hit.pt.y);
  ::PostMessageW(tree, WM_LBUTTONDOWN, MK_LBUTTON, at);
  ::PostMessageW(tree, WM_LBUTTONUP, 0, at);
}

// Clicks an item's check box and waits for the box to change.
void ClickCheckBox(HWND tree, HTREEITEM item) {
  const UINT before = TreeView_GetCheckState(tree, item);
  PostClickOnCheckBox(tree, item);
  for (int i = 0; i < 500 && TreeView_GetCheckState(tree, item) == before; ++i) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(50ms);
}

void ClickRootCheckBox(HWND page) {
  HWND tree = DeletedTree(page);
  ClickCheckBox(tree, TreeView_GetRoot(tree));
}

// Text of a static control of a dialog, by its text.
bool HasStaticText(HWND dialog, const std::wstring& text) {
  for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t buffer[256] = {};
    ::GetWindowTextW(child, buffer, 256);
    if (text == buffer) return true;
  }
  return false;
}

// Chooses a folder through the page's button and the system's folder
// browser, as a click on the folder and OK would; an empty path cancels.
void ChooseFolderThroughBrowser(HWND page, const std::wstring& folder) {
  Press(page, IDC_RECOVER_CHOOSE_FOLDER);
  HWND browser = AwaitOwnedDialog();
  ASSERT_NE(browser, nullptr);
  EXPECT_TRUE(HasStaticText(browser, L"请选择路径: "));
  if (folder.empty()) {
    AnswerBox(browser, IDCANCEL);
    return;
  }
  ::SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(folder.c_str()));
  std::this_thread::sleep_for(100ms);
  AnswerBox(browser, IDOK);
}

// Presses the recover button and answers the box the attempt ends with.
std::wstring RecoverAndAnswer(HWND page) {
  Press(page, IDC_RECOVER_START);
  std::wstring text = AnswerNextBox(IDOK);
  AwaitIdle();
  return text;
}

void WriteNames(const std::vector<std::wstring>& names, const char* path) {
  std::ofstream out(path, std::ios::binary);
  for (const std::wstring& name : names) {
    std::string utf8(static_cast<std::size_t>(name.size()) * 4 + 1, '\0');
    int length = ::WideCharToMultiByte(CP_UTF8, 0, name.c_str(), static_cast<int>(name.size()), utf8.data(),
                                       static_cast<int>(utf8.size()), nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(length));
    out << utf8 << '\n';
  }
}

class RecoverPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetSharedState();
    InstallPrompter(&boxes_);
  }
  void TearDown() override {
    InstallPrompter(nullptr);
    ResetSharedState();
  }

  MessageBoxPrompter boxes_;
};

fs::path FromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value ? fs::path(value) : fs::path();
}

// X: holds a volume with deleted files and X:\inside\ is a folder on it; Y:
// is neither NTFS nor FAT32; CORVANEL_RECOVER_OUT is a folder on another
// drive. The tree's names go to CORVANEL_RECOVER_NAMES and the files to
// CORVANEL_RECOVER_OUT\window for the script to check.
TEST_F(RecoverPageTest, ScansRecoversAndRefusesAsTheUserGoes) {
  const fs::path out = FromEnvironment("CORVANEL_RECOVER_OUT");
  if (out.empty()) GTEST_SKIP() << "no volume on X: (run by window_recover_test.py)";
  const fs::path target = out / L"window";
  const std::wstring inside = L"X:\\inside";
  fs::create_directories(target);
  CCorvanelDlg dialog;
  INT_PTR result = RunMainWindow(dialog, [&](CCorvanelDlg& window) {
    if (const char* language = std::getenv("CORVANEL_RECOVER_LANGUAGE")) {
      EXPECT_EQ(LanguageName(), language);
    }
    Click(window.hwnd(), IDC_SHOW_RECOVER_PAGE);
    HWND page = window.recoverPage().hwnd();
    HWND tree = DeletedTree(page);
    HWND drives = ::GetDlgItem(page, IDC_DRIVE_TREE);
    EXPECT_EQ(TreeItemText(drives, TreeView_GetRoot(drives)), UiLanguage == kLanguageEnglish ? L"Computer" : L"计算机");
    ASSERT_NE(DriveItem(page, L"X:\\"), nullptr);
    ASSERT_NE(DriveItem(page, L"Y:\\"), nullptr);
    SaveScreenshot(window.hwnd(), "recover-idle");

    // Before any scan: prompt 1; "Computer" never scans; a folder on X: is
    // accepted while X: is not scanned.
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kSelectDisk));
    SelectDrive(page, L"");
    EXPECT_EQ(CurrentOperation, kOperationIdle);
    EXPECT_EQ(TreeView_GetCount(tree), 0u);
    ChooseFolderThroughBrowser(page, inside);
    EXPECT_EQ(ControlText(page, IDC_RECOVER_DESTINATION), inside);

    SelectDrive(page, L"X:\\");
    AwaitIdle();
    EXPECT_EQ(scanSucceeded, 1);
    const std::vector<std::wstring> names = FileNames(page);
    ASSERT_FALSE(names.empty());
    // Items go in with the tree's layout held; the scan's end lays out the last ones.
    RECT lastPlace{};
    EXPECT_TRUE(TreeView_GetItemRect(tree, Children(tree, TreeView_GetRoot(tree)).back(), &lastPlace, FALSE));
    WriteNames(names, std::getenv("CORVANEL_RECOVER_NAMES"));
    SaveScreenshot(window.hwnd(), "recover-scanned");

    // No click in the tree yet: prompt 2. Ticking the root ticks every file.
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kSelectFileToRecover));
    ClickRootCheckBox(page);
    const int all = static_cast<int>(names.size());
    EXPECT_EQ(AwaitTickedFiles(window.recoverPage(), all), all);
    SaveScreenshot(window.hwnd(), "recover-ticked");
    // One file unticked again: the recovery leaves it out (the script checks).
    const std::vector<HTREEITEM> files = Children(tree, TreeView_GetRoot(tree));
    PostClickOnCheckBox(tree, files[1]);
    EXPECT_EQ(AwaitTickedFiles(window.recoverPage(), all - 1), all - 1);
    EXPECT_EQ(TreeView_GetCheckState(tree, files[1]), 0u);
    SaveScreenshot(window.hwnd(), "recover-one-unticked");
    WriteNames({names[1]}, std::getenv("CORVANEL_RECOVER_UNTICKED"));

    // The folder chosen before the scan lies on the scanned drive: refused
    // when the recovery starts, and now at the choice too.
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kTargetOnScannedDisk));
    EXPECT_TRUE(fs::is_empty(inside));
    ChooseFolderThroughBrowser(page, inside);
    EXPECT_EQ(AnswerNextBox(IDOK), UserText(prompt::kTargetOnScannedDisk));
    EXPECT_EQ(destinationChosen, 0);
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kChooseTargetFolder));
    ChooseFolderThroughBrowser(page, target.wstring());
    ChooseFolderThroughBrowser(page, L"");  // Cancel: no folder
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kChooseTargetFolder));
    ChooseFolderThroughBrowser(page, target.wstring());
    EXPECT_EQ(ControlText(page, IDC_RECOVER_DESTINATION), target.wstring());

    // The recovery held at its gate: busy; a drive chosen now gives prompt
    // 19 and the selection goes back to X:.
    WorkerGate.Close();
    Press(page, IDC_RECOVER_START);
    ASSERT_TRUE(AwaitWorkerAtGate());
    EXPECT_TRUE(AnimationShown(page));
    SaveScreenshot(window.hwnd(), "recover-busy");
    PostSelectDrive(page, L"Y:\\");
    EXPECT_EQ(AnswerNextBox(IDOK), UserText(prompt::kBusyRecoverPage));
    EXPECT_EQ(SelectedDrive(page), DriveItem(page, L"X:\\"));
    EXPECT_EQ(CurrentOperation, kOperationRecover);
    WorkerGate.Open();
    HWND done = AwaitOwnedDialog();
    SaveScreenshot(window.hwnd(), "recover-done");
    EXPECT_EQ(BoxText(done), UserText(prompt::kRecoverDone));
    AnswerBox(done, IDOK);
    AwaitIdle();
    EXPECT_FALSE(AnimationShown(page));
    EXPECT_EQ(ControlText(page, IDC_RECOVER_DESTINATION), L"");
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kChooseTargetFolder));

    // Nothing ticked: prompt 2 even with a folder.
    ClickRootCheckBox(page);
    EXPECT_EQ(AwaitTickedFiles(window.recoverPage(), 0), 0);
    ChooseFolderThroughBrowser(page, (out / L"unused").wstring());
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kSelectFileToRecover));
    EXPECT_TRUE(fs::is_empty(out / L"unused"));

    // Another drive while X: is scanned again: Yes lets the scan go on, with
    // the selection back on X:. (Held at its first record, it has listed nothing.)
    WorkerGate.Close();
    SelectDrive(page, L"");
    SelectDrive(page, L"X:\\");
    ASSERT_TRUE(AwaitWorkerAtGate());
    EXPECT_EQ(TreeView_GetCount(tree), 0u);
    PostSelectDrive(page, L"Y:\\");
    HWND question = AwaitOwnedDialog();
    EXPECT_EQ(BoxText(question), UserText(prompt::kScanInProgress));
    WorkerGate.Open();  // the question's own hold remains
    AnswerBox(question, IDYES);
    EXPECT_EQ(SelectedDrive(page), DriveItem(page, L"X:\\"));
    AwaitIdle();
    EXPECT_EQ(FileNames(page), names);
    EXPECT_EQ(scanSucceeded, 1);

    // No: the scan of X: stops, the tree is emptied and Y: is scanned, which
    // fails with the scan's own error and leaves the page usable.
    WorkerGate.Close();
    SelectDrive(page, L"");
    SelectDrive(page, L"X:\\");
    ASSERT_TRUE(AwaitWorkerAtGate());
    PostSelectDrive(page, L"Y:\\");
    question = AwaitOwnedDialog();
    EXPECT_EQ(BoxText(question), UserText(prompt::kScanInProgress));
    WorkerGate.Open();
    AnswerBox(question, IDNO);
    EXPECT_EQ(AnswerNextBox(IDOK), ErrorText(error_code::kUnrecognizedFileSystem));
    AwaitIdle();
    // The old scan ended where it was held, before its first file.
    EXPECT_EQ(LastScan.Count(), 0u);
    EXPECT_EQ(SelectedDrive(page), DriveItem(page, L"Y:\\"));
    std::vector<std::wstring> left;
    for (HTREEITEM item : TopItems(tree)) left.push_back(TreeItemText(tree, item));
    EXPECT_EQ(left, std::vector<std::wstring>{L"Y"});
    EXPECT_TRUE(FileNames(page).empty());
    EXPECT_EQ(scanSucceeded, 0);
    EXPECT_EQ(RecoverAndAnswer(page), UserText(prompt::kSelectDisk));
    SelectDrive(page, L"X:\\");
    AwaitIdle();
    EXPECT_EQ(FileNames(page), names);

    // Leaving during a scan: the question holds it at its gate, Yes ends it.
    WorkerGate.Close();
    SelectDrive(page, L"");
    SelectDrive(page, L"X:\\");
    ASSERT_TRUE(AwaitWorkerAtGate());
    Press(window.hwnd(), IDC_CLOSE);
    question = AwaitOwnedDialog();
    EXPECT_EQ(BoxText(question), UserText(prompt::kExitWhileScanning));
    WorkerGate.Open();
    AnswerBox(question, IDYES);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_EQ(::WaitForSingleObject(ScanThread.load(), 10000), WAIT_OBJECT_0);
}

// Not a check but bench/window-scan's stopwatch (skipped elsewhere): the
// time from the click on X: to the last deleted file in the tree, then from
// a click on the volume's box to the last file's box ticked, and the longest
// the window took to answer a message meanwhile.
TEST_F(RecoverPageTest, TimesTheScanOfDriveX) {
  if (!std::getenv("CORVANEL_BENCH_WINDOW_SCAN")) GTEST_SKIP() << "run by bench/window-scan";
  CCorvanelDlg dialog;
  RunMainWindow(dialog, [&](CCorvanelDlg& window) {
    Click(window.hwnd(), IDC_SHOW_RECOVER_PAGE);
    HWND page = window.recoverPage().hwnd();
    HWND tree = DeletedTree(page);
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    const auto seconds = [&] {
      LARGE_INTEGER now;
      ::QueryPerformanceCounter(&now);
      return double(now.QuadPart) / frequency.QuadPart;
    };
    // Asks the window something every few milliseconds until done(): the
    // seconds that took and the longest answer.
    const auto pinging = [&](auto done) {
      const double start = seconds();
      double longest = 0;
      while (!done()) {
        const double before = seconds();
        DWORD_PTR ignored = 0;
        ::SendMessageTimeoutW(window.hwnd(), WM_NULL, 0, 0, SMTO_NORMAL, 60000, &ignored);
        longest = std::max(longest, seconds() - before);
        std::this_thread::sleep_for(5ms);
      }
      return std::pair(seconds() - start, longest);
    };
    SelectDrive(page, L"X:\\");
    const auto [scan, scanAnswer] = pinging([] { return CurrentOperation == kOperationIdle; });
    const std::size_t files = TreeView_GetCount(tree) - 1;
    std::printf("window scan: %zu files in %.3f s; the window answered within %.0f ms at worst\n", files, scan,
                scanAnswer * 1000);
    EXPECT_EQ(scanSucceeded, 1);
    SaveScreenshot(window.hwnd(), "recover-bench-scanned");

    PostClickOnCheckBox(tree, TreeView_GetRoot(tree));
    const auto [tick, tickAnswer] = pinging([&] {
      return TickedFiles(window.recoverPage()) == static_cast<int>(files) && ::UpdateWindow(tree);
    });
    std::printf("window tick: %zu files in %.3f s; the window answered within %.0f ms at worst\n", files, tick,
                tickAnswer * 1000);
    SaveScreenshot(window.hwnd(), "recover-bench-ticked");
  });
}

}  // namespace
}  // namespace corvanel
