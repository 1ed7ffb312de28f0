// The pages' shared behaviour.
#include "ui/page_dialog.h"

#include <map>
#include <mutex>
#include <utility>

#include "res/resource.h"

namespace corvanel::ui {

bool PageKeyFilter(const MSG& message) {
  if (message.message != WM_KEYDOWN) return false;
  switch (message.wParam) {
    case VK_RETURN: case VK_SPACE: case VK_ESCAPE: case VK_LEFT: case VK_UP: case VK_RIGHT: case VK_DOWN:
      return true;
    default:
      return false;
  }
}

void PaintStretchedBitmap(HWND window, HDC dc, int bitmapId) {
  OwnedBitmap bitmap = LoadBitmapResource(bitmapId);
  if (!bitmap) return;
  RECT client{};
  ::GetClientRect(window, &client);
  SIZE size = BitmapSize(bitmap.get());
  OwnedMemoryDc memory(::CreateCompatibleDC(dc));
  Selected selected(memory.get(), bitmap.get());
  ::SetStretchBltMode(dc, HALFTONE);
  ::StretchBlt(dc, 0, 0, client.right, client.bottom, memory.get(), 0, 0, size.cx, size.cy, SRCCOPY);
}

void PageDialog::ShowBusyAnimation(CPictureEx& animation, int controlId, int gifId) const {
  RunOnDialogThread([&] {
    if (animation.LoadFromResource(gifId)) animation.StartAnimation();
    ::ShowWindow(::GetDlgItem(hwnd_, controlId), SW_SHOW);
  });
}

void PageDialog::HideBusyAnimation(CPictureEx& animation, int controlId) const {
  RunOnDialogThread([&] {
    ::ShowWindow(::GetDlgItem(hwnd_, controlId), SW_HIDE);
    animation.Unload();
  });
}

namespace {

// The workers' handles are owned here, one per slot; the slot shows the
// current one to whoever waits on it. A new worker's handle releases the
// slot's previous one, and the process's end the last ones.
void KeepWorkerHandle(std::atomic<void*>& slot, OwnedHandle thread) {
  static std::mutex guard;
  static std::map<const std::atomic<void*>*, OwnedHandle> owners;
  const std::lock_guard lock(guard);
  slot = thread.get();
  owners[&slot] = std::move(thread);
}

}  // namespace

bool StartWorkerThread(LPTHREAD_START_ROUTINE routine, void* parameter, std::atomic<void*>& slot) {
  OwnedHandle thread(::CreateThread(nullptr, 0, routine, parameter, 0, nullptr));
  if (!thread) return false;
  KeepWorkerHandle(slot, std::move(thread));
  return true;
}

DWORD WaitServingSentMessages(HANDLE thread, DWORD milliseconds) {
  const ULONGLONG end = ::GetTickCount64() + milliseconds;
  for (;;) {
    const ULONGLONG now = ::GetTickCount64();
    const DWORD left = now >= end ? 0 : static_cast<DWORD>(end - now);
    DWORD woke = ::MsgWaitForMultipleObjects(1, &thread, FALSE, left, QS_SENDMESSAGE);
    if (woke != WAIT_OBJECT_0 + 1) return woke;
    MSG message;
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);  // serves them
  }
}

std::span<const MessageEntry<PageDialog>> PageDialog::MessageMap() {
  static constexpr MessageEntry<PageDialog> kMap[] = {
      {WM_PAINT, 0, 0, &PageDialog::OnPaint},
      {WM_HELP, 0, 0, &PageDialog::OnHelp},
  };
  return kMap;
}

bool PageDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result);
}

LRESULT PageDialog::OnPaint(WPARAM, LPARAM) {
  PaintDc paint(hwnd_);
  PaintStretchedBitmap(hwnd_, paint.get(), backgroundBitmap_);
  return 0;
}

}  // namespace corvanel::ui
