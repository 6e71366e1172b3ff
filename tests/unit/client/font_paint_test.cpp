#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/font.h"
#include "client/paint.h"

namespace nolv {
namespace {

constexpr std::uint32_t kInk = 0xE0E0E0;
constexpr std::uint32_t kBg = 0x202020;
constexpr std::uint32_t kGuard = 0xDEADBEEF;
constexpr std::size_t kGuardLen = 64;

// A w x h canvas with guard pixels before and after it, to catch writes outside the buffer.
struct Canvas {
  Canvas(std::uint32_t w, std::uint32_t h)
      : width(w), height(h), storage(kGuardLen * 2 + w * h, kGuard) {
    std::fill(pixels().begin(), pixels().end(), kBg);
  }
  std::span<std::uint32_t> pixels() {
    return std::span(storage).subspan(kGuardLen, std::size_t{width} * height);
  }
  std::uint32_t at(std::uint32_t x, std::uint32_t y) { return pixels()[y * width + x]; }
  bool guards_intact() const {
    for (std::size_t i = 0; i < kGuardLen; ++i) {
      if (storage[i] != kGuard || storage[storage.size() - 1 - i] != kGuard) return false;
    }
    return true;
  }
  // Rows of '#' for colour c and '.' otherwise, for readable comparisons.
  std::string picture(std::uint32_t c = kInk) {
    std::string out;
    for (std::uint32_t y = 0; y < height; ++y) {
      for (std::uint32_t x = 0; x < width; ++x) out += at(x, y) == c ? '#' : '.';
      out += '\n';
    }
    return out;
  }
  std::uint32_t width;
  std::uint32_t height;
  std::vector<std::uint32_t> storage;
};

bool glyph_bit(char c, std::uint32_t row, std::uint32_t col) {
  const auto index = static_cast<std::size_t>(static_cast<unsigned char>(c) - 0x20);
  return (font::FONT_8X16[index * 16 + row] >> col) & 1u;
}

TEST(Font, TableMatchesItsAsciiArtSource) {
  std::ifstream in(NOLV_TEST_DATA "/../../tools/font/font_8x16.txt");
  ASSERT_TRUE(in) << "font source not found";
  std::vector<std::string> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == ';' || line.rfind("== ", 0) == 0) continue;
    line.resize(8, '.');
    rows.push_back(line);
  }
  ASSERT_EQ(rows.size(), font::kFontBytes);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::uint8_t expected = 0;
    for (std::uint32_t bit = 0; bit < 8; ++bit) {
      if (rows[i][bit] == '#') expected |= static_cast<std::uint8_t>(1u << bit);
    }
    EXPECT_EQ(font::FONT_8X16[i], expected) << "glyph " << i / 16 << " row " << i % 16;
  }
}

TEST(Font, SpaceIsEmptyAndEveryOtherGlyphHasDistinctInk) {
  std::set<std::vector<std::uint8_t>> seen;
  for (std::size_t g = 0; g < font::kGlyphCount; ++g) {
    std::vector<std::uint8_t> bits(font::FONT_8X16.begin() + g * 16,
                                   font::FONT_8X16.begin() + g * 16 + 16);
    const bool empty = std::all_of(bits.begin(), bits.end(), [](auto b) { return b == 0; });
    EXPECT_EQ(empty, g == 0) << "glyph " << g;
    EXPECT_TRUE(seen.insert(bits).second) << "glyph " << g << " repeats another";
  }
}

TEST(Font, DrawsTheGlyphBitsLeftmostBitFirst) {
  Canvas canvas(8, 16);
  font::draw_text(canvas.pixels(), 8, 0, 0, 1, "L", kInk);
  for (std::uint32_t y = 0; y < 16; ++y) {
    for (std::uint32_t x = 0; x < 8; ++x) {
      EXPECT_EQ(canvas.at(x, y) == kInk, glyph_bit('L', y, x)) << x << "," << y;
    }
  }
  // The stem of L is on the left: bit 0 is the leftmost pixel.
  EXPECT_EQ(canvas.at(1, 6), kInk);
  EXPECT_EQ(canvas.at(6, 6), kBg);
}

TEST(Font, ScaleTwoMakesEachInkBitATwoByTwoBlockWithinSixteenByThirtyTwo) {
  Canvas canvas(40, 40);
  font::draw_text(canvas.pixels(), 40, 0, 0, 2, "L", kInk);
  for (std::uint32_t y = 0; y < 40; ++y) {
    for (std::uint32_t x = 0; x < 40; ++x) {
      const bool expected = x < 16 && y < 32 && glyph_bit('L', y / 2, x / 2);
      EXPECT_EQ(canvas.at(x, y) == kInk, expected) << x << "," << y;
    }
  }
}

TEST(Font, NegativeXShowsOnlyTheColumnsInside) {
  Canvas whole(16, 16), cut(16, 16);
  font::draw_text(whole.pixels(), 16, 0, 0, 1, "AB", kInk);
  font::draw_text(cut.pixels(), 16, -3, 0, 1, "AB", kInk);
  for (std::uint32_t y = 0; y < 16; ++y) {
    for (std::uint32_t x = 0; x < 13; ++x) EXPECT_EQ(cut.at(x, y), whole.at(x + 3, y));
  }
  EXPECT_TRUE(cut.guards_intact());
}

TEST(Font, NonAsciiBytesAreBlankCellsThatAdvance) {
  Canvas a(32, 16), b(32, 16);
  font::draw_text(a.pixels(), 32, 0, 0, 1, "\xc3\xa9!", kInk);  // "é!" in UTF-8
  font::draw_text(b.pixels(), 32, 16, 0, 1, "!", kInk);
  EXPECT_EQ(a.picture(), b.picture());
  Canvas c(32, 16);
  font::draw_text(c.pixels(), 32, 0, 0, 1, std::string_view("\x01\x7f\x00\xff", 4), kInk);
  EXPECT_EQ(c.picture().find('#'), std::string::npos);
}

TEST(Font, ClipsAtEveryEdgeAndIgnoresScaleZeroAndWidthZero) {
  struct Case {
    std::int32_t x, y;
    std::uint32_t scale;
  } cases[] = {{-7, -15, 1},       {5, 9, 1},         {-20, 3, 3},       {INT32_MAX, 0, 1},
               {0, INT32_MAX, 1},  {INT32_MIN, 0, 1}, {0, INT32_MIN, 1}, {-100, -100, 1000000},
               {3, 3, 0xffffffffu}};
  for (const auto& c : cases) {
    Canvas canvas(10, 12);
    font::draw_text(canvas.pixels(), 10, c.x, c.y, c.scale, "W@#", kInk);
    EXPECT_TRUE(canvas.guards_intact()) << c.x << "," << c.y << " x" << c.scale;
  }
  Canvas zero(10, 12);
  font::draw_text(zero.pixels(), 10, 0, 0, 0, "W@#", kInk);
  font::draw_text(zero.pixels(), 0, 0, 0, 1, "W@#", kInk);
  EXPECT_EQ(zero.picture().find('#'), std::string::npos);
  EXPECT_TRUE(zero.guards_intact());
  // A huge scale covers the whole visible buffer with the first ink block.
  Canvas huge(10, 12);
  font::draw_text(huge.pixels(), 10, -3000000, -3000000, 1000000, "W", kInk);
  EXPECT_EQ(huge.at(0, 0), glyph_bit('W', 3, 3) ? kInk : kBg);
}

TEST(Paint, FillRectClips) {
  struct Case {
    std::int32_t x, y, w, h;
    std::string_view picture;
  } cases[] = {
      {-5, 1, 10, 2, "......\n#####.\n#####.\n......\n"},
      {4, 2, 10, 10, "......\n......\n....##\n....##\n"},
      {1, 1, 0, 2, "......\n......\n......\n......\n"},
      {1, 1, -3, 2, "......\n......\n......\n......\n"},
      {6, 0, 2, 2, "......\n......\n......\n......\n"},
      {-10, -10, 5, 5, "......\n......\n......\n......\n"},
      {INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, "......\n......\n......\n......\n"},
      {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, "......\n......\n......\n......\n"},
      {-5, -5, INT32_MAX, INT32_MAX, "######\n######\n######\n######\n"},
  };
  for (const auto& c : cases) {
    Canvas canvas(6, 4);
    paint::fill_rect(canvas.pixels(), 6, c.x, c.y, c.w, c.h, kInk);
    EXPECT_EQ(canvas.picture(), c.picture) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    EXPECT_TRUE(canvas.guards_intact());
  }
  Canvas none(6, 4);
  paint::fill_rect(none.pixels(), 0, 0, 0, 6, 4, kInk);
  EXPECT_EQ(none.picture().find('#'), std::string::npos);
}

TEST(Paint, StrokeRectDrawsTheOutlineInsideTheRectangle) {
  struct Case {
    std::int32_t x, y, w, h;
    std::string_view picture;
  } cases[] = {
      {1, 0, 4, 3, ".####.\n.#..#.\n.####.\n......\n"},
      {2, 0, 1, 4, "..#...\n..#...\n..#...\n..#...\n"},
      {0, 2, 6, 1, "......\n......\n######\n......\n"},
      {1, 1, 3, 0, "......\n......\n......\n......\n"},
      {1, 1, 0, 3, "......\n......\n......\n......\n"},
      {-2, -1, 5, 3, "..#...\n###...\n......\n......\n"},
      {3, 2, 10, 10, "......\n......\n...###\n...#..\n"},
      {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, "......\n......\n......\n......\n"},
  };
  for (const auto& c : cases) {
    Canvas canvas(6, 4);
    paint::stroke_rect(canvas.pixels(), 6, c.x, c.y, c.w, c.h, kInk);
    EXPECT_EQ(canvas.picture(), c.picture) << c.x << "," << c.y << " " << c.w << "x" << c.h;
    EXPECT_TRUE(canvas.guards_intact());
  }
}

TEST(Paint, PutPixelWritesOnlyInsideTheBuffer) {
  Canvas canvas(3, 2);
  paint::put_pixel(canvas.pixels(), 3, 2, 1, kInk);
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{-1, 0}, {3, 0}, {0, 2}, {0, -1}}) {
    paint::put_pixel(canvas.pixels(), 3, x, y, kInk);
  }
  EXPECT_EQ(canvas.picture(), "...\n..#\n");
  EXPECT_TRUE(canvas.guards_intact());
  // A buffer that is not a whole number of rows: the partial row is not addressable.
  std::vector<std::uint32_t> ragged(7, kBg);
  paint::put_pixel(ragged, 3, 0, 2, kInk);
  EXPECT_EQ(ragged[6], kBg);
}

}  // namespace
}  // namespace nolv
