// What the three pages of the main window share: a painted background, the
// keys that never reach a page, and F1 doing nothing.
#pragma once

#include <atomic>

#include "res/resource.h"
#include "ui/dialog_layer.h"
#include "ui/picture_ex.h"

namespace corvanel::ui {

// Swallows key-downs of Enter, Space, Esc and the arrow keys, so that no
// dialog ends on Enter or Esc and neither a space nor an arrow reaches a field.
bool PageKeyFilter(const MSG& message);

class PageDialog : public Dialog {
 public:
  PageDialog(int templateId, int backgroundBitmap) : Dialog(templateId), backgroundBitmap_(backgroundBitmap) {}

  bool PreTranslateMessage(MSG& message) override { return PageKeyFilter(message); }

  // The busy animation of a page, from any thread: a GIF (the busy one
  // unless named) loaded and played in the control, which is shown; or
  // stopped, unloaded and hidden.
  void ShowBusyAnimation(CPictureEx& animation, int controlId, int gifId = IDR_BUSY_ANIMATION) const;
  void HideBusyAnimation(CPictureEx& animation, int controlId) const;

 protected:
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static std::span<const MessageEntry<PageDialog>> MessageMap();
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnHelp(WPARAM, LPARAM) { return TRUE; }

  int backgroundBitmap_;
};

// Starts a page's worker; slot shows its handle, which stays owned here
// until the slot's next worker starts (the previous one is then released).
// False when the system refuses the thread.
bool StartWorkerThread(LPTHREAD_START_ROUTINE routine, void* parameter, std::atomic<void*>& slot);

// Waits for a thread to end while serving the messages other threads send to
// this one (a worker may be setting a control of a page of this thread).
DWORD WaitServingSentMessages(HANDLE thread, DWORD milliseconds);

// Stretches a bitmap resource over a window's whole client area.
void PaintStretchedBitmap(HWND window, HDC dc, int bitmapId);

}  // namespace corvanel::ui
