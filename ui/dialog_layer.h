// The small dialog layer the window is built on: an application object,
// dialogs (modal and modeless, from a template id), controls taken over from
// a dialog by subclassing, message maps as tables, data exchange for the few
// bindings the pages use, and owners for GDI objects and handles.
#pragma once

#include <windows.h>

#include <functional>
#include <span>
#include <string>
#include <utility>

#include "base/owned.h"

namespace corvanel::ui {

// ---- owners ----------------------------------------------------------------

using corvanel::Owned;

inline void DeleteGdiObject(HGDIOBJ object) { ::DeleteObject(object); }
inline void DeleteMemoryDc(HDC dc) { ::DeleteDC(dc); }
inline void CloseKernelHandle(HANDLE handle) { ::CloseHandle(handle); }

using OwnedBitmap = Owned<HBITMAP, DeleteGdiObject>;
using OwnedFont = Owned<HFONT, DeleteGdiObject>;
using OwnedBrush = Owned<HBRUSH, DeleteGdiObject>;
using OwnedMemoryDc = Owned<HDC, DeleteMemoryDc>;
using OwnedHandle = Owned<HANDLE, CloseKernelHandle>;

// A handle from CreateFile, whose "none" is INVALID_HANDLE_VALUE: owned, or nothing.
inline OwnedHandle OwnedFileHandle(HANDLE handle) {
  return OwnedHandle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

// A window's device context for the length of a scope.
class WindowDc {
 public:
  explicit WindowDc(HWND window) : window_(window), dc_(::GetDC(window)) {}
  ~WindowDc() { ::ReleaseDC(window_, dc_); }
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// BeginPaint / EndPaint.
class PaintDc {
 public:
  explicit PaintDc(HWND window) : window_(window) { dc_ = ::BeginPaint(window, &paint_); }
  ~PaintDc() { ::EndPaint(window_, &paint_); }
  PaintDc(const PaintDc&) = delete;
  PaintDc& operator=(const PaintDc&) = delete;
  HDC get() const { return dc_; }

 private:
  HWND window_;
  PAINTSTRUCT paint_{};
  HDC dc_;
};

// An object selected into a device context, put back on leaving the scope.
class Selected {
 public:
  Selected(HDC dc, HGDIOBJ object) : dc_(dc), previous_(::SelectObject(dc, object)) {}
  ~Selected() {
    if (previous_) ::SelectObject(dc_, previous_);
  }
  Selected(const Selected&) = delete;
  Selected& operator=(const Selected&) = delete;

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// A bitmap resource of the program, or nothing.
OwnedBitmap LoadBitmapResource(int id);
// The size of a bitmap in pixels.
SIZE BitmapSize(HBITMAP bitmap);

// ---- message maps ----------------------------------------------------------

// One row of a class's message map. For WM_COMMAND, id is the control and
// code the notification (BN_CLICKED, CBN_SELCHANGE...); for WM_NOTIFY, id is
// the control and code the NMHDR code; for any other message both are 0.
template <typename Owner>
struct MessageEntry {
  UINT message;
  UINT id;
  UINT code;
  LRESULT (Owner::*handler)(WPARAM, LPARAM);
};

// Runs the first row of map that matches; false when none does.
template <typename Owner>
bool DispatchMessageMap(Owner* owner, std::span<const MessageEntry<Owner>> map, UINT message, WPARAM wParam,
                        LPARAM lParam, LRESULT& result) {
  for (const MessageEntry<Owner>& entry : map) {
    if (entry.message != message) continue;
    if (message == WM_COMMAND && (entry.id != LOWORD(wParam) || entry.code != HIWORD(wParam))) continue;
    if (message == WM_NOTIFY) {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      if (entry.id != header->idFrom || entry.code != header->code) continue;
    }
    result = (owner->*entry.handler)(wParam, lParam);
    return true;
  }
  return false;
}

// ---- windows ---------------------------------------------------------------

class Window {
 public:
  virtual ~Window() = default;
  HWND hwnd() const { return hwnd_; }
  void Invalidate(bool erase = true) const { ::InvalidateRect(hwnd_, nullptr, erase); }
  void Show(int command) const { ::ShowWindow(hwnd_, command); }
  int DialogId() const { return ::GetDlgCtrlID(hwnd_); }

 protected:
  // The class's message map; true when it handled the message.
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    (void)message, (void)wParam, (void)lParam, (void)result;
    return false;
  }

  HWND hwnd_ = nullptr;
};

// A control of a dialog, taken over by subclassing the existing window.
class Control : public Window {
 public:
  ~Control() override;
  // Subclasses the dialog's control id; false when there is none.
  bool Attach(HWND dialog, int id);
  void Detach();

  // Runs once, right after the control is taken over.
  virtual void PreSubclassWindow() {}
  // The owner-draw callback, reflected from the dialog.
  virtual void DrawItem(const DRAWITEMSTRUCT& item) { (void)item; }

  // The control behind a window, if one of ours took it over.
  static Control* FromHandle(HWND window);

 protected:
  // The window's own handling of a message (what it did before it was ours).
  LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);

 private:
  static LRESULT CALLBACK SubclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                       DWORD_PTR data);
};

// Moves values between a dialog's controls and the program's variables.
struct DataExchange {
  HWND dialog;
  bool save;          // true: controls -> variables
  bool failed = false;
};
void ExchangeText(DataExchange& exchange, int id, std::wstring& value);
// Limits an edit control to maxChars characters (when loading); refuses a
// longer value (when saving).
void ExchangeMaxChars(DataExchange& exchange, int id, const std::wstring& value, int maxChars);
// Takes a control over once.
void ExchangeControl(DataExchange& exchange, int id, Control& control);

class Dialog : public Window {
 public:
  explicit Dialog(int templateId) : templateId_(templateId) {}
  ~Dialog() override;

  // Runs the dialog modally and gives the value EndDialog was called with.
  INT_PTR DoModal(HWND owner = nullptr);
  // Creates the dialog modelessly as a child (or owned) window of parent.
  bool Create(HWND parent);
  void EndDialog(INT_PTR result);

  // Moves values between controls and variables (true: from the controls).
  bool UpdateData(bool saveAndValidate = true);

  // A message before it is dispatched; true swallows it.
  virtual bool PreTranslateMessage(MSG& message);

  // Runs work on the thread that owns the dialog and returns when it is done:
  // a worker changes the page's values and controls through this, so only
  // that thread ever writes them. Nothing runs once the dialog is gone.
  void RunOnDialogThread(const std::function<void()>& work) const;

  // The dialog object behind a window, if it is one of ours.
  static Dialog* FromHandle(HWND window);

 protected:
  virtual BOOL OnInitDialog();
  virtual void DoDataExchange(DataExchange& exchange) { (void)exchange; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  int templateId_;
  bool modal_ = false;
  bool ended_ = false;
  INT_PTR result_ = 0;
};

// Runs the message loop of a modal dialog: each message goes first to the
// PreTranslateMessage of the dialogs it is meant for (innermost first).
bool PreTranslateThroughDialogs(MSG& message);

class Application {
 public:
  virtual ~Application() = default;
  // Everything the program does; returns FALSE to end the process.
  virtual BOOL InitInstance() = 0;

  static HINSTANCE Instance();
  static void SetInstance(HINSTANCE instance);
};

}  // namespace corvanel::ui
