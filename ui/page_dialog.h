// What the three pages of the main window share: a painted background, the
// keys that never reach a page, and F1 doing nothing.
#pragma once

#include "ui/dialog_layer.h"

namespace corvanel::ui {

// Swallows key-downs of Enter, Space, Esc and the arrow keys, so that no
// dialog ends on Enter or Esc and neither a space nor an arrow reaches a field.
bool PageKeyFilter(const MSG& message);

class PageDialog : public Dialog {
 public:
  PageDialog(int templateId, int backgroundBitmap) : Dialog(templateId), backgroundBitmap_(backgroundBitmap) {}

  bool PreTranslateMessage(MSG& message) override { return PageKeyFilter(message); }

 protected:
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static std::span<const MessageEntry<PageDialog>> MessageMap();
  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnHelp(WPARAM, LPARAM) { return TRUE; }

  int backgroundBitmap_;
};

// Stretches a bitmap resource over a window's whole client area.
void PaintStretchedBitmap(HWND window, HDC dc, int bitmapId);

}  // namespace corvanel::ui
