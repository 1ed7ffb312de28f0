// libFuzzer target: the GIF frame splitter over arbitrary bytes. Every frame
// it cuts out must read back as one frame with the same facts, and the
// counting walk must stop where the cutting walk does.
#include <cstdlib>

#include "ui/gif_frames.h"

namespace {

using corvanel::ui::OneFrameGif;

bool SameFacts(const OneFrameGif& a, const OneFrameGif& b) {
  return a.delay == b.delay && a.disposal == b.disposal && a.left == b.left && a.top == b.top &&
         a.width == b.width && a.height == b.height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace corvanel::ui;
  std::span<const std::uint8_t> gif(data, size);
  std::optional<GifScreen> screen = ReadGifScreen(gif);
  if (!screen) return 0;

  std::size_t skipOffset = screen->FirstBlockOffset();
  std::size_t extractOffset = skipOffset;
  std::size_t frameCount = 0;
  for (;;) {
    std::size_t before = skipOffset;
    bool skipped = SkipNextFrame(gif, skipOffset);
    std::optional<OneFrameGif> frame = ExtractNextFrame(gif, *screen, extractOffset);
    if (skipped != frame.has_value() || skipOffset != extractOffset) std::abort();
    if (!frame) break;
    if (skipOffset <= before || skipOffset > size) std::abort();
    ++frameCount;

    std::optional<GifAnimation> alone = SplitGif(frame->bytes);
    if (!alone || alone->frames.size() != 1 || alone->frames[0].bytes != frame->bytes ||
        !SameFacts(alone->frames[0], *frame) || alone->screen.width != screen->width ||
        alone->screen.height != screen->height)
      std::abort();
  }

  std::optional<GifAnimation> animation = SplitGif(gif);
  if ((animation ? animation->frames.size() : 0) != frameCount) std::abort();
  return 0;
}
