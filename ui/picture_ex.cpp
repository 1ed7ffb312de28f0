// The animated picture.
#include "ui/picture_ex.h"

#include <objbase.h>

#include <cstring>
#include <span>

#include "ui/gif_frames.h"

namespace corvanel::ui {
namespace {

constexpr DWORD kStopWait = 5000;       // ms the frame thread gets to end
constexpr int kHimetricPerInch = 2540;
constexpr DWORD kShortestFrame = 100;   // ms: no animation runs faster than 10 frames a second

// Decodes bytes with the system's picture loader; nullptr when it cannot.
IPicture* LoadPicture(const std::uint8_t* bytes, std::size_t size) {
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (!block) return nullptr;
  if (void* target = ::GlobalLock(block)) {
    std::memcpy(target, bytes, size);
    ::GlobalUnlock(block);
  }
  IStream* stream = nullptr;
  if (FAILED(::CreateStreamOnHGlobal(block, TRUE, &stream))) {
    ::GlobalFree(block);
    return nullptr;
  }
  IPicture* picture = nullptr;
  if (FAILED(::OleLoadPicture(stream, static_cast<LONG>(size), FALSE, IID_IPicture,
                              reinterpret_cast<void**>(&picture))))
    picture = nullptr;
  stream->Release();  // frees the block
  return picture;
}

// Draws the whole picture into a rectangle of dc, top-down (HIMETRIC runs bottom-up).
bool Render(IPicture* picture, HDC dc, int left, int top, int width, int height) {
  OLE_XSIZE_HIMETRIC himetricWidth = 0;
  OLE_YSIZE_HIMETRIC himetricHeight = 0;
  picture->get_Width(&himetricWidth);
  picture->get_Height(&himetricHeight);
  return SUCCEEDED(
      picture->Render(dc, left, top, width, height, 0, himetricHeight, himetricWidth, -himetricHeight, nullptr));
}

}  // namespace

CPictureEx::Animation::~Animation() {
  for (GifFrame& frame : frames)
    if (frame.picture) frame.picture->Release();
  if (frameDc && frameDcDefault) ::SelectObject(frameDc.get(), frameDcDefault);
}

CPictureEx::CPictureEx() : animation_(std::make_shared<Animation>()) {
  animation_->exitEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CPictureEx::~CPictureEx() { Unload(); }

std::span<const MessageEntry<CPictureEx>> CPictureEx::MessageMap() {
  static constexpr MessageEntry<CPictureEx> kMap[] = {
      {WM_PAINT, 0, 0, &CPictureEx::OnPaint},
      {WM_DESTROY, 0, 0, &CPictureEx::OnDestroy},
      {WM_LBUTTONDOWN, 0, 0, &CPictureEx::OnLeftButtonDown},
      {WM_MOUSEMOVE, 0, 0, &CPictureEx::OnMouseMove},
      {WM_SETCURSOR, 0, 0, &CPictureEx::OnSetCursor},
  };
  return kMap;
}

bool CPictureEx::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return DispatchMessageMap(this, MessageMap(), message, wParam, lParam, result);
}

int CPictureEx::frameCount() const { return static_cast<int>(animation_->frames.size()); }
int CPictureEx::currentFrame() const { return animation_->currentFrame; }

bool CPictureEx::LoadFromResource(int id) {
  HMODULE module = Application::Instance();
  HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"GIF");
  if (!resource) return false;
  HGLOBAL loaded = ::LoadResource(module, resource);
  DWORD size = ::SizeofResource(module, resource);
  const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
  if (!bytes || size == 0) return false;
  HGLOBAL block = ::GlobalAlloc(GMEM_MOVEABLE, size);
  if (!block) return false;
  if (void* target = ::GlobalLock(block)) {
    std::memcpy(target, bytes, size);
    ::GlobalUnlock(block);
  }
  bool loadedOk = LoadFromMemory(block, size);
  ::GlobalFree(block);
  return loadedOk;
}

bool CPictureEx::LoadFromMemory(HGLOBAL block, DWORD size) {
  Unload();
  const auto* data = static_cast<const std::uint8_t*>(::GlobalLock(block));
  if (!data) return false;
  const std::span<const std::uint8_t> bytes(data, size);
  if (!HasGifSignature(bytes)) {
    picture_ = LoadPicture(data, size);
    ::GlobalUnlock(block);
    if (!picture_) return false;
    OLE_XSIZE_HIMETRIC himetricWidth = 0;
    OLE_YSIZE_HIMETRIC himetricHeight = 0;
    picture_->get_Width(&himetricWidth);
    picture_->get_Height(&himetricHeight);
    WindowDc screen(nullptr);
    width_ = ::MulDiv(himetricWidth, ::GetDeviceCaps(screen.get(), LOGPIXELSX), kHimetricPerInch);
    height_ = ::MulDiv(himetricHeight, ::GetDeviceCaps(screen.get(), LOGPIXELSY), kHimetricPerInch);
    return PrepareFrameBuffer(width_, height_);
  }
  isGif_ = true;
  std::optional<GifAnimation> gif = SplitGif(bytes);
  if (!gif) {
    ::GlobalUnlock(block);
    return false;
  }
  width_ = gif->screen.width;
  height_ = gif->screen.height;
  if (gif->frames.size() == 1) {
    picture_ = LoadPicture(data, size);
    ::GlobalUnlock(block);
    return picture_ && PrepareFrameBuffer(width_, height_);
  }
  for (const OneFrameGif& frame : gif->frames) {
    IPicture* picture = LoadPicture(frame.bytes.data(), frame.bytes.size());
    if (!picture) continue;  // left out of the animation
    animation_->frames.push_back({picture, frame.width, frame.height, frame.left, frame.top, frame.delay,
                                  frame.disposal});
  }
  ::GlobalUnlock(block);
  if (animation_->frames.empty()) return false;
  return PrepareFrameBuffer(width_, height_);
}

bool CPictureEx::PrepareFrameBuffer(int width, int height) {
  if (!hwnd_) return false;
  ::SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER);
  Animation& animation = *animation_;
  WindowDc screen(hwnd_);
  animation.frameDc.Reset(::CreateCompatibleDC(screen.get()));
  animation.frameBitmap.Reset(::CreateCompatibleBitmap(screen.get(), width, height));
  if (!animation.frameDc || !animation.frameBitmap) {
    animation.frameDc.Reset();
    animation.frameBitmap.Reset();
    return false;
  }
  animation.frameDcDefault = ::SelectObject(animation.frameDc.get(), animation.frameBitmap.get());
  animation.width = width;
  animation.height = height;
  animation.window = hwnd_;
  animation.backgroundColor = ::GetSysColor(COLOR_BTNFACE);
  RECT all{0, 0, width, height};
  ::FillRect(animation.frameDc.get(), &all, reinterpret_cast<HBRUSH>(COLOR_MENU + 1));
  frameBufferReady_ = true;
  return true;
}

bool CPictureEx::StartAnimation() {
  if (!frameBufferReady_) return false;
  if (animation_->frames.size() > 1) {
    if (threadHandle_) return false;
    auto* shared = new std::shared_ptr<Animation>(animation_);
    threadHandle_.Reset(::CreateThread(nullptr, 0, FrameThread, shared, CREATE_SUSPENDED, nullptr));
    if (!threadHandle_) {
      delete shared;
      return false;
    }
    ::ResumeThread(threadHandle_.get());
    return false;
  }
  if (!picture_) return false;
  bool rendered;
  {
    std::lock_guard lock(animation_->frameBuffer);
    rendered = Render(picture_, animation_->frameDc.get(), 0, 0, width_, height_);
  }
  if (rendered) ::InvalidateRect(hwnd_, nullptr, FALSE);
  return rendered;
}

void CPictureEx::DisposeFrame(Animation& animation, const GifFrame& frame) {
  RECT area{frame.left, frame.top, frame.left + frame.width, frame.top + frame.height};
  if (frame.disposal == 2) {
    OwnedBrush brush(::CreateSolidBrush(animation.backgroundColor));
    ::FillRect(animation.frameDc.get(), &area, brush.get());
  } else if (frame.disposal == 3 && animation.saveDc) {
    ::BitBlt(animation.frameDc.get(), frame.left, frame.top, frame.width, frame.height, animation.saveDc.get(), 0, 0,
             SRCCOPY);
    animation.saveDc.Reset();
    animation.saveBitmap.Reset();
  }
}

DWORD WINAPI CPictureEx::FrameThread(void* parameter) {
  // Holds the frames and the buffer until this thread ends, whatever happens
  // to the control meanwhile.
  std::unique_ptr<std::shared_ptr<Animation>> shared(static_cast<std::shared_ptr<Animation>*>(parameter));
  Animation& animation = **shared;
  const int count = static_cast<int>(animation.frames.size());
  if (count == 0) return 0;
  {
    std::lock_guard lock(animation.frameBuffer);
    DisposeFrame(animation, animation.frames[static_cast<std::size_t>(animation.currentFrame % count)]);
  }
  while (!animation.exitRequested) {
    const GifFrame& frame = animation.frames[static_cast<std::size_t>(animation.currentFrame % count)];
    if (frame.picture) {
      bool rendered;
      {
        std::lock_guard lock(animation.frameBuffer);
        if (frame.disposal == 3) {
          WindowDc screen(nullptr);
          animation.saveDc.Reset(::CreateCompatibleDC(screen.get()));
          animation.saveBitmap.Reset(::CreateCompatibleBitmap(screen.get(), frame.width, frame.height));
          ::SelectObject(animation.saveDc.get(), animation.saveBitmap.get());
          ::BitBlt(animation.saveDc.get(), 0, 0, frame.width, frame.height, animation.frameDc.get(), frame.left,
                   frame.top, SRCCOPY);
        }
        rendered = Render(frame.picture, animation.frameDc.get(), frame.left, frame.top, frame.width, frame.height);
      }
      if (rendered) ::InvalidateRect(animation.window, nullptr, FALSE);
      if (animation.exitRequested) break;
      const auto delay = static_cast<DWORD>(frame.delay);
      ::WaitForSingleObject(animation.exitEvent.get(), delay >= 5 && delay < 0x10000 ? delay * 10 : kShortestFrame);
      if (animation.exitRequested) break;
      std::lock_guard lock(animation.frameBuffer);
      DisposeFrame(animation, frame);
    }
    int next = animation.currentFrame + 1;
    if (next >= count) {
      next = 0;
      std::lock_guard lock(animation.frameBuffer);
      OwnedBrush brush(::CreateSolidBrush(animation.backgroundColor));
      RECT all{0, 0, animation.width, animation.height};
      ::FillRect(animation.frameDc.get(), &all, brush.get());
    }
    animation.currentFrame = next;
  }
  return 0;
}

void CPictureEx::StopAnimation() {
  Animation& animation = *animation_;
  animation.exitRequested = 1;
  ::SetEvent(animation.exitEvent.get());
  if (threadHandle_) {
    // A thread that has not ended by then keeps its own hold on the frames:
    // they are released when it ends, never under it.
    ::WaitForSingleObject(threadHandle_.get(), kStopWait);
    threadHandle_.Reset();
  }
  ::ResetEvent(animation.exitEvent.get());
  animation.exitRequested = 0;
}

void CPictureEx::Unload() {
  StopAnimation();
  if (picture_) picture_->Release();
  picture_ = nullptr;
  animation_ = std::make_shared<Animation>();
  animation_->exitEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  width_ = height_ = 0;
  isGif_ = false;
  frameBufferReady_ = false;
}

LRESULT CPictureEx::OnPaint(WPARAM, LPARAM) {
  PaintDc paint(hwnd_);
  std::lock_guard lock(animation_->frameBuffer);
  if (frameBufferReady_ && animation_->frameDc)
    ::BitBlt(paint.get(), 0, 0, width_, height_, animation_->frameDc.get(), 0, 0, SRCCOPY);
  return 0;
}

LRESULT CPictureEx::OnDestroy(WPARAM wParam, LPARAM lParam) {
  StopAnimation();
  return Default(WM_DESTROY, wParam, lParam);
}

LRESULT CPictureEx::OnLeftButtonDown(WPARAM, LPARAM) {
  ::SendMessageW(::GetParent(hwnd_), WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(hwnd_), 0),
                 reinterpret_cast<LPARAM>(hwnd_));
  return 0;
}

}  // namespace corvanel::ui
