#include "client/scaling.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "client/bands.h"

namespace nolv {

namespace {

// out[j] = src_row[columns[j]] for every j; columns are below the source width.
void gather_row_scalar(std::uint32_t* out, const std::uint32_t* src_row,
                       std::span<const std::uint32_t> columns) {
  for (std::size_t j = 0; j < columns.size(); ++j) out[j] = src_row[columns[j]];
}

#if defined(__x86_64__)
// Eight columns at a time where they fall within eight neighbouring source pixels (every block
// when enlarging): one load and one in-register shuffle instead of eight lookups.
__attribute__((target("avx2"))) void gather_row_avx2(std::uint32_t* out,
                                                     const std::uint32_t* src_row,
                                                     std::uint32_t src_width,
                                                     std::span<const std::uint32_t> columns) {
  const __m256i seven = _mm256_set1_epi32(7);
  std::size_t j = 0;
  for (; j + 8 <= columns.size(); j += 8) {
    const std::uint32_t base = columns[j];
    const __m256i offsets =
        _mm256_sub_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(columns.data() + j)),
                         _mm256_set1_epi32(static_cast<int>(base)));
    const bool near =
        std::uint64_t{base} + 8 <= src_width &&
        _mm256_movemask_epi8(_mm256_cmpeq_epi32(_mm256_min_epu32(offsets, seven), offsets)) == -1;
    if (near) {
      const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src_row + base));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j),
                          _mm256_permutevar8x32_epi32(pixels, offsets));
    } else {
      gather_row_scalar(out + j, src_row, columns.subspan(j, 8));
    }
  }
  gather_row_scalar(out + j, src_row, columns.subspan(j));
}

bool has_avx2() {
  static const bool has = [] {
    __builtin_cpu_init();  // may run before the library's own initialiser has
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}
#endif

void gather_row(std::uint32_t* out, const std::uint32_t* src_row, std::uint32_t src_width,
                std::span<const std::uint32_t> columns) {
#if defined(__x86_64__)
  if (has_avx2()) return gather_row_avx2(out, src_row, src_width, columns);
#endif
  static_cast<void>(src_width);
  gather_row_scalar(out, src_row, columns);
}

}  // namespace

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
                std::span<const std::uint32_t> column_map, std::span<const std::uint32_t> row_map,
                BandWorkers* bands) {
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
  auto rows = [&](std::uint64_t first, std::uint64_t end) {
    // Enlarging shows a source row on several destination rows: it is gathered once (into a
    // row that stays cached), then stored to each.
    std::vector<std::uint32_t> gathered(columns.size());
    std::uint64_t gathered_from = UINT64_MAX;
    for (std::uint64_t r = first; r < end; ++r) {
      const std::uint64_t s = row_map[static_cast<std::size_t>(r)];
      if ((s + 1) * src_width > src.size()) continue;
      const std::uint64_t dst_start = r * dst_stride + rect.x;
      if (dst_start + columns.size() > dst.size()) continue;
      if (gathered_from != s) {
        gather_row(gathered.data(), src.data() + s * src_width, src_width, columns);
        gathered_from = s;
      }
      std::copy_n(gathered.data(), columns.size(), dst.data() + dst_start);
    }
  };
  for_each_band(bands, rect.y, row_end, columns.size(), rows);
}

void copy_rect(std::span<const std::uint32_t> src, std::span<std::uint32_t> dst,
               std::uint32_t width, const Rect& rect, BandWorkers* bands) {
  const std::uint64_t x1 = std::min<std::uint64_t>(std::uint64_t{rect.x} + rect.width, width);
  if (rect.x >= x1) return;
  const std::uint64_t held = std::min(src.size(), dst.size()) / width;
  const std::uint64_t y1 = std::min<std::uint64_t>(std::uint64_t{rect.y} + rect.height, held);
  if (rect.y >= y1) return;
  const std::size_t count = static_cast<std::size_t>(x1 - rect.x);
  for_each_band(bands, rect.y, y1, count, [&](std::uint64_t first, std::uint64_t end) {
    for (std::uint64_t r = first; r < end; ++r) {
      const std::size_t at = static_cast<std::size_t>(r * width + rect.x);
      std::copy_n(src.data() + at, count, dst.data() + at);
    }
  });
}

}  // namespace nolv
