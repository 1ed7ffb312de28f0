// GIF frame splitting for the animated picture control.
#include "ui/gif_frames.h"

#include <utility>

#include "base/byte_reader.h"

namespace corvanel::ui {

namespace {

// Logical screen descriptor fields.
constexpr std::size_t kScreenWidth = 6;
constexpr std::size_t kScreenHeight = 8;
constexpr std::size_t kScreenPacked = 10;
constexpr std::size_t kScreenDescriptorEnd = 13;

constexpr std::uint8_t kExtensionIntroducer = 0x21;
constexpr std::uint8_t kImageSeparator = 0x2C;
constexpr std::uint8_t kTrailer = 0x3B;
constexpr std::uint8_t kApplicationLabel = 0xFF;
constexpr std::uint8_t kCommentLabel = 0xFE;
constexpr std::uint8_t kGraphicControlLabel = 0xF9;
constexpr std::uint8_t kPlainTextLabel = 0x01;

// Fixed parts of the blocks, up to where their sub-blocks start.
constexpr std::size_t kApplicationHeader = 14;  // 21 FF 0B, identifier and authentication code
constexpr std::size_t kCommentHeader = 2;
constexpr std::size_t kGraphicControlLength = 8;  // 21 F9 04, four data bytes, terminator
constexpr std::size_t kPlainTextHeader = 15;      // 21 01 0C, twelve grid and colour bytes
constexpr std::size_t kImageDescriptorLength = 10;

// Graphic control extension fields.
constexpr std::size_t kControlPacked = 3;
constexpr std::size_t kControlDelay = 4;

// Image descriptor fields.
constexpr std::size_t kImageLeft = 1;
constexpr std::size_t kImageTop = 3;
constexpr std::size_t kImageWidth = 5;
constexpr std::size_t kImageHeight = 7;
constexpr std::size_t kImagePacked = 9;

enum class BlockKind { kApplication, kComment, kGraphicControl, kPlainText, kImage, kTrailer, kUnusable };

struct Block {
  BlockKind kind = BlockKind::kUnusable;
  std::size_t length = 0;  // set for the kinds that end within the data
};

// Where one frame lies in the file.
struct FrameLocation {
  std::size_t start = 0;  // its graphic control extension, else its image descriptor
  std::optional<std::size_t> graphicControl;
  std::size_t imageDescriptor = 0;
  std::size_t end = 0;  // just past its image data
};

// Colour tables hold 2^(bits 0-2 + 1) RGB triples when bit 7 is set.
std::uint32_t ColourTableSize(std::uint8_t packed) {
  if ((packed & 0x80) == 0) return 0;
  return 3u << ((packed & 7) + 1);
}

// Length of the data sub-block chain at offset, its zero terminator included;
// nullopt when the chain runs past the end.
std::optional<std::size_t> SubBlocksLength(const ByteReader& gif, std::size_t offset) {
  std::size_t position = offset;
  for (;;) {
    std::optional<std::uint8_t> size = gif.U8(position);
    if (!size) return std::nullopt;
    if (*size == 0) return position + 1 - offset;
    // position < gif.size() here, so adding at most 256 cannot wrap
    position += 1 + std::size_t{*size};
  }
}

// A block of fixed header length followed by sub-blocks.
Block WithSubBlocks(const ByteReader& gif, BlockKind kind, std::size_t offset, std::size_t header) {
  if (!gif.Has(offset, header)) return {};
  std::optional<std::size_t> chain = SubBlocksLength(gif, offset + header);
  if (!chain) return {};
  return {kind, header + *chain};
}

// The kind and length of the block at offset. A block that does not end
// within the data is unusable like an unknown one.
Block ReadBlock(const ByteReader& gif, std::size_t offset) {
  std::optional<std::uint8_t> introducer = gif.U8(offset);
  if (!introducer) return {};
  if (*introducer == kTrailer) return {BlockKind::kTrailer, 1};
  if (*introducer == kImageSeparator) {
    std::optional<std::uint8_t> packed = gif.U8(offset + kImagePacked);
    if (!packed) return {};
    // The LZW minimum code size byte follows the local table; the chain after it.
    std::size_t header = kImageDescriptorLength + ColourTableSize(*packed) + 1;
    return WithSubBlocks(gif, BlockKind::kImage, offset, header);
  }
  if (*introducer != kExtensionIntroducer) return {};
  std::optional<std::uint8_t> label = gif.U8(offset + 1);
  if (!label) return {};
  switch (*label) {
    case kApplicationLabel:
      return WithSubBlocks(gif, BlockKind::kApplication, offset, kApplicationHeader);
    case kCommentLabel:
      return WithSubBlocks(gif, BlockKind::kComment, offset, kCommentHeader);
    case kPlainTextLabel:
      return WithSubBlocks(gif, BlockKind::kPlainText, offset, kPlainTextHeader);
    case kGraphicControlLabel:
      if (!gif.Has(offset, kGraphicControlLength)) return {};
      return {BlockKind::kGraphicControl, kGraphicControlLength};
    default:
      return {};
  }
}

// The next frame with an image from offset on. Every usable block has a
// length of at least 1, so each turn moves on and the walk ends.
std::optional<FrameLocation> LocateNextFrame(const ByteReader& gif, std::size_t offset) {
  std::optional<std::size_t> graphicControl;
  for (;;) {
    Block block = ReadBlock(gif, offset);
    switch (block.kind) {
      case BlockKind::kApplication:
      case BlockKind::kComment:
        // Before a control extension they are left out of the frame; after
        // one they lie inside the frame's span and are copied once with it.
        break;
      case BlockKind::kGraphicControl:
        // A second control extension before any image: the first governed
        // nothing, so the frame starts at the later one and carries only it.
        graphicControl = offset;
        break;
      case BlockKind::kPlainText:
        // Text is drawn by no picture loader: the text frame and the control
        // extension that belongs to it are skipped.
        graphicControl.reset();
        break;
      case BlockKind::kImage:
        return FrameLocation{graphicControl.value_or(offset), graphicControl, offset, offset + block.length};
      case BlockKind::kTrailer:
      case BlockKind::kUnusable:
        return std::nullopt;
    }
    offset += block.length;
  }
}

}  // namespace

bool HasGifSignature(std::span<const std::uint8_t> bytes) { return ByteReader(bytes).Matches(0, "GIF"); }

std::optional<GifScreen> ReadGifScreen(std::span<const std::uint8_t> gif) {
  ByteReader reader(gif);
  if (!reader.Matches(0, "GIF") || !reader.Has(0, kScreenDescriptorEnd)) return std::nullopt;
  GifScreen screen;
  screen.width = *reader.U16(kScreenWidth);
  screen.height = *reader.U16(kScreenHeight);
  screen.globalTableSize = ColourTableSize(*reader.U8(kScreenPacked));
  // Every one-frame GIF copies the global table, so it must be all there.
  if (!reader.Has(0, screen.FirstBlockOffset())) return std::nullopt;
  return screen;
}

bool SkipNextFrame(std::span<const std::uint8_t> gif, std::size_t& parseOffset) {
  std::optional<FrameLocation> frame = LocateNextFrame(ByteReader(gif), parseOffset);
  if (!frame) return false;
  parseOffset = frame->end;
  return true;
}

std::optional<OneFrameGif> ExtractNextFrame(std::span<const std::uint8_t> gif, const GifScreen& screen,
                                            std::size_t& parseOffset) {
  ByteReader reader(gif);
  std::size_t headerLength = screen.FirstBlockOffset();
  if (!reader.Has(0, headerLength)) return std::nullopt;
  std::optional<FrameLocation> location = LocateNextFrame(reader, parseOffset);
  if (!location) return std::nullopt;

  OneFrameGif frame;
  if (location->graphicControl) {
    frame.delay = *reader.U16(*location->graphicControl + kControlDelay);
    frame.disposal = (*reader.U8(*location->graphicControl + kControlPacked) >> 2) & 7;
  }
  frame.left = *reader.U16(location->imageDescriptor + kImageLeft);
  frame.top = *reader.U16(location->imageDescriptor + kImageTop);
  frame.width = *reader.U16(location->imageDescriptor + kImageWidth);
  frame.height = *reader.U16(location->imageDescriptor + kImageHeight);

  std::span<const std::uint8_t> header = gif.first(headerLength);
  std::span<const std::uint8_t> blocks = gif.subspan(location->start, location->end - location->start);
  frame.bytes.reserve(header.size() + blocks.size() + 1);
  frame.bytes.insert(frame.bytes.end(), header.begin(), header.end());
  frame.bytes.insert(frame.bytes.end(), blocks.begin(), blocks.end());
  frame.bytes.push_back(kTrailer);

  parseOffset = location->end;
  return frame;
}

std::optional<GifAnimation> SplitGif(std::span<const std::uint8_t> gif) {
  std::optional<GifScreen> screen = ReadGifScreen(gif);
  if (!screen) return std::nullopt;
  GifAnimation animation{*screen, {}};
  std::size_t parseOffset = screen->FirstBlockOffset();
  while (std::optional<OneFrameGif> frame = ExtractNextFrame(gif, *screen, parseOffset))
    animation.frames.push_back(std::move(*frame));
  if (animation.frames.empty()) return std::nullopt;
  return animation;
}

}  // namespace corvanel::ui
