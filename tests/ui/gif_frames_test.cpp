// GIF frame splitting: GIFs written by Pillow, hand-made blocks for the odd and
// the broken ones.
#include "ui/gif_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string_view>

namespace corvanel::ui {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Pillow 9.4: a 4 x 3 screen with a four-colour global table, the NETSCAPE
// loop block and a comment before four frames; frames 2-4 carry local tables,
// frame 2 is cropped to (1, 1) 2 x 1.
//   a, b, c, d = 'P' images; a.save(f, "GIF", save_all=True,
//     append_images=[b, c, d], duration=[70, 20, 130, 40], disposal=[1, 0, 3, 2],
//     loop=0, comment=b"hi")
constexpr std::array<std::uint8_t, 220> kPillowAnimation = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x04, 0x00, 0x03, 0x00, 0x81, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
    0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x21, 0xFF, 0x0B, 0x4E, 0x45, 0x54, 0x53,
    0x43, 0x41, 0x50, 0x45, 0x32, 0x2E, 0x30, 0x03, 0x01, 0x00, 0x00, 0x00, 0x21, 0xFE, 0x02, 0x68,
    0x69, 0x00, 0x21, 0xF9, 0x04, 0x04, 0x07, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x04,
    0x00, 0x03, 0x00, 0x00, 0x08, 0x08, 0x00, 0x01, 0x08, 0x1C, 0x48, 0x50, 0x60, 0x40, 0x00, 0x21,
    0xF9, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x01, 0x00,
    0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x05, 0x00,
    0x03, 0x04, 0x08, 0x08, 0x00, 0x21, 0xF9, 0x04, 0x0C, 0x0D, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00,
    0x00, 0x00, 0x04, 0x00, 0x03, 0x00, 0x81, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x09, 0x09, 0x09,
    0x07, 0x07, 0x07, 0x08, 0x0C, 0x00, 0x01, 0x08, 0x1C, 0x28, 0x50, 0xC0, 0x00, 0x00, 0x01, 0x02,
    0x02, 0x00, 0x21, 0xF9, 0x04, 0x08, 0x04, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x04,
    0x00, 0x03, 0x00, 0x82, 0x00, 0x00, 0xFF, 0x00, 0xFF, 0x00, 0x09, 0x09, 0x09, 0x07, 0x07, 0x07,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x0C, 0x00, 0x01,
    0x08, 0x1C, 0x08, 0x20, 0x80, 0x80, 0x01, 0x05, 0x03, 0x02, 0x00, 0x3B,
};
constexpr std::size_t kPillowHeaderLength = 13 + 12;
constexpr std::size_t kPillowFirstControl = 50;  // after the NETSCAPE block (19) and the comment (6)

// Pillow 9.4, a still 2 x 2 picture: GIF87a, no graphic control extension.
//   im = Image.new("P", (2, 2)); im.putpalette([0, 0, 0, 255, 255, 0])
//   im.putdata([0, 1, 1, 0]); im.save(f, "GIF")
constexpr std::array<std::uint8_t, 46> kPillowStill = {
    0x47, 0x49, 0x46, 0x38, 0x37, 0x61, 0x02, 0x00, 0x02, 0x00, 0x81, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2C, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
    0x02, 0x00, 0x00, 0x08, 0x07, 0x00, 0x01, 0x04, 0x08, 0x00, 0x20, 0x20, 0x00, 0x3B,
};

// Writes GIF blocks by hand. Images are all colour 0, coded with 3-bit LZW
// codes and a clear code before every second pixel so the code width never
// grows; Pillow decodes what it writes.
class GifWriter {
 public:
  // tableBits < 0: no global colour table.
  GifWriter(std::uint16_t width, std::uint16_t height, int tableBits) {
    Text("GIF89a");
    U16(width);
    U16(height);
    bytes_.push_back(TablePacked(tableBits));
    bytes_.push_back(0);  // background colour
    bytes_.push_back(0);  // pixel ratio: not given
    ColourTable(tableBits);
  }

  GifWriter& Loop() {
    bytes_.insert(bytes_.end(), {0x21, 0xFF, 0x0B});
    Text("NETSCAPE2.0");
    bytes_.insert(bytes_.end(), {0x03, 0x01, 0x00, 0x00, 0x00});
    return *this;
  }

  GifWriter& Comment(std::string_view text) {
    bytes_.insert(bytes_.end(), {0x21, 0xFE});
    SubBlocks(Bytes(text.begin(), text.end()));
    return *this;
  }

  GifWriter& Control(std::uint16_t delay, std::uint8_t disposal) {
    bytes_.insert(bytes_.end(), {0x21, 0xF9, 0x04, static_cast<std::uint8_t>(disposal << 2)});
    U16(delay);
    bytes_.insert(bytes_.end(), {0x00, 0x00});
    return *this;
  }

  GifWriter& PlainText(std::string_view text) {
    bytes_.insert(bytes_.end(), {0x21, 0x01, 0x0C});
    bytes_.insert(bytes_.end(), {0, 0, 0, 0, 8, 0, 8, 0, 8, 8, 1, 0});  // grid, cell size, colours
    SubBlocks(Bytes(text.begin(), text.end()));
    return *this;
  }

  GifWriter& Image(std::uint16_t left, std::uint16_t top, std::uint16_t width, std::uint16_t height,
                   int tableBits = -1) {
    bytes_.push_back(0x2C);
    U16(left);
    U16(top);
    U16(width);
    U16(height);
    bytes_.push_back(TablePacked(tableBits));
    ColourTable(tableBits);
    bytes_.push_back(2);  // LZW minimum code size
    SubBlocks(Lzw(std::size_t{width} * height));
    return *this;
  }

  GifWriter& Raw(std::initializer_list<std::uint8_t> raw) {
    bytes_.insert(bytes_.end(), raw);
    return *this;
  }

  Bytes Trailer() {
    bytes_.push_back(0x3B);
    return bytes_;
  }
  Bytes Unfinished() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  static std::uint8_t TablePacked(int tableBits) {
    return tableBits < 0 ? 0 : static_cast<std::uint8_t>(0x80 | tableBits);
  }

  void ColourTable(int tableBits) {
    if (tableBits < 0) return;
    for (int entry = 0; entry < (2 << tableBits); ++entry)
      bytes_.insert(bytes_.end(), {static_cast<std::uint8_t>(entry * 37), static_cast<std::uint8_t>(entry), 0x80});
  }

  void Text(std::string_view text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }

  void U16(std::uint16_t value) {
    bytes_.push_back(static_cast<std::uint8_t>(value));
    bytes_.push_back(static_cast<std::uint8_t>(value >> 8));
  }

  void SubBlocks(const Bytes& data) {
    for (std::size_t at = 0; at < data.size(); at += 255) {
      std::size_t length = std::min<std::size_t>(255, data.size() - at);
      bytes_.push_back(static_cast<std::uint8_t>(length));
      bytes_.insert(bytes_.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    bytes_.push_back(0);
  }

  static Bytes Lzw(std::size_t pixels) {
    constexpr unsigned kClear = 4, kEnd = 5;
    Bytes out;
    unsigned bitCount = 0;
    auto code = [&](unsigned value) {
      for (unsigned bit = 0; bit < 3; ++bit, ++bitCount) {
        if (bitCount % 8 == 0) out.push_back(0);
        out.back() = static_cast<std::uint8_t>(out.back() | ((value >> bit) & 1) << (bitCount % 8));
      }
    };
    for (std::size_t pixel = 0; pixel < pixels; ++pixel) {
      if (pixel % 2 == 0) code(kClear);
      code(0);
    }
    code(kEnd);
    return out;
  }

  Bytes bytes_;
};

// Every frame with the offsets SkipNextFrame stops at, which must be where
// ExtractNextFrame stops too.
struct Walk {
  std::vector<OneFrameGif> frames;
  std::vector<std::size_t> ends;
};

Walk WalkFrames(std::span<const std::uint8_t> gif) {
  Walk walk;
  std::optional<GifScreen> screen = ReadGifScreen(gif);
  if (!screen) return walk;
  std::size_t skipOffset = screen->FirstBlockOffset();
  std::size_t extractOffset = skipOffset;
  for (;;) {
    std::size_t before = skipOffset;
    bool skipped = SkipNextFrame(gif, skipOffset);
    std::optional<OneFrameGif> frame = ExtractNextFrame(gif, *screen, extractOffset);
    EXPECT_EQ(skipped, frame.has_value());
    EXPECT_EQ(skipOffset, extractOffset);
    if (!skipped || !frame) return walk;
    if (skipOffset <= before) {
      ADD_FAILURE() << "frame walk stuck at " << skipOffset;
      return walk;
    }
    walk.frames.push_back(std::move(*frame));
    walk.ends.push_back(skipOffset);
  }
}

struct Facts {
  std::int32_t delay, disposal, left, top, width, height;
  bool operator==(const Facts&) const = default;
};

Facts FactsOf(const OneFrameGif& frame) {
  return {frame.delay, frame.disposal, frame.left, frame.top, frame.width, frame.height};
}

void PrintTo(const Facts& f, std::ostream* out) {
  *out << "delay " << f.delay << " disposal " << f.disposal << " at " << f.left << "," << f.top << " size "
       << f.width << "x" << f.height;
}

// A one-frame GIF must read back as one frame with the same facts, under the
// same screen, starting with the source's header and global table.
void ExpectStandsAlone(std::span<const std::uint8_t> source, const OneFrameGif& frame) {
  std::optional<GifScreen> screen = ReadGifScreen(source);
  ASSERT_TRUE(screen);
  ASSERT_GT(frame.bytes.size(), screen->FirstBlockOffset());
  EXPECT_TRUE(std::equal(source.begin(), source.begin() + static_cast<std::ptrdiff_t>(screen->FirstBlockOffset()),
                         frame.bytes.begin()));
  EXPECT_EQ(frame.bytes.back(), 0x3B);
  std::optional<GifAnimation> again = SplitGif(frame.bytes);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->screen.width, screen->width);
  EXPECT_EQ(again->screen.height, screen->height);
  ASSERT_EQ(again->frames.size(), 1u);
  EXPECT_EQ(FactsOf(again->frames[0]), FactsOf(frame));
  EXPECT_EQ(again->frames[0].bytes, frame.bytes);
}

Bytes ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

TEST(GifScreen, SizeAndGlobalTable) {
  std::optional<GifScreen> screen = ReadGifScreen(kPillowAnimation);
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->width, 4);
  EXPECT_EQ(screen->height, 3);
  EXPECT_EQ(screen->globalTableSize, 12u);
  EXPECT_EQ(screen->FirstBlockOffset(), kPillowHeaderLength);

  screen = ReadGifScreen(kPillowStill);
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->globalTableSize, 12u);

  // Widest table (256 colours) and none at all.
  screen = ReadGifScreen(GifWriter(300, 200, 7).Trailer());
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->width, 300);
  EXPECT_EQ(screen->height, 200);
  EXPECT_EQ(screen->globalTableSize, 768u);
  screen = ReadGifScreen(GifWriter(1, 1, -1).Trailer());
  ASSERT_TRUE(screen);
  EXPECT_EQ(screen->globalTableSize, 0u);
}

TEST(GifScreen, NotAGif) {
  const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0x0D, 'I', 'H', 'D', 'R'};
  EXPECT_FALSE(HasGifSignature(png));
  EXPECT_FALSE(ReadGifScreen(png));
  EXPECT_FALSE(SplitGif(png));
  EXPECT_FALSE(HasGifSignature(Bytes{}));
  EXPECT_FALSE(HasGifSignature(Bytes{'G', 'I'}));
  EXPECT_FALSE(SplitGif(Bytes{}));

  // The signature alone, a screen descriptor cut short, a global table cut short.
  const Bytes signature = {'G', 'I', 'F'};
  EXPECT_TRUE(HasGifSignature(signature));
  EXPECT_FALSE(ReadGifScreen(signature));
  Bytes still(kPillowStill.begin(), kPillowStill.end());
  EXPECT_FALSE(ReadGifScreen(Bytes(still.begin(), still.begin() + 12)));
  EXPECT_FALSE(ReadGifScreen(Bytes(still.begin(), still.begin() + 13 + 11)));
  EXPECT_TRUE(ReadGifScreen(Bytes(still.begin(), still.begin() + 13 + 12)));
}

TEST(GifSplit, NoFrames) {
  // Only the trailer, or only extensions: a GIF without a frame.
  Bytes empty = GifWriter(4, 4, 0).Trailer();
  std::size_t offset = 13 + 6;
  EXPECT_FALSE(SkipNextFrame(empty, offset));
  EXPECT_EQ(offset, 13u + 6);
  EXPECT_FALSE(SplitGif(empty));
  EXPECT_FALSE(SplitGif(GifWriter(4, 4, 0).Loop().Comment("x").Trailer()));
  // A control extension with no image after it.
  EXPECT_FALSE(SplitGif(GifWriter(4, 4, 0).Control(5, 1).Trailer()));
}

TEST(GifSplit, PillowAnimation) {
  std::optional<GifAnimation> animation = SplitGif(kPillowAnimation);
  ASSERT_TRUE(animation);
  EXPECT_EQ(animation->screen.width, 4);
  EXPECT_EQ(animation->screen.height, 3);
  ASSERT_EQ(animation->frames.size(), 4u);
  // delay, disposal, left, top, width, height
  EXPECT_EQ(FactsOf(animation->frames[0]), (Facts{7, 1, 0, 0, 4, 3}));
  EXPECT_EQ(FactsOf(animation->frames[1]), (Facts{2, 0, 1, 1, 2, 1}));
  EXPECT_EQ(FactsOf(animation->frames[2]), (Facts{13, 3, 0, 0, 4, 3}));
  EXPECT_EQ(FactsOf(animation->frames[3]), (Facts{4, 2, 0, 0, 4, 3}));

  // Frames are the file's bytes from each control extension on, back to back
  // up to the trailer; the loop block and the comment before frame 1 are left out.
  Walk walk = WalkFrames(kPillowAnimation);
  ASSERT_EQ(walk.frames.size(), 4u);
  std::size_t start = kPillowFirstControl;
  for (std::size_t i = 0; i < walk.frames.size(); ++i) {
    SCOPED_TRACE(i);
    const Bytes& bytes = walk.frames[i].bytes;
    ASSERT_EQ(bytes.size(), kPillowHeaderLength + (walk.ends[i] - start) + 1);
    EXPECT_TRUE(std::equal(kPillowAnimation.begin() + static_cast<std::ptrdiff_t>(start),
                           kPillowAnimation.begin() + static_cast<std::ptrdiff_t>(walk.ends[i]),
                           bytes.begin() + static_cast<std::ptrdiff_t>(kPillowHeaderLength)));
    EXPECT_EQ(bytes, animation->frames[i].bytes);
    ExpectStandsAlone(kPillowAnimation, walk.frames[i]);
    start = walk.ends[i];
  }
  EXPECT_EQ(walk.ends.back(), kPillowAnimation.size() - 1);
}

TEST(GifSplit, StillPictureWithoutControlExtension) {
  // No control extension: a bounded delay instead of an endless wait.
  std::optional<GifAnimation> still = SplitGif(kPillowStill);
  ASSERT_TRUE(still);
  ASSERT_EQ(still->frames.size(), 1u);
  EXPECT_EQ(FactsOf(still->frames[0]), (Facts{kDelayWithoutControlExtension, 0, 0, 0, 2, 2}));
  // A file of one frame comes out as itself.
  EXPECT_EQ(still->frames[0].bytes, Bytes(kPillowStill.begin(), kPillowStill.end()));

  // Mixed: only the second of three frames has a control extension.
  Bytes mixed = GifWriter(8, 8, 1).Image(0, 0, 8, 8).Control(300, 5).Image(2, 3, 4, 5).Image(1, 1, 2, 2).Trailer();
  std::optional<GifAnimation> animation = SplitGif(mixed);
  ASSERT_TRUE(animation);
  ASSERT_EQ(animation->frames.size(), 3u);
  EXPECT_EQ(FactsOf(animation->frames[0]), (Facts{10, 0, 0, 0, 8, 8}));
  EXPECT_EQ(FactsOf(animation->frames[1]), (Facts{300, 5, 2, 3, 4, 5}));
  EXPECT_EQ(FactsOf(animation->frames[2]), (Facts{10, 0, 1, 1, 2, 2}));
  for (const OneFrameGif& frame : animation->frames) ExpectStandsAlone(mixed, frame);
}

TEST(GifSplit, ExtensionsInsideAFrameAreCopiedOnce) {
  // Control extension, comment, image: the comment belongs to the frame once.
  GifWriter writer(6, 6, 2);
  writer.Loop();
  std::size_t header = 13 + 24;
  std::size_t control = writer.size();
  writer.Control(9, 1);
  std::size_t comment = writer.size();
  writer.Comment("between");
  std::size_t image = writer.size();
  writer.Image(1, 2, 3, 4, 0);
  std::size_t end = writer.size();
  writer.Control(5, 0).Comment(std::string(300, 'c')).Loop().Image(0, 0, 6, 6);
  Bytes gif = writer.Trailer();

  Walk walk = WalkFrames(gif);
  ASSERT_EQ(walk.frames.size(), 2u);
  EXPECT_EQ(walk.ends[0], end);
  EXPECT_EQ(walk.ends[1], gif.size() - 1);
  EXPECT_EQ(FactsOf(walk.frames[0]), (Facts{9, 1, 1, 2, 3, 4}));
  EXPECT_EQ(FactsOf(walk.frames[1]), (Facts{5, 0, 0, 0, 6, 6}));

  Bytes expected(gif.begin(), gif.begin() + static_cast<std::ptrdiff_t>(header));  // header + global table
  expected.insert(expected.end(), gif.begin() + static_cast<std::ptrdiff_t>(control),
                  gif.begin() + static_cast<std::ptrdiff_t>(comment));  // control extension
  expected.insert(expected.end(), gif.begin() + static_cast<std::ptrdiff_t>(comment),
                  gif.begin() + static_cast<std::ptrdiff_t>(image));  // comment
  expected.insert(expected.end(), gif.begin() + static_cast<std::ptrdiff_t>(image),
                  gif.begin() + static_cast<std::ptrdiff_t>(end));  // descriptor, local table, data
  expected.push_back(0x3B);
  EXPECT_EQ(walk.frames[0].bytes, expected);
  for (const OneFrameGif& frame : walk.frames) ExpectStandsAlone(gif, frame);
}

TEST(GifSplit, PlainTextFramesAreSkipped) {
  // Text with its own control extension, text without one, then an image:
  // the image's frame keeps only its own control extension.
  GifWriter writer(8, 8, 1);
  writer.Control(50, 3).PlainText("hello").PlainText("again");
  std::size_t control = writer.size();
  writer.Control(7, 1).Image(0, 0, 8, 8);
  std::size_t end = writer.size();
  Bytes gif = writer.PlainText("tail").Trailer();

  Walk walk = WalkFrames(gif);
  ASSERT_EQ(walk.frames.size(), 1u);
  EXPECT_EQ(FactsOf(walk.frames[0]), (Facts{7, 1, 0, 0, 8, 8}));
  EXPECT_EQ(walk.frames[0].bytes.size(), 13 + 12 + (end - control) + 1);
  ExpectStandsAlone(gif, walk.frames[0]);
  // Nothing but text: no frame at all.
  EXPECT_FALSE(SplitGif(GifWriter(8, 8, 1).Control(50, 3).PlainText("only").Trailer()));
  // The text's control extension does not pass on to an image without one.
  std::optional<GifAnimation> bare =
      SplitGif(GifWriter(8, 8, 1).Control(50, 3).PlainText("a").Image(0, 0, 8, 8).Trailer());
  ASSERT_TRUE(bare);
  ASSERT_EQ(bare->frames.size(), 1u);
  EXPECT_EQ(FactsOf(bare->frames[0]), (Facts{kDelayWithoutControlExtension, 0, 0, 0, 8, 8}));
}

TEST(GifSplit, LaterControlExtensionWins) {
  // Two control extensions before one image: the earlier governs nothing.
  GifWriter writer(4, 4, 0);
  writer.Control(80, 2).Comment("x");
  std::size_t second = writer.size();
  writer.Control(3, 1).Image(0, 0, 4, 4);
  std::size_t end = writer.size();
  Bytes gif = writer.Trailer();
  Walk walk = WalkFrames(gif);
  ASSERT_EQ(walk.frames.size(), 1u);
  EXPECT_EQ(FactsOf(walk.frames[0]), (Facts{3, 1, 0, 0, 4, 4}));
  EXPECT_EQ(walk.frames[0].bytes.size(), 13 + 6 + (end - second) + 1);
  ExpectStandsAlone(gif, walk.frames[0]);
}

TEST(GifSplit, StopsAtUnusableBlocks) {
  // Frames before an unknown extension label, a stray byte or the end of data
  // without a trailer are kept; nothing after them is read.
  GifWriter first(4, 4, 0);
  first.Control(5, 1).Image(0, 0, 4, 4);
  const Bytes oneFrame = first.Unfinished();
  auto followedBy = [&](std::initializer_list<std::uint8_t> stray) {
    GifWriter writer = first;
    return writer.Raw(stray).Control(6, 1).Image(0, 0, 4, 4).Trailer();
  };
  for (const Bytes& gif : {followedBy({0x21, 0x02, 0x01, 0x00, 0x00}), followedBy({0x00}), oneFrame}) {
    Walk walk = WalkFrames(gif);
    ASSERT_EQ(walk.frames.size(), 1u);
    EXPECT_EQ(walk.ends[0], oneFrame.size());
    std::size_t offset = oneFrame.size();
    EXPECT_FALSE(SkipNextFrame(gif, offset));
    EXPECT_EQ(offset, oneFrame.size());
  }
}

TEST(GifSplit, SubBlocksWithoutTerminator) {
  // The second frame's data lacks its zero terminator: the trailer is read as
  // a sub-block size that runs past the end, so only the first frame counts.
  GifWriter writer(4, 4, 0);
  writer.Control(5, 1).Image(0, 0, 4, 4);
  std::size_t end = writer.size();
  writer.Control(6, 1).Image(0, 0, 2, 2);
  Bytes gif = writer.Unfinished();
  ASSERT_EQ(gif.back(), 0x00);
  gif.back() = 0x3B;
  Walk walk = WalkFrames(gif);
  ASSERT_EQ(walk.frames.size(), 1u);
  EXPECT_EQ(walk.ends[0], end);

  // The same in a comment and an application block before the first frame.
  Bytes comment = GifWriter(4, 4, 0).Raw({0x21, 0xFE, 0x03, 'a', 'b', 'c'}).Trailer();
  EXPECT_FALSE(SplitGif(comment));
  Bytes loop = GifWriter(4, 4, 0).Loop().Unfinished();
  loop.pop_back();
  EXPECT_FALSE(SplitGif(loop));
}

TEST(GifSplit, EveryTruncation) {
  // Cut at every length, each copy exactly as long as its data so that a read
  // past the end shows under AddressSanitizer: exactly the frames that end
  // within the cut are found, with the same bytes as from the whole file.
  GifWriter writer(6, 6, 2);
  writer.Loop().Comment("before").Control(9, 1).Comment("between").Image(1, 2, 3, 4, 0);
  writer.PlainText("text").Control(5, 0).Image(0, 0, 6, 6);
  Bytes handMade = writer.Trailer();
  for (std::span<const std::uint8_t> whole : {std::span<const std::uint8_t>(kPillowAnimation),
                                              std::span<const std::uint8_t>(kPillowStill),
                                              std::span<const std::uint8_t>(handMade)}) {
    Walk full = WalkFrames(whole);
    ASSERT_FALSE(full.frames.empty());
    for (std::size_t length = 0; length < whole.size(); ++length) {
      SCOPED_TRACE(length);
      std::unique_ptr<std::uint8_t[]> cut(new std::uint8_t[length]);
      std::copy_n(whole.begin(), length, cut.get());
      Walk walk = WalkFrames(std::span<const std::uint8_t>(cut.get(), length));
      auto expected = static_cast<std::size_t>(std::count_if(full.ends.begin(), full.ends.end(),
                                                             [&](std::size_t end) { return end <= length; }));
      ASSERT_EQ(walk.frames.size(), expected);
      for (std::size_t i = 0; i < expected; ++i) EXPECT_EQ(walk.frames[i].bytes, full.frames[i].bytes);
    }
  }
}

TEST(GifSplit, LargeTablesAndData) {
  // 256-colour global and local tables, image data over several sub-blocks.
  Bytes gif = GifWriter(40, 30, 7).Control(3, 1).Image(0, 0, 40, 30, 7).Control(4, 1).Image(5, 5, 30, 20).Trailer();
  std::optional<GifAnimation> animation = SplitGif(gif);
  ASSERT_TRUE(animation);
  EXPECT_EQ(animation->screen.globalTableSize, 768u);
  ASSERT_EQ(animation->frames.size(), 2u);
  EXPECT_EQ(FactsOf(animation->frames[1]), (Facts{4, 1, 5, 5, 30, 20}));
  for (const OneFrameGif& frame : animation->frames) ExpectStandsAlone(gif, frame);
}

TEST(GifArtwork, PageAnimations) {
  const char* directory = std::getenv("CORVANEL_ARTWORK_DIR");
  if (!directory) GTEST_SKIP() << "CORVANEL_ARTWORK_DIR is not set";
  for (const char* name : {"139.gif", "140.gif"}) {
    SCOPED_TRACE(name);
    Bytes gif = ReadWholeFile(std::filesystem::path(directory) / name);
    ASSERT_FALSE(gif.empty());
    std::optional<GifAnimation> animation = SplitGif(gif);
    ASSERT_TRUE(animation);
    EXPECT_EQ(animation->screen.width, 60);
    EXPECT_EQ(animation->screen.height, 60);
    ASSERT_EQ(animation->frames.size(), 71u);
    int shortFrames = 0, longFrames = 0;
    for (const OneFrameGif& frame : animation->frames) {
      EXPECT_EQ(frame.disposal, 1);
      shortFrames += frame.delay == 3;
      longFrames += frame.delay == 13;
      ExpectStandsAlone(gif, frame);
    }
    EXPECT_EQ(shortFrames, 70);
    EXPECT_EQ(longFrames, 1);
  }
}

}  // namespace
}  // namespace corvanel::ui
