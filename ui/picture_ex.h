// A static control that plays an animated GIF: the frames are cut apart by
// the portable splitter, each decoded once by the system's picture loader,
// and played on a thread of their own into an off-screen frame buffer that
// the control copies to the screen when it paints.
#pragma once

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "ui/dialog_layer.h"

namespace corvanel::ui {

class CPictureEx : public Control {
 public:
  CPictureEx();
  ~CPictureEx() override;

  // A resource of type "GIF" of the program; false when there is none or it
  // cannot be decoded (the control is then empty).
  bool LoadFromResource(int id);
  // Decodes size bytes of a global memory block, which stays the caller's.
  bool LoadFromMemory(HGLOBAL block, DWORD size);
  // Plays a GIF of several frames on the frame thread (false); draws a single
  // picture at once (true when it could). False when nothing is loaded.
  bool StartAnimation();
  void StopAnimation();
  void Unload();

  int frameCount() const;
  int currentFrame() const;
  bool playing() const { return static_cast<bool>(threadHandle_); }
  SIZE size() const { return {width_, height_}; }

 protected:
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

 private:
  struct GifFrame {
    IPicture* picture = nullptr;
    int width = 0, height = 0, left = 0, top = 0;
    int delay = 0;  // hundredths of a second
    int disposal = 0;
  };
  // What the frame thread touches; shared with it, so that nothing it may
  // still use is released while it runs.
  struct Animation {
    ~Animation();
    std::vector<GifFrame> frames;
    int width = 0, height = 0;
    COLORREF backgroundColor = RGB(255, 255, 255);
    HWND window = nullptr;
    OwnedMemoryDc frameDc;
    OwnedBitmap frameBitmap;
    HGDIOBJ frameDcDefault = nullptr;
    OwnedMemoryDc saveDc;
    OwnedBitmap saveBitmap;
    std::atomic<int> currentFrame{0};
    std::atomic<int> exitRequested{0};
    OwnedHandle exitEvent;
    std::mutex frameBuffer;  // the frame thread draws while the window paints
  };

  static std::span<const MessageEntry<CPictureEx>> MessageMap();
  static DWORD WINAPI FrameThread(void* parameter);
  static void DisposeFrame(Animation& animation, const GifFrame& frame);

  bool PrepareFrameBuffer(int width, int height);

  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnDestroy(WPARAM, LPARAM);
  LRESULT OnLeftButtonDown(WPARAM, LPARAM);
  LRESULT OnMouseMove(WPARAM, LPARAM) { return 0; }
  LRESULT OnSetCursor(WPARAM, LPARAM) { return TRUE; }

  int width_ = 0, height_ = 0;
  bool isGif_ = false;
  bool frameBufferReady_ = false;
  IPicture* picture_ = nullptr;  // a single still picture
  std::shared_ptr<Animation> animation_;
  OwnedHandle threadHandle_;  // the frame thread while one plays
};

}  // namespace corvanel::ui
