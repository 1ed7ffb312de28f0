// The program's push button: drawn from one bitmap per state over a copy of
// the background behind it, hover followed with a 10 ms timer, and a latched
// look (the pressed picture) for the button of the page shown.
#pragma once

#include "ui/dialog_layer.h"

namespace corvanel::ui {

class CSkinBtn : public Control {
 public:
  enum class DrawState { Normal = 0, Hover = 1, Pressed = 2, Disabled = 3 };

  CSkinBtn();

  // Loads the normal, hover and pressed bitmaps (normal doubles as disabled).
  // Does not redraw.
  void SetSkinBitmaps(int normal, int hover, int pressed);

  void PreSubclassWindow() override;
  void DrawItem(const DRAWITEMSTRUCT& item) override;

  // 1: always show the pressed picture. The owner invalidates after a change.
  int latched = 0;

  DrawState state() const { return state_; }
  bool hovering() const { return hovering_ != 0; }

 protected:
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  static std::span<const MessageEntry<CSkinBtn>> MessageMap();
  static constexpr UINT_PTR kHoverTimer = 1;
  static constexpr UINT kHoverPeriod = 10;  // ms

  LRESULT OnMouseMove(WPARAM wParam, LPARAM lParam);
  LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
  LRESULT OnEraseBackground(WPARAM wParam, LPARAM lParam);
  LRESULT OnSetCursor(WPARAM wParam, LPARAM lParam);
  LRESULT OnEnable(WPARAM wParam, LPARAM lParam);
  void Paint();
  bool CursorInside() const;

  OwnedBitmap bitmapNormal_, bitmapHover_, bitmapPressed_, bitmapDisabled_;
  DrawState state_ = DrawState::Normal;
  COLORREF textColorNormal_ = RGB(0, 0, 0);
  COLORREF textColorPressed_ = RGB(255, 255, 255);
  unsigned char hovering_ = 0;
  unsigned char enabled_ = 1;
  OwnedFont font_;
  unsigned char backgroundCaptured_ = 0;
  OwnedMemoryDc background_;
  OwnedBitmap backgroundBitmap_;
};

}  // namespace corvanel::ui
