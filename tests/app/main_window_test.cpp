// The main window, driven in-process under Wine with a virtual display: pages
// and their buttons, the filtered keys, the exit confirmation with a worker
// running, the single-instance guard, and screenshots of every page.
#include "app/corvanel_dlg.h"
#include "platform/win32/drive_geometry.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "app/corvanel_app.h"
#include "app/message_catalogue.h"
#include "app/pause_gate.h"
#include "app/shared_state.h"
#include "res/resource.h"
#include "shred/shred_page.h"
#include "ui/gif_frames.h"
#include "tests/app/window_driver.h"
#include "tests/support/recording_prompter.h"

namespace corvanel {
namespace {

using namespace std::chrono_literals;
using namespace corvanel::testing;

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetSharedState(); }
  void TearDown() override { ResetSharedState(); }
  testing::RecordingPrompter prompter;
};

TEST_F(MainWindowTest, PagesAndTheirButtons) {
  CCorvanelDlg dialog;
  INT_PTR result = RunMainWindow(dialog, [](CCorvanelDlg& window) {
    // At the template's size, the encrypt page first, its button latched.
    RECT client{};
    ::GetClientRect(window.hwnd(), &client);
    RECT units{0, 0, 433, 320};
    ::MapDialogRect(window.hwnd(), &units);
    EXPECT_EQ(client.right, units.right);
    EXPECT_EQ(client.bottom, units.bottom);
    EXPECT_TRUE(Visible(window.encryptPage()));
    EXPECT_FALSE(Visible(window.recoverPage()));
    EXPECT_FALSE(Visible(window.shredPage()));
    EXPECT_EQ(window.PageButton(kEncryptPageIndex).latched, 1);
    // The pages fill the client area below the band.
    RECT page{};
    ::GetWindowRect(window.encryptPage().hwnd(), &page);
    ::MapWindowPoints(nullptr, window.hwnd(), reinterpret_cast<POINT*>(&page), 2);
    EXPECT_EQ(page.top, static_cast<int>(124.0f * static_cast<float>(client.bottom) / 520.0f));
    EXPECT_EQ(page.bottom - page.top, static_cast<int>(396.0f * static_cast<float>(client.bottom) / 520.0f));
    SaveScreenshot(window.hwnd(), "encrypt-page");

    const struct {
      int button, index;
      const char* name;
    } pages[] = {{IDC_SHOW_RECOVER_PAGE, kRecoverPageIndex, "recover-page"},
                 {IDC_SHOW_SHRED_PAGE, kShredPageIndex, "shred-page"},
                 {IDC_SHOW_SHRED_PAGE, kShredPageIndex, nullptr},  // the page shown: nothing changes
                 {IDC_SHOW_ENCRYPT_PAGE, kEncryptPageIndex, nullptr}};
    for (const auto& step : pages) {
      Click(window.hwnd(), step.button);
      EXPECT_EQ(Visible(window.recoverPage()), step.index == kRecoverPageIndex);
      EXPECT_EQ(Visible(window.shredPage()), step.index == kShredPageIndex);
      EXPECT_EQ(Visible(window.encryptPage()), step.index == kEncryptPageIndex);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(window.PageButton(i).latched, i == step.index ? 1 : 0);
      if (step.name) SaveScreenshot(window.hwnd(), step.name);
    }
    // With nothing running, close ends the window without a question.
    Click(window.hwnd(), IDC_CLOSE);
  });
  EXPECT_EQ(result, IDCANCEL);
  EXPECT_TRUE(prompter.shown().empty());
}

// The mean brightness of what the screen shows of a window.
double Brightness(HWND window) {
  RECT rect{};
  ::GetWindowRect(window, &rect);
  HDC screen = ::GetDC(nullptr);
  double sum = 0;
  int count = 0;
  for (int y = rect.top + 2; y < rect.bottom - 2; y += 3) {
    for (int x = rect.left + 2; x < rect.right - 2; x += 3) {
      COLORREF pixel = ::GetPixel(screen, x, y);
      sum += GetRValue(pixel) + GetGValue(pixel) + GetBValue(pixel);
      ++count;
    }
  }
  ::ReleaseDC(nullptr, screen);
  return count ? sum / (3.0 * count) : 0;
}

TEST_F(MainWindowTest, SkinButtonsFollowTheMouseAndTheLatch) {
  CCorvanelDlg dialog;
  RunMainWindow(dialog, [](CCorvanelDlg& window) {
    // The latched page button shows its pressed (dark, filled) picture.
    ui::CSkinBtn& encrypt = window.PageButton(kEncryptPageIndex);
    ui::CSkinBtn& shred = window.PageButton(kShredPageIndex);
    ::UpdateWindow(window.hwnd());
    EXPECT_LT(Brightness(encrypt.hwnd()) + 40, Brightness(shred.hwnd()));
    // Hover on the first move over the button; Normal again soon after the
    // cursor leaves, without any message to the button.
    RECT rect{};
    ::GetWindowRect(shred.hwnd(), &rect);
    ::SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    ::SendMessageW(shred.hwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    // (Not the drawn state: a repaint of the unfocused button may already
    // have set it back to Normal, as the skin's rule says.)
    EXPECT_TRUE(shred.hovering());
    ::SetCursorPos(rect.right + 200, rect.bottom + 200);
    for (int i = 0; i < 100 && shred.hovering(); ++i) std::this_thread::sleep_for(5ms);
    EXPECT_FALSE(shred.hovering());
    EXPECT_EQ(shred.state(), ui::CSkinBtn::DrawState::Normal);
    // A disabled button does not react to the mouse.
    ::EnableWindow(shred.hwnd(), FALSE);
    ::SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    ::SendMessageW(shred.hwnd(), WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
    EXPECT_FALSE(shred.hovering());
    ::EnableWindow(shred.hwnd(), TRUE);
    Click(window.hwnd(), IDC_CLOSE);
  });
}

TEST_F(MainWindowTest, DataExchangeMovesTextBothWays) {
  CCorvanelDlg dialog;
  RunMainWindow(dialog, [](CCorvanelDlg& window) {
    HWND path = ::GetDlgItem(window.shredPage().hwnd(), IDC_SHRED_FILE_PATH);
    ShredFilePath.Set(u"C:\\文件\\a.txt");
    ::SendMessageW(window.shredPage().hwnd(), WM_NULL, 0, 0);
    window.shredPage().UpdateData(false);
    wchar_t text[64] = {};
    ::GetWindowTextW(path, text, 64);
    EXPECT_EQ(std::wstring(text), L"C:\\文件\\a.txt");
    ::SetWindowTextW(path, L"D:\\b.bin");
    EXPECT_TRUE(window.shredPage().UpdateData(true));
    EXPECT_EQ(ShredFilePath.Get(), u"D:\\b.bin");
    // A limit on an edit field: set when loading, enforced when saving.
    ui::DataExchange load{window.encryptPage().hwnd(), false};
    ui::ExchangeMaxChars(load, IDC_KEY, L"", 16);
    EXPECT_EQ(::SendDlgItemMessageW(window.encryptPage().hwnd(), IDC_KEY, EM_GETLIMITTEXT, 0, 0), 16);
    ui::DataExchange save{window.encryptPage().hwnd(), true};
    ui::ExchangeMaxChars(save, IDC_KEY, std::wstring(17, L'k'), 16);
    EXPECT_TRUE(save.failed);
    Click(window.hwnd(), IDC_CLOSE);
  });
}

// A GIF resource's bytes.
std::vector<std::uint8_t> GifResource(int id) {
  HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(id), L"GIF");
  HGLOBAL loaded = ::LoadResource(nullptr, resource);
  const auto* bytes = static_cast<const std::uint8_t*>(::LockResource(loaded));
  return {bytes, bytes + ::SizeofResource(nullptr, resource)};
}

bool LoadBytes(ui::CPictureEx& picture, const std::vector<std::uint8_t>& bytes) {
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, bytes.size());
  std::memcpy(::GlobalLock(block), bytes.data(), bytes.size());
  ::GlobalUnlock(block);
  bool loaded = picture.LoadFromMemory(block, static_cast<DWORD>(bytes.size()));
  ::GlobalFree(block);
  return loaded;
}

TEST_F(MainWindowTest, AnimationsPlayInThePagesControls) {
  CCorvanelDlg dialog;
  RunMainWindow(dialog, [](CCorvanelDlg& window) {
    Click(window.hwnd(), IDC_SHOW_SHRED_PAGE);
    HWND control = ::GetDlgItem(window.shredPage().hwnd(), IDC_SHRED_ANIMATION);
    // The program's busy animation: 71 frames of 60 x 60, the control sized to it.
    ASSERT_TRUE(ShredAnimation.LoadFromResource(IDR_BUSY_ANIMATION));
    EXPECT_EQ(ShredAnimation.frameCount(), 71);
    RECT rect{};
    ::GetClientRect(control, &rect);
    EXPECT_EQ(rect.right, 60);
    EXPECT_EQ(rect.bottom, 60);
    // Played on its own thread at 100 ms a frame (130 ms for the slow one).
    EXPECT_FALSE(ShredAnimation.StartAnimation());
    EXPECT_TRUE(ShredAnimation.playing());
    std::this_thread::sleep_for(1000ms);
    int shown = ShredAnimation.currentFrame();
    EXPECT_GE(shown, 6);
    EXPECT_LE(shown, 12);
    SaveScreenshot(window.hwnd(), "shred-page-busy");
    auto start = std::chrono::steady_clock::now();
    ShredAnimation.StopAnimation();
    EXPECT_FALSE(ShredAnimation.playing());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // A restart goes on where it stopped; loading another stops the first.
    shown = ShredAnimation.currentFrame();
    ShredAnimation.StartAnimation();
    ASSERT_TRUE(ShredAnimation.LoadFromResource(IDR_SCAN_ANIMATION));
    EXPECT_FALSE(ShredAnimation.playing());
    EXPECT_EQ(ShredAnimation.currentFrame(), 0);
    EXPECT_GE(shown, 6);
    // Unload empties it; a number that names no GIF leaves it empty.
    ShredAnimation.Unload();
    EXPECT_EQ(ShredAnimation.frameCount(), 0);
    ShredAnimation.Unload();
    EXPECT_FALSE(ShredAnimation.LoadFromResource(9999));
    EXPECT_FALSE(ShredAnimation.StartAnimation());
    // One frame: a still picture, no thread.
    std::optional<ui::GifAnimation> frames = ui::SplitGif(GifResource(IDR_BUSY_ANIMATION));
    ASSERT_TRUE(frames);
    ASSERT_TRUE(LoadBytes(ShredAnimation, frames->frames[5].bytes));
    EXPECT_TRUE(ShredAnimation.StartAnimation());
    EXPECT_FALSE(ShredAnimation.playing());
    // Not a GIF: the picture loader takes it whole (a 2 x 2 bitmap file).
    std::vector<std::uint8_t> bmp(54 + 16, 0);
    const std::uint8_t header[] = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0,
                                   0, 0, 1, 0, 24, 0};
    std::copy(std::begin(header), std::end(header), bmp.begin());
    ASSERT_TRUE(LoadBytes(ShredAnimation, bmp));
    EXPECT_TRUE(ShredAnimation.StartAnimation());
    EXPECT_FALSE(ShredAnimation.playing());
    ShredAnimation.Unload();
    // Nonsense is refused and leaves the control empty.
    EXPECT_FALSE(LoadBytes(ShredAnimation, {'G', 'I', 'F', '8', '9', 'a', 1}));
    EXPECT_EQ(ShredAnimation.frameCount(), 0);
    Click(window.hwnd(), IDC_CLOSE);
  });
}

TEST(DriveGeometry, ADeviceThatDoesNotOpenHasNone) {
  DISK_GEOMETRY geometry{};
  EXPECT_FALSE(QueryDriveGeometry(L"\\\\.\\Q:", geometry));
  EXPECT_FALSE(QueryDriveGeometry(L"\\\\.\\NoSuchDevice", geometry));
}

struct MapOwner {
  LRESULT Clicked(WPARAM, LPARAM) { return 1; }
  LRESULT Selected(WPARAM, LPARAM) { return 2; }
  LRESULT Painted(WPARAM, LPARAM) { return 3; }
};

TEST(MessageMap, MatchesMessagesControlsAndNotifications) {
  static constexpr ui::MessageEntry<MapOwner> kMap[] = {
      {WM_COMMAND, 1011, BN_CLICKED, &MapOwner::Clicked},
      {WM_NOTIFY, 1024, static_cast<UINT>(TVN_SELCHANGEDW), &MapOwner::Selected},
      {WM_PAINT, 0, 0, &MapOwner::Painted},
  };
  MapOwner owner;
  LRESULT result = 0;
  EXPECT_TRUE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_COMMAND, MAKEWPARAM(1011, BN_CLICKED), 0, result));
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_COMMAND, MAKEWPARAM(1012, BN_CLICKED), 0, result));
  EXPECT_FALSE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_COMMAND, MAKEWPARAM(1011, BN_SETFOCUS), 0, result));
  NMHDR header{nullptr, 1024, static_cast<UINT>(TVN_SELCHANGEDW)};
  EXPECT_TRUE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_NOTIFY, 1024, reinterpret_cast<LPARAM>(&header),
                                               result));
  EXPECT_EQ(result, 2);
  header.code = NM_CLICK;
  EXPECT_FALSE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_NOTIFY, 1024, reinterpret_cast<LPARAM>(&header),
                                                result));
  EXPECT_TRUE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_PAINT, 0, 0, result));
  EXPECT_EQ(result, 3);
  EXPECT_FALSE(ui::DispatchMessageMap<MapOwner>(&owner, kMap, WM_TIMER, 0, 0, result));
}

TEST_F(MainWindowTest, KeysThatNeverReachAPage) {
  for (WPARAM key : std::initializer_list<WPARAM>{VK_RETURN, VK_SPACE, VK_ESCAPE, VK_LEFT, VK_UP, VK_RIGHT, VK_DOWN}) {
    MSG message{nullptr, WM_KEYDOWN, key, 0, 0, {}};
    EXPECT_TRUE(ui::PageKeyFilter(message)) << key;
  }
  MSG letter{nullptr, WM_KEYDOWN, 'A', 0, 0, {}};
  EXPECT_FALSE(ui::PageKeyFilter(letter));
  MSG keyUp{nullptr, WM_KEYUP, VK_RETURN, 0, 0, {}};
  EXPECT_FALSE(ui::PageKeyFilter(keyUp));

  // In the window: Enter and Esc in the key field end nothing, a space is
  // not typed; letters are.
  CCorvanelDlg dialog;
  std::atomic<bool> stillOpen{false};
  RunMainWindow(dialog, [&](CCorvanelDlg& window) {
    HWND key = ::GetDlgItem(window.encryptPage().hwnd(), IDC_KEY);
    ::SetForegroundWindow(window.hwnd());
    ::PostMessageW(key, WM_SETFOCUS, 0, 0);
    // Key-downs as the keyboard sends them; the loop's TranslateMessage
    // makes the characters of those that get through.
    for (WPARAM code : std::initializer_list<WPARAM>{VK_RETURN, VK_ESCAPE, VK_SPACE, 'K'}) {
      LPARAM scan = static_cast<LPARAM>(::MapVirtualKeyW(static_cast<UINT>(code), MAPVK_VK_TO_VSC)) << 16 | 1;
      ::PostMessageW(key, WM_KEYDOWN, code, scan);
      ::PostMessageW(key, WM_KEYUP, code, scan | 0xC0000000);
    }
    std::this_thread::sleep_for(300ms);
    stillOpen = ::IsWindow(window.hwnd()) && ::IsWindowVisible(window.hwnd());
    wchar_t text[32] = {};
    ::GetWindowTextW(key, text, 32);
    EXPECT_EQ(std::wstring(text).find(L' '), std::wstring::npos);
    Click(window.hwnd(), IDC_CLOSE);
  });
  EXPECT_TRUE(stillOpen);
}

// A worker that works until it is told to stop, then cleans up.
struct FakeWorker {
  static DWORD WINAPI Run(void* parameter) {
    auto* worker = static_cast<FakeWorker*>(parameter);
    while (!WorkerGate.Pass()) {
      ++worker->steps;
      ::Sleep(5);
    }
    worker->cleanedUp = true;  // where a real worker removes its partial output
    return 0;
  }
  std::atomic<long> steps{0};
  std::atomic<bool> cleanedUp{false};
};

TEST_F(MainWindowTest, ClosingWhileAWorkerRunsAsksFirst) {
  const struct {
    Operation operation;
    std::atomic<ThreadHandle>* thread;
    std::int32_t prompt;
  } cases[] = {{kOperationShred, &ShredThread, prompt::kExitWhileShredding},
               {kOperationEncrypt, &EncryptThread, prompt::kExitWhileEncrypting},
               {kOperationDecrypt, &DecryptThread, prompt::kExitWhileEncrypting},
               {kOperationRecover, &RecoverThread, prompt::kExitWhileRecovering},
               {kOperationScan, &ScanThread, prompt::kExitWhileScanning}};
  for (const auto& current : cases) {
    SCOPED_TRACE(current.operation);
    ResetSharedState();
    FakeWorker worker;
    HANDLE thread = ::CreateThread(nullptr, 0, FakeWorker::Run, &worker, 0, nullptr);
    *current.thread = thread;
    CurrentOperation = current.operation;
    prompter.Answer({kPromptNo, kPromptYes});
    CCorvanelDlg dialog;
    std::size_t before = prompter.shown().size();
    RunMainWindow(dialog, [&](CCorvanelDlg& window) {
      // No: the worker goes on, the window stays.
      Click(window.hwnd(), IDC_CLOSE);
      long steps = worker.steps;
      std::this_thread::sleep_for(100ms);
      EXPECT_GT(worker.steps, steps);
      EXPECT_TRUE(::IsWindowVisible(window.hwnd()));
      EXPECT_EQ(AbortRequested, 0);
      // Yes: the worker is told, takes its cancel path, and the window ends.
      Click(window.hwnd(), IDC_CLOSE);
    });
    EXPECT_EQ(AbortRequested, 1);
    EXPECT_TRUE(worker.cleanedUp);
    ASSERT_EQ(prompter.shown().size(), before + 2);
    for (std::size_t i = before; i < prompter.shown().size(); ++i) {
      EXPECT_EQ(prompter.shown()[i].buttons, PromptButtons::YesNo);
      std::optional<std::u16string> expected = UserPromptText(current.prompt, UiLanguage);
      ASSERT_TRUE(expected.has_value());
      EXPECT_EQ(prompter.shown()[i].text, *expected);
    }
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
  }
}

TEST_F(MainWindowTest, ASecondCopySaysSoAndEnds) {
  HANDLE first = ::CreateMutexW(nullptr, FALSE, kSingleInstanceMutex);
  CCorvanelApp second;
  EXPECT_FALSE(second.InitInstance());
  ASSERT_EQ(prompter.shown().size(), 1u);
  EXPECT_EQ(prompter.shown()[0].text, u"应用程序已经运行!");
  EXPECT_EQ(prompter.shown()[0].buttons, PromptButtons::Ok);
  ::CloseHandle(first);
}

}  // namespace
}  // namespace corvanel
