// Nearest-neighbour rescaling between a window's server-size back buffer and its local surface:
// per-axis index tables built once per size change, then one lookup and one copy per pixel.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/window.h"

namespace nolv {

class BandWorkers;

// Entry i is the source index that destination index i shows: floor(i / scale), never beyond
// src_len - 1 (0 when src_len is 0). NaN or negative quotients give 0.
[[nodiscard]] std::vector<std::uint32_t> build_index_map(std::uint32_t dest_len,
                                                         std::uint32_t src_len, double scale);

// Copies the destination rectangle `rect` through the tables: destination pixel (r, c) takes
// source pixel (row_map[r], column_map[c]). Parts of the rectangle that fall outside the tables,
// the destination or the source are skipped; nothing is written outside `dst`. With `bands`, a
// large rectangle is split over its helper threads.
void scale_rect(std::span<const std::uint32_t> src, std::uint32_t src_width,
                std::span<std::uint32_t> dst, std::uint32_t dst_stride, const Rect& rect,
                std::span<const std::uint32_t> column_map, std::span<const std::uint32_t> row_map,
                BandWorkers* bands = nullptr);

// Copies the rectangle `rect` from `src` to the same place in `dst`, both `width` pixels a row;
// the part outside `width` or outside the rows both buffers hold is skipped. With `bands`, as
// above.
void copy_rect(std::span<const std::uint32_t> src, std::span<std::uint32_t> dst,
               std::uint32_t width, const Rect& rect, BandWorkers* bands = nullptr);

}  // namespace nolv
