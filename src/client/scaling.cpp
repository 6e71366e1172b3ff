#include "client/scaling.h"

#include <algorithm>
#include <cmath>

namespace nolv {

std::vector<std::uint32_t> build_index_map(std::uint32_t dest_len, std::uint32_t src_len,
                                           double scale) {
  constexpr double kMaxIndex = 4294967295.0;
  const std::uint32_t last = src_len == 0 ? 0 : src_len - 1;
  std::vector<std::uint32_t> map;
  map.reserve(dest_len);
  double i = 0.0;
  for (std::uint32_t n = 0; n < dest_len; ++n, i += 1.0) {
    double v = i / scale;
    if (std::isnan(v)) v = 0.0;
    v = std::clamp(v, 0.0, kMaxIndex);
    map.push_back(std::min(static_cast<std::uint32_t>(v), last));
  }
  return map;
}

void scale_rect(std::span<const std::uint32_t> src, std::uint32_t src_width,
                std::span<std::uint32_t> dst, std::uint32_t dst_stride, const Rect& rect,
                std::span<const std::uint32_t> column_map, std::span<const std::uint32_t> row_map) {
  // Callers clip to the tables; a rectangle that does not is cut to them (64-bit sums).
  const std::uint64_t col_end =
      std::min<std::uint64_t>(std::uint64_t{rect.x} + rect.width, column_map.size());
  const std::uint64_t row_end =
      std::min<std::uint64_t>(std::uint64_t{rect.y} + rect.height, row_map.size());
  if (rect.x >= col_end || rect.y >= row_end || src_width == 0) return;
  const auto columns = column_map.subspan(rect.x, static_cast<std::size_t>(col_end - rect.x));
  // One pass over the columns instead of a bounds check per pixel.
  if (std::any_of(columns.begin(), columns.end(),
                  [&](std::uint32_t c) { return c >= src_width; })) {
    return;
  }
  // Enlarging shows a source row on several destination rows: it is gathered once, then copied.
  const std::uint32_t* gathered = nullptr;
  std::uint64_t gathered_from = 0;
  for (std::uint64_t r = rect.y; r < row_end; ++r) {
    const std::uint64_t s = row_map[static_cast<std::size_t>(r)];
    if ((s + 1) * src_width > src.size()) continue;
    const std::uint64_t dst_start = r * dst_stride + rect.x;
    if (dst_start + columns.size() > dst.size()) continue;
    std::uint32_t* dst_row = dst.data() + dst_start;
    if (gathered != nullptr && gathered_from == s) {
      std::copy_n(gathered, columns.size(), dst_row);
      continue;
    }
    const std::uint32_t* src_row = src.data() + s * src_width;
    for (std::size_t j = 0; j < columns.size(); ++j) dst_row[j] = src_row[columns[j]];
    gathered = dst_row;
    gathered_from = s;
  }
}

}  // namespace nolv
