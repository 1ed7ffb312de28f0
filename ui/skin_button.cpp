// The skin button.
#include "ui/skin_button.h"

#include <string>

namespace corvanel::ui {
namespace {

OwnedFont PointFont(int tenthsOfAPoint, const wchar_t* face) {
  WindowDc screen(nullptr);
  LOGFONTW font{};
  font.lfHeight = -::MulDiv(tenthsOfAPoint, ::GetDeviceCaps(screen.get(), LOGPIXELSY), 720);
  font.lfCharSet = DEFAULT_CHARSET;
  ::lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
  return OwnedFont(::CreateFontIndirectW(&font));
}

}  // namespace

CSkinBtn::CSkinBtn() : font_(PointFont(120, L"黑体")) {}

void CSkinBtn::SetSkinBitmaps(int normal, int hover, int pressed) {
  bitmapNormal_ = LoadBitmapResource(normal);
  bitmapHover_ = LoadBitmapResource(hover);
  bitmapPressed_ = LoadBitmapResource(pressed);
  bitmapDisabled_ = LoadBitmapResource(normal);
}

void CSkinBtn::PreSubclassWindow() {
  ::SetWindowLongPtrW(hwnd_, GWL_STYLE, ::GetWindowLongPtrW(hwnd_, GWL_STYLE) | BS_OWNERDRAW);
  ::InvalidateRect(hwnd_, nullptr, FALSE);
}

std::span<const MessageEntry<CSkinBtn>> CSkinBtn::MessageMap() {
  static constexpr MessageEntry<CSkinBtn> kMap[] = {
      {WM_MOUSEMOVE, 0, 0, &CSkinBtn::OnMouseMove},
      {WM_TIMER, 0, 0, &CSkinBtn::OnTimer},
      {WM_ERASEBKGND, 0, 0, &CSkinBtn::OnEraseBackground},
      {WM_SETCURSOR, 0, 0, &CSkinBtn::OnSetCursor},
      {WM_ENABLE, 0, 0, &CSkinBtn::OnEnable},
  };
  return kMap;
}

bool CSkinBtn::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result);
}

void CSkinBtn::DrawItem(const DRAWITEMSTRUCT& item) {
  state_ = DrawState::Normal;
  if (item.itemState & ODS_FOCUS) {
    if (item.itemState & ODS_SELECTED) {
      state_ = DrawState::Pressed;
    } else if (hovering_) {
      state_ = DrawState::Hover;
    }
  }
  if (item.itemState & ODS_DISABLED) {
    state_ = DrawState::Disabled;
    enabled_ = 0;
  }
  Paint();
}

void CSkinBtn::Paint() {
  WindowDc screen(hwnd_);
  RECT client{};
  ::GetClientRect(hwnd_, &client);
  const int width = client.right, height = client.bottom;
  OwnedMemoryDc offscreen(::CreateCompatibleDC(screen.get()));
  OwnedBitmap canvas(::CreateCompatibleBitmap(screen.get(), width, height));
  Selected canvasSelected(offscreen.get(), canvas.get());
  if (background_) ::BitBlt(offscreen.get(), 0, 0, width, height, background_.get(), 0, 0, SRCCOPY);

  int length = ::GetWindowTextLengthW(hwnd_);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd_, text.data(), length + 1)));
  ::SetBkMode(offscreen.get(), TRANSPARENT);
  Selected fontSelected(offscreen.get(), font_.get());
  if (!bitmapNormal_) return;
  ::SetTextColor(offscreen.get(), textColorNormal_);

  HBITMAP picture = nullptr;
  if (latched == 1) {
    picture = bitmapPressed_.get();
    ::SetTextColor(offscreen.get(), textColorPressed_);
  } else {
    switch (state_) {
      case DrawState::Normal: picture = bitmapNormal_.get(); break;
      case DrawState::Hover: picture = bitmapHover_.get(); break;
      case DrawState::Pressed:
        picture = bitmapPressed_.get();
        ::SetTextColor(offscreen.get(), textColorPressed_);
        break;
      case DrawState::Disabled: picture = bitmapDisabled_.get(); break;
    }
  }
  if (!picture) return;

  OwnedMemoryDc pictureDc(::CreateCompatibleDC(screen.get()));
  Selected pictureSelected(pictureDc.get(), picture);
  SIZE size = BitmapSize(picture);
  if (size.cx > width || size.cy > height) {
    ::SetStretchBltMode(offscreen.get(), HALFTONE);
    ::StretchBlt(offscreen.get(), 0, 0, width, height, pictureDc.get(), 0, 0, size.cx, size.cy, SRCCOPY);
  } else {
    ::BitBlt(offscreen.get(), 0, 0, size.cx, size.cy, pictureDc.get(), 0, 0, SRCCOPY);
  }
  if (!text.empty()) ::DrawTextW(offscreen.get(), text.c_str(), -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  ::BitBlt(screen.get(), 0, 0, width, height, offscreen.get(), 0, 0, SRCCOPY);
}

bool CSkinBtn::CursorInside() const {
  RECT window{};
  POINT cursor{};
  ::GetWindowRect(hwnd_, &window);
  ::GetCursorPos(&cursor);
  return ::PtInRect(&window, cursor) != 0;
}

LRESULT CSkinBtn::OnMouseMove(WPARAM wParam, LPARAM lParam) {
  if (!hovering_ && enabled_) {
    hovering_ = 1;
    state_ = DrawState::Hover;
    if (!CursorInside()) {
      ::SetTimer(hwnd_, kHoverTimer, kHoverPeriod, nullptr);
      return 0;
    }
    Paint();
    ::SetTimer(hwnd_, kHoverTimer, kHoverPeriod, nullptr);
  }
  return Default(WM_MOUSEMOVE, wParam, lParam);
}

LRESULT CSkinBtn::OnTimer(WPARAM wParam, LPARAM lParam) {
  if (wParam == kHoverTimer && hovering_ && enabled_ && !CursorInside()) {
    ::KillTimer(hwnd_, kHoverTimer);
    hovering_ = 0;
    state_ = DrawState::Normal;
    Paint();
  }
  return Default(WM_TIMER, wParam, lParam);
}

LRESULT CSkinBtn::OnEraseBackground(WPARAM wParam, LPARAM) {
  if (!backgroundCaptured_) {
    auto erase = reinterpret_cast<HDC>(wParam);
    RECT client{};
    ::GetClientRect(hwnd_, &client);
    background_.Reset(::CreateCompatibleDC(erase));
    backgroundBitmap_.Reset(::CreateCompatibleBitmap(erase, client.right, client.bottom));
    ::SelectObject(background_.get(), backgroundBitmap_.get());
    ::BitBlt(background_.get(), 0, 0, client.right, client.bottom, erase, 0, 0, SRCCOPY);
    backgroundCaptured_ = 1;
    ::SetWindowRgn(hwnd_, ::CreateRectRgn(0, 0, client.right, client.bottom), TRUE);
  }
  return TRUE;
}

LRESULT CSkinBtn::OnSetCursor(WPARAM, LPARAM) { return TRUE; }

LRESULT CSkinBtn::OnEnable(WPARAM wParam, LPARAM lParam) {
  LRESULT result = Default(WM_ENABLE, wParam, lParam);
  enabled_ = wParam ? 1 : 0;
  return result;
}

}  // namespace corvanel::ui
