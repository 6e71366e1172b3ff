#include "client/scaling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "client/bands.h"

namespace nolv {
namespace {

using Map = std::vector<std::uint32_t>;

TEST(BuildIndexMap, Tables) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    std::uint32_t dest_len, src_len;
    double scale;
    Map expected;
  } cases[] = {
      {5, 5, 1.0, {0, 1, 2, 3, 4}},
      {6, 3, 2.0, {0, 0, 1, 1, 2, 2}},
      {4, 6, 0.5, {0, 2, 4, 5}},
      {4, 0, 1.0, {0, 0, 0, 0}},
      {0, 4, 1.0, {}},
      {5, 4, 1.25, {0, 0, 1, 2, 3}},
      {4, 3, 1.5, {0, 0, 1, 2}},
      {3, 7, 0.0, {0, 6, 6}},  // i / 0 is infinite beyond i = 0
      {3, 7, nan, {0, 0, 0}},
      {3, 7, -1.0, {0, 0, 0}},
      {3, 0xffffffffu, 1e-300, {0, 0xfffffffeu, 0xfffffffeu}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_index_map(c.dest_len, c.src_len, c.scale), c.expected)
        << c.dest_len << " " << c.src_len << " " << c.scale;
  }
}

struct Fixture {
  // A 3 x 2 source shown at scale 2 in a 6 x 4 destination with a stride of 8 and guard pixels.
  static constexpr std::uint32_t kGuard = 0xdeadbeef;
  std::vector<std::uint32_t> src = {1, 2, 3, 4, 5, 6};
  std::vector<std::uint32_t> dst = std::vector<std::uint32_t>(8 * 4, kGuard);
  Map cols = build_index_map(6, 3, 2.0);
  Map rows = build_index_map(4, 2, 2.0);
  void copy(Rect rect) { scale_rect(src, 3, dst, 8, rect, cols, rows); }
  std::vector<std::uint32_t> row(std::uint32_t r) const {
    return {dst.begin() + r * 8, dst.begin() + r * 8 + 8};
  }
};
constexpr std::uint32_t G = Fixture::kGuard;

TEST(ScaleRect, WholeSurfaceAtScaleTwo) {
  Fixture f;
  f.copy({0, 0, 6, 4});
  EXPECT_EQ(f.row(0), (Map{1, 1, 2, 2, 3, 3, G, G}));
  EXPECT_EQ(f.row(1), (Map{1, 1, 2, 2, 3, 3, G, G}));
  EXPECT_EQ(f.row(2), (Map{4, 4, 5, 5, 6, 6, G, G}));
  EXPECT_EQ(f.row(3), (Map{4, 4, 5, 5, 6, 6, G, G}));
}

TEST(ScaleRect, TouchesOnlyTheRectangle) {
  Fixture f;
  f.copy({3, 1, 2, 2});
  EXPECT_EQ(f.row(0), (Map(8, G)));
  EXPECT_EQ(f.row(1), (Map{G, G, G, 2, 3, G, G, G}));
  EXPECT_EQ(f.row(2), (Map{G, G, G, 5, 6, G, G, G}));
  EXPECT_EQ(f.row(3), (Map(8, G)));
}

TEST(ScaleRect, EmptyRectanglesCopyNothing) {
  Fixture f;
  f.copy({0, 0, 0, 4});
  f.copy({0, 0, 6, 0});
  EXPECT_EQ(f.dst, Map(32, G));
}

// Calls that break the caller's conditions write nothing outside the buffers; what is written
// inside is at most what a clipped rectangle would give.
TEST(ScaleRect, BrokenCallsStayInsideTheBuffers) {
  {
    Fixture f;  // beyond both tables: cut to them
    f.copy({4, 3, 100, 100});
    EXPECT_EQ(f.row(3), (Map{G, G, G, G, 6, 6, G, G}));
    EXPECT_EQ(f.row(2), Map(8, G));
  }
  {
    Fixture f;  // a table entry beyond the source width: nothing
    f.cols[2] = 3;
    f.copy({0, 0, 6, 4});
    EXPECT_EQ(f.dst, Map(32, G));
  }
  {
    Fixture f;  // a source too short for its last row: that row is skipped
    f.src.resize(5);
    f.copy({0, 0, 6, 4});
    EXPECT_EQ(f.row(1), (Map{1, 1, 2, 2, 3, 3, G, G}));
    EXPECT_EQ(f.row(2), Map(8, G));
  }
  {
    Fixture f;  // a destination too short for the last rows
    std::vector<std::uint32_t> small(8 * 2 + 3, G);
    scale_rect(f.src, 3, small, 8, {0, 0, 6, 4}, f.cols, f.rows);
    EXPECT_EQ(Map(small.begin() + 16, small.end()), Map(3, G));
  }
  {
    Fixture f;  // coordinates whose sums exceed 32 bits
    f.copy({0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu});
    f.copy({0, 0, 0xffffffffu, 0xffffffffu});
    EXPECT_EQ(f.row(3), (Map{4, 4, 5, 5, 6, 6, G, G}));
  }
  {
    Fixture f;  // a zero source width
    scale_rect(f.src, 0, f.dst, 8, {0, 0, 6, 4}, f.cols, f.rows);
    EXPECT_EQ(f.dst, Map(32, G));
  }
}

// What the tables say each destination pixel shows, one pixel at a time.
std::vector<std::uint32_t> reference_scale(const std::vector<std::uint32_t>& src,
                                           std::uint32_t src_width, std::uint32_t dst_width,
                                           std::uint32_t dst_height, const Rect& rect,
                                           const Map& cols, const Map& rows, std::uint32_t guard) {
  std::vector<std::uint32_t> dst(std::size_t{dst_width} * dst_height, guard);
  for (std::uint32_t r = rect.y; r < rect.y + rect.height; ++r)
    for (std::uint32_t c = rect.x; c < rect.x + rect.width; ++c)
      dst[std::size_t{r} * dst_width + c] = src[std::size_t{rows[r]} * src_width + cols[c]];
  return dst;
}

std::vector<std::uint32_t> random_pixels(std::size_t count) {
  std::mt19937 random(7);
  std::vector<std::uint32_t> pixels(count);
  for (auto& p : pixels) p = random() & 0xffffffu;
  return pixels;
}

// Enlarging, shrinking and odd sizes: the eight-column blocks, their fall-backs near the right
// edge and for columns too far apart, and the tails; on one thread and split into bands (the
// large cases are big enough to be split).
TEST(ScaleRect, MatchesThePerPixelRuleAtManyScales) {
  struct Case {
    std::uint32_t src_w, src_h;
    double scale;
    Rect rect;  // empty: the whole destination
  } cases[] = {
      {13, 7, 1.5, {}},
      {37, 5, 1.25, {}},
      {9, 9, 2.0, {}},
      {40, 6, 0.5, {}},
      {41, 6, 0.875, {}},
      {23, 11, 3.0, {5, 4, 50, 20}},
      {16, 4, 1.0, {3, 1, 9, 2}},
      {1000, 700, 1.5, {}},
      {1001, 650, 0.75, {}},
      {960, 540, 2.0, {17, 33, 1500, 900}},
  };
  BandWorkers bands;
  constexpr std::uint32_t kGuard = 0xff000000u;
  for (const Case& c : cases) {
    const auto dst_w = static_cast<std::uint32_t>(std::lround(c.src_w * c.scale));
    const auto dst_h = static_cast<std::uint32_t>(std::lround(c.src_h * c.scale));
    const Map cols = build_index_map(dst_w, c.src_w, c.scale);
    const Map rows = build_index_map(dst_h, c.src_h, c.scale);
    const Rect rect = c.rect.width == 0 ? Rect{0, 0, dst_w, dst_h} : c.rect;
    const auto src = random_pixels(std::size_t{c.src_w} * c.src_h);
    const auto expected = reference_scale(src, c.src_w, dst_w, dst_h, rect, cols, rows, kGuard);
    for (BandWorkers* workers : {static_cast<BandWorkers*>(nullptr), &bands}) {
      std::vector<std::uint32_t> dst(expected.size(), kGuard);
      scale_rect(src, c.src_w, dst, dst_w, rect, cols, rows, workers);
      EXPECT_TRUE(dst == expected) << c.src_w << "x" << c.src_h << " at " << c.scale
                                   << (workers != nullptr ? " in bands" : "");
    }
  }
}

TEST(CopyRect, CopiesTheRectangleAndClipsToBothBuffers) {
  constexpr std::uint32_t kGuard = 0xff000000u;
  struct Case {
    std::uint32_t width, height;
    Rect rect;
    std::uint32_t dst_rows;  // rows the destination holds
    Rect copied;             // what must arrive
  } cases[] = {
      {7, 5, {2, 1, 3, 2}, 5, {2, 1, 3, 2}},
      {7, 5, {5, 3, 10, 10}, 5, {5, 3, 2, 2}},  // past the right edge and the last row
      {7, 5, {0, 0, 7, 5}, 3, {0, 0, 7, 3}},    // a destination with fewer rows
      {7, 5, {7, 0, 4, 4}, 5, {0, 0, 0, 0}},    // wholly right of the buffer
      {7, 5, {0xffffffffu, 0xffffffffu, 0xffffffffu, 0xffffffffu}, 5, {0, 0, 0, 0}},
      {0, 5, {0, 0, 4, 4}, 5, {0, 0, 0, 0}},                       // a zero width
      {1920, 1080, {0, 0, 1920, 1080}, 1080, {0, 0, 1920, 1080}},  // split into bands
      {1920, 1080, {100, 7, 1700, 1000}, 1080, {100, 7, 1700, 1000}},
  };
  BandWorkers bands;
  for (const Case& c : cases) {
    const auto src = random_pixels(std::size_t{c.width} * c.height);
    std::vector<std::uint32_t> expected(std::size_t{c.width} * c.dst_rows, kGuard);
    for (std::uint32_t r = c.copied.y; r < c.copied.y + c.copied.height; ++r)
      for (std::uint32_t x = c.copied.x; x < c.copied.x + c.copied.width; ++x)
        expected[std::size_t{r} * c.width + x] = src[std::size_t{r} * c.width + x];
    for (BandWorkers* workers : {static_cast<BandWorkers*>(nullptr), &bands}) {
      std::vector<std::uint32_t> dst(expected.size(), kGuard);
      copy_rect(src, dst, c.width, c.rect, workers);
      EXPECT_TRUE(dst == expected)
          << c.width << "x" << c.height << " rect " << c.rect.x << "," << c.rect.y << " "
          << c.rect.width << "x" << c.rect.height << (workers != nullptr ? " in bands" : "");
    }
  }
}

}  // namespace
}  // namespace nolv
