// The window driver.
#include "tests/app/window_driver.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/shared_state.h"
#include "res/resource.h"

namespace corvanel::testing {

using namespace std::chrono_literals;

INT_PTR RunMainWindow(CCorvanelDlg& dialog, const std::function<void(CCorvanelDlg&)>& drive) {
  std::thread driver([&] {
    for (int i = 0; i < 500 && !(dialog.hwnd() && ::IsWindowVisible(dialog.hwnd()) && EncryptPageWindow); ++i)
      std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(300ms);  // let it paint
    drive(dialog);
    // A failed step may have returned early: do not leave the window open.
    if (::IsWindow(dialog.hwnd())) ::PostMessageW(dialog.hwnd(), WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED), 0);
  });
  INT_PTR result = dialog.DoModal();
  driver.join();
  return result;
}

void Click(HWND dialog, int id) { ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

bool Visible(const ui::Dialog& page) { return ::IsWindowVisible(page.hwnd()) != 0; }

void SaveScreenshot(HWND window, const std::string& name) {
  const std::string shot = name + "-" + LanguageName();
  const char* directory = std::getenv("CORVANEL_SCREENSHOTS");
  if (!directory) return;
  std::filesystem::create_directories(directory);
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  std::this_thread::sleep_for(200ms);
  RECT rect{};
  ::GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = ::SelectObject(memory, bitmap);
  ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  ::GdiFlush();
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  const DWORD imageBytes = stride * static_cast<DWORD>(height);
  constexpr DWORD kHeaders = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  BITMAPFILEHEADER file{0x4D42, kHeaders + imageBytes, 0, 0, kHeaders};
  std::string path = std::string(directory) + "/" + shot + ".bmp";
  if (FILE* out = std::fopen(path.c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
    std::fwrite(bits, 1, imageBytes, out);
    std::fclose(out);
  }
  ::SelectObject(memory, previous);
  ::DeleteObject(bitmap);
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
}

void Press(HWND dialog, int id) {
  ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
}

std::wstring ControlText(HWND dialog, int id) {
  wchar_t text[1024] = {};
  ::GetDlgItemTextW(dialog, id, text, 1024);
  return text;
}

std::string LanguageName() { return UiLanguage == kLanguageChinese ? "chinese" : "english"; }

namespace {

bool IsWindowOfOurs(HWND window) {
  for (WindowHandle page : {RecoverPageWindow.load(), ShredPageWindow.load(), EncryptPageWindow.load()})
    if (page && static_cast<HWND>(page) == window) return true;
  return ui::Dialog::FromHandle(window) != nullptr;
}

struct Search {
  HWND found = nullptr;
};

BOOL CALLBACK FindDialog(HWND window, LPARAM parameter) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  wchar_t className[16] = {};
  ::GetClassNameW(window, className, 16);
  if (process != ::GetCurrentProcessId() || !::IsWindowVisible(window) || std::wstring(className) != L"#32770" ||
      IsWindowOfOurs(window))
    return TRUE;
  reinterpret_cast<Search*>(parameter)->found = window;
  return FALSE;
}

}  // namespace

HWND AwaitOwnedDialog() {
  for (int i = 0; i < 3000; ++i) {
    Search search;
    ::EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      std::this_thread::sleep_for(100ms);  // let it settle
      return search.found;
    }
    std::this_thread::sleep_for(10ms);
  }
  return nullptr;
}

std::wstring BoxText(HWND box) {
  // The one static control that carries text (the icon's has none).
  std::wstring text;
  for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    wchar_t className[16] = {};
    ::GetClassNameW(child, className, 16);
    if (std::wstring(className) != L"Static") continue;
    wchar_t buffer[1024] = {};
    ::GetWindowTextW(child, buffer, 1024);
    if (buffer[0]) text = buffer;
  }
  return text;
}

void AnswerBox(HWND box, int button) {
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, button)));
  for (int i = 0; i < 1000 && ::IsWindow(box); ++i) std::this_thread::sleep_for(10ms);
}

std::wstring AnswerNextBox(int button) {
  HWND box = AwaitOwnedDialog();
  if (!box) return L"(no box)";
  std::wstring text = BoxText(box);
  AnswerBox(box, button);
  return text;
}

namespace {

BOOL CALLBACK FindVisibleEdit(HWND child, LPARAM parameter) {
  wchar_t className[16] = {};
  ::GetClassNameW(child, className, 16);
  if (std::wstring(className) != L"Edit" || !::IsWindowVisible(child)) return TRUE;
  *reinterpret_cast<HWND*>(parameter) = child;
  return FALSE;
}

// The file-open dialog's name field: the edit control inside its name combo.
// (A named CALLBACK, not a lambda: i686 wants the stdcall convention.)
HWND NameField(HWND dialog) {
  HWND found = nullptr;
  ::EnumChildWindows(dialog, FindVisibleEdit, reinterpret_cast<LPARAM>(&found));
  return found;
}

}  // namespace

void ChooseThroughDialog(HWND page, int chooseButton, const std::wstring& path) {
  Press(page, chooseButton);
  HWND dialog = AwaitOwnedDialog();
  if (!dialog) return;
  if (path.empty()) {
    AnswerBox(dialog, IDCANCEL);
    return;
  }
  HWND name = NameField(dialog);
  ::SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  AnswerBox(dialog, IDOK);
}

}  // namespace corvanel::testing
