#include "client/font.h"

#include <algorithm>

namespace nolv::font {

const std::array<std::uint8_t, kFontBytes> FONT_8X16 = {
#include "client/font_8x16.inc"
};

namespace {

// Fills the part of the block [x0, x0 + side) x [y0, y0 + side) inside the buffer. 64-bit
// coordinates: a large scale must not wrap a block back into view.
void fill_block(std::span<std::uint32_t> buffer, std::int64_t width, std::int64_t rows,
                std::int64_t x0, std::int64_t y0, std::int64_t side, std::uint32_t colour) {
  const std::int64_t left = std::max<std::int64_t>(x0, 0);
  const std::int64_t right = std::min(width, x0 + side);
  const std::int64_t top = std::max<std::int64_t>(y0, 0);
  const std::int64_t bottom = std::min(rows, y0 + side);
  for (std::int64_t row = top; row < bottom; ++row) {
    for (std::int64_t col = left; col < right; ++col) {
      buffer[static_cast<std::size_t>(row * width + col)] = colour;
    }
  }
}

}  // namespace

void draw_text(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::uint32_t scale, std::span<const std::uint8_t> text, std::uint32_t colour) {
  if (scale == 0) return;
  const std::int64_t columns = width;
  const std::int64_t rows = static_cast<std::int64_t>(buffer.size() / std::max(width, 1u));
  const std::int64_t side = scale;
  std::int64_t pen = x;
  for (const std::uint8_t byte : text) {
    if (pen >= columns) return;  // the pen only moves right: nothing further can show
    const std::size_t glyph = (byte >= kFirstChar && byte <= kLastChar) ? byte - kFirstChar : 0;
    for (std::uint32_t r = 0; r < kGlyphHeight; ++r) {
      const std::uint8_t bits = FONT_8X16[glyph * kGlyphHeight + r];
      for (std::uint32_t b = 0; b < kGlyphWidth; ++b) {
        if ((bits >> b) & 1u)
          fill_block(buffer, columns, rows, pen + b * side, y + r * side, side, colour);
      }
    }
    pen += kGlyphWidth * side;
  }
}

void draw_text(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::uint32_t scale, std::string_view text, std::uint32_t colour) {
  draw_text(buffer, width, x, y, scale,
            std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), colour);
}

}  // namespace nolv::font
