#include "client/paint.h"

#include <algorithm>

namespace nolv::paint {

namespace {

std::int64_t row_count(std::span<std::uint32_t> buffer, std::uint32_t width) {
  return static_cast<std::int64_t>(buffer.size() / width);
}

}  // namespace

// Sums are taken in 64 bits so that x + w near the 32-bit limit cannot wrap.
void fill_rect(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::int32_t w, std::int32_t h, std::uint32_t colour) {
  if (width == 0) return;
  const std::int64_t rows = row_count(buffer, width);
  const std::int64_t left = std::max<std::int64_t>(x, 0);
  const std::int64_t right = std::min<std::int64_t>(width, std::int64_t{x} + w);
  const std::int64_t top = std::max<std::int64_t>(y, 0);
  const std::int64_t bottom = std::min<std::int64_t>(rows, std::int64_t{y} + h);
  for (std::int64_t row = top; row < bottom; ++row) {
    for (std::int64_t col = left; col < right; ++col) {
      buffer[static_cast<std::size_t>(row * width + col)] = colour;
    }
  }
}

// The loops visit only the visible part of each edge; the pixels outside would be skipped by
// put_pixel anyway, so the result is the same but the cost stays bounded by the buffer.
void stroke_rect(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x,
                 std::int32_t y, std::int32_t w, std::int32_t h, std::uint32_t colour) {
  if (w <= 0 || h <= 0 || width == 0) return;
  const std::int64_t rows = row_count(buffer, width);
  const std::int64_t last_col = std::int64_t{x} + w - 1;
  const std::int64_t last_row = std::int64_t{y} + h - 1;
  auto put = [&](std::int64_t col, std::int64_t row) {
    if (col >= 0 && col < width && row >= 0 && row < rows) {
      buffer[static_cast<std::size_t>(row * width + col)] = colour;
    }
  };
  for (std::int64_t i = std::max<std::int64_t>(x, 0);
       i <= std::min<std::int64_t>(last_col, width - 1); ++i) {
    put(i, y);
    put(i, last_row);
  }
  for (std::int64_t j = std::max<std::int64_t>(y, 0); j <= std::min(last_row, rows - 1); ++j) {
    put(x, j);
    put(last_col, j);
  }
}

void put_pixel(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::uint32_t colour) {
  if (width == 0 || x < 0 || y < 0) return;
  const auto col = static_cast<std::uint32_t>(x);
  const auto row = static_cast<std::size_t>(y);
  if (col >= width || row >= buffer.size() / width) return;
  buffer[row * width + col] = colour;
}

}  // namespace nolv::paint
