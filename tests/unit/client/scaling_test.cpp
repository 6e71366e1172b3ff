#include "client/scaling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace nolv
