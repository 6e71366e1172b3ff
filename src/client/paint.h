// Rectangle fill, one-pixel outline and single-pixel write on a buffer of 0x00RRGGBB pixels,
// row-major, `width` pixels a row; rows = buffer size / width. Everything clips silently.
#pragma once

#include <cstdint>
#include <span>

namespace nolv::paint {

// Fills columns x .. x + w - 1 of rows y .. y + h - 1.
void fill_rect(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::int32_t w, std::int32_t h, std::uint32_t colour);

// The outline lies inside the rectangle: its last column is x + w - 1, its last row y + h - 1.
void stroke_rect(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x,
                 std::int32_t y, std::int32_t w, std::int32_t h, std::uint32_t colour);

void put_pixel(std::span<std::uint32_t> buffer, std::uint32_t width, std::int32_t x, std::int32_t y,
               std::uint32_t colour);

}  // namespace nolv::paint
