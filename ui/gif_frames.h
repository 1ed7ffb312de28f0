// Splits an animated GIF into one-frame GIFs that the system's picture loader
// can decode one by one, with each frame's place, delay and disposal.
//
// GIF89a layout walked here
//   0x00 "GIF87a" / "GIF89a"
//   0x06 logical screen width, height (u16 each)
//   0x0A packed: bit 7 global colour table, bits 0-2 its size
//   0x0D global colour table, then blocks up to the trailer 0x3B:
//     21 FF  application extension  14 bytes + sub-blocks
//     21 FE  comment extension       2 bytes + sub-blocks
//     21 F9  graphic control         8 bytes (delay u16 at 4, disposal in byte 3)
//     21 01  plain text extension   15 bytes + sub-blocks
//     2C     image descriptor       10 bytes + local colour table
//                                   + LZW code size byte + sub-blocks
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace corvanel::ui {

// Frames without a graphic control extension show this long (hundredths of a
// second) instead of waiting for ever.
inline constexpr std::int32_t kDelayWithoutControlExtension = 10;

// The logical screen descriptor and the size of the table after it.
struct GifScreen {
  std::uint16_t width = 0;
  std::uint16_t height = 0;
  std::uint32_t globalTableSize = 0;  // bytes; 0 when there is none

  // Where the first block after the header and global table starts.
  std::size_t FirstBlockOffset() const { return 13 + std::size_t{globalTableSize}; }
};

// One frame cut out as a GIF of its own.
struct OneFrameGif {
  std::vector<std::uint8_t> bytes;  // header, global table, frame blocks, trailer
  std::int32_t delay = kDelayWithoutControlExtension;  // hundredths of a second
  std::int32_t disposal = 0;                           // 0 when the frame has no control extension
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct GifAnimation {
  GifScreen screen;
  std::vector<OneFrameGif> frames;  // in file order, at least one
};

// Whether the bytes begin with "GIF" (anything else goes to the picture loader whole).
bool HasGifSignature(std::span<const std::uint8_t> bytes);

// The screen size and global table size; nullopt when the bytes are not a
// GIF or end before the global table does.
std::optional<GifScreen> ReadGifScreen(std::span<const std::uint8_t> gif);

// Moves parseOffset past the next frame: application, comment and plain text
// extensions before it, its graphic control extension, the extensions after
// that and its image descriptor with the image data. False, with parseOffset
// unchanged, at the trailer, an unknown block or one that ends beyond the data.
bool SkipNextFrame(std::span<const std::uint8_t> gif, std::size_t& parseOffset);

// Like SkipNextFrame, and cuts the frame out as a one-frame GIF. A frame runs
// from its graphic control extension (or its image descriptor when it has
// none) through the end of its image data. Plain text frames are passed over:
// the picture loader draws no text. nullopt, with parseOffset unchanged, where
// SkipNextFrame fails or when the header and global table of screen do not fit
// in gif.
std::optional<OneFrameGif> ExtractNextFrame(std::span<const std::uint8_t> gif, const GifScreen& screen,
                                            std::size_t& parseOffset);

// Every frame of a GIF up to the first block that cannot be used; nullopt
// when the bytes are not a GIF or hold no frame.
std::optional<GifAnimation> SplitGif(std::span<const std::uint8_t> gif);

}  // namespace corvanel::ui
