// The dialog layer over plain Win32.
#include "ui/dialog_layer.h"

#include <commctrl.h>

#include <vector>

namespace corvanel::ui {
namespace {

HINSTANCE programInstance = nullptr;
constexpr UINT_PTR kSubclassId = 0xC0C0;
constexpr wchar_t kControlProperty[] = L"Corvanel.Control";

std::wstring WindowText(HWND window) {
  int length = ::GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(window, text.data(), length + 1)));
  return text;
}

}  // namespace

HINSTANCE Application::Instance() { return programInstance ? programInstance : ::GetModuleHandleW(nullptr); }
void Application::SetInstance(HINSTANCE instance) { programInstance = instance; }

OwnedBitmap LoadBitmapResource(int id) {
  return OwnedBitmap(static_cast<HBITMAP>(
      ::LoadImageW(Application::Instance(), MAKEINTRESOURCEW(id), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
}

SIZE BitmapSize(HBITMAP bitmap) {
  BITMAP info{};
  if (!bitmap || !::GetObjectW(bitmap, sizeof info, &info)) return {0, 0};
  return {info.bmWidth, info.bmHeight};
}

// ---- controls ----------------------------------------------------------------

Control::~Control() { Detach(); }

bool Control::Attach(HWND dialog, int id) {
  HWND window = ::GetDlgItem(dialog, id);
  if (!window || hwnd_) return window == hwnd_ && window;
  hwnd_ = window;
  ::SetPropW(window, kControlProperty, this);
  ::SetWindowSubclass(window, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
  PreSubclassWindow();
  return true;
}

void Control::Detach() {
  if (!hwnd_) return;
  ::RemoveWindowSubclass(hwnd_, SubclassProc, kSubclassId);
  ::RemovePropW(hwnd_, kControlProperty);
  hwnd_ = nullptr;
}

Control* Control::FromHandle(HWND window) {
  return window ? static_cast<Control*>(::GetPropW(window, kControlProperty)) : nullptr;
}

LRESULT Control::Default(UINT message, WPARAM wParam, LPARAM lParam) {
  return ::DefSubclassProc(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK Control::SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                       DWORD_PTR data) {
  auto* control = reinterpret_cast<Control*>(data);
  if (message == WM_NCDESTROY) {
    control->Detach();
    return ::DefSubclassProc(window, message, wParam, lParam);
  }
  LRESULT result = 0;
  if (control->OnMessage(message, wParam, lParam, result)) return result;
  return ::DefSubclassProc(window, message, wParam, lParam);
}

// ---- data exchange -------------------------------------------------------------

void ExchangeText(DataExchange& exchange, int id, std::wstring& value) {
  HWND control = ::GetDlgItem(exchange.dialog, id);
  if (!control) return;
  if (exchange.save) {
    value = WindowText(control);
  } else {
    ::SetWindowTextW(control, value.c_str());
  }
}

void ExchangeMaxChars(DataExchange& exchange, int id, const std::wstring& value, int maxChars) {
  if (!exchange.save) {
    ::SendDlgItemMessageW(exchange.dialog, id, EM_LIMITTEXT, static_cast<WPARAM>(maxChars), 0);
  } else if (value.size() > static_cast<std::size_t>(maxChars)) {
    exchange.failed = true;
  }
}

void ExchangeControl(DataExchange& exchange, int id, Control& control) {
  if (!control.hwnd()) control.Attach(exchange.dialog, id);
}

// ---- dialogs -------------------------------------------------------------------

Dialog::~Dialog() {
  if (hwnd_ && !modal_) ::DestroyWindow(hwnd_);
}

Dialog* Dialog::FromHandle(HWND window) {
  return reinterpret_cast<Dialog*>(::GetWindowLongPtrW(window, DWLP_USER));
}

bool Dialog::Create(HWND parent) {
  modal_ = false;
  HWND window = ::CreateDialogParamW(Application::Instance(), MAKEINTRESOURCEW(templateId_), parent, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
  return window != nullptr;
}

INT_PTR Dialog::DoModal(HWND owner) {
  modal_ = true;
  ended_ = false;
  // Modeless underneath, with our own loop, so that every message passes
  // PreTranslateMessage first (the system's modal loop would not let it).
  if (!::CreateDialogParamW(Application::Instance(), MAKEINTRESOURCEW(templateId_), owner, DialogProc,
                            reinterpret_cast<LPARAM>(this)))
    return -1;
  const bool ownerWasEnabled = owner && ::IsWindowEnabled(owner);
  if (ownerWasEnabled) ::EnableWindow(owner, FALSE);
  ::ShowWindow(hwnd_, SW_SHOW);
  MSG message;
  while (!ended_) {
    BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(message.wParam));  // for the caller's loop
      break;
    }
    if (got < 0) break;
    if (PreTranslateThroughDialogs(message)) continue;
    if (::IsDialogMessageW(hwnd_, &message)) continue;
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  if (ownerWasEnabled) ::EnableWindow(owner, TRUE);
  if (hwnd_) ::DestroyWindow(hwnd_);
  return result_;
}

void Dialog::EndDialog(INT_PTR result) {
  result_ = result;
  ended_ = true;
  if (!modal_ && hwnd_) ::DestroyWindow(hwnd_);
  ::PostMessageW(hwnd_, WM_NULL, 0, 0);  // wake the loop
}

bool Dialog::UpdateData(bool saveAndValidate) {
  DataExchange exchange{hwnd_, saveAndValidate};
  DoDataExchange(exchange);
  return !exchange.failed;
}

namespace {
// Carries a RunOnDialogThread request; lParam points at the work.
constexpr UINT kRunOnDialogThread = WM_APP + 0x3A0;
}  // namespace

void Dialog::RunOnDialogThread(const std::function<void()>& work) const {
  HWND window = hwnd_;
  if (!window) return;
  if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId()) {
    work();
    return;
  }
  ::SendMessageW(window, kRunOnDialogThread, 0, reinterpret_cast<LPARAM>(&work));
}

bool Dialog::PreTranslateMessage(MSG& message) {
  (void)message;
  return false;
}

BOOL Dialog::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

bool PreTranslateThroughDialogs(MSG& message) {
  for (HWND window = message.hwnd; window; window = ::GetParent(window)) {
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, 16);
    if (std::wstring_view(className) != L"#32770") continue;  // not a dialog
    if (Dialog* dialog = Dialog::FromHandle(window); dialog && dialog->PreTranslateMessage(message)) return true;
  }
  return false;
}

INT_PTR CALLBACK Dialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* dialog = nullptr;
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<Dialog*>(lParam);
    dialog->hwnd_ = window;
    ::SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(dialog));
    return dialog->OnInitDialog();
  }
  dialog = FromHandle(window);
  if (!dialog) return FALSE;
  if (message == kRunOnDialogThread) {
    (*reinterpret_cast<const std::function<void()>*>(lParam))();
    return TRUE;
  }
  if (message == WM_DRAWITEM) {
    // Owner-drawn controls draw themselves, as their class says.
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (Control* control = Control::FromHandle(item->hwndItem)) {
      control->DrawItem(*item);
      return TRUE;
    }
  }
  LRESULT result = 0;
  if (dialog->OnMessage(message, wParam, lParam, result)) {
    // Messages that return a value of their own; the rest through DWLP_MSGRESULT.
    switch (message) {
      case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX: case WM_CTLCOLORBTN:
      case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR: case WM_CTLCOLORSTATIC: case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
      default:
        ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
  }
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(window, DWLP_USER, 0);
    dialog->hwnd_ = nullptr;
  }
  return FALSE;
}

}  // namespace corvanel::ui
