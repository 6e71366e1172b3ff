#include "client/damage.h"

#include <gtest/gtest.h>

#include <string>

namespace nolv {
namespace {

constexpr std::uint32_t kGrid = 24;

// How many rectangles cover each pixel of a small grid.
std::vector<int> coverage(const std::vector<Rect>& rects) {
  std::vector<int> grid(kGrid * kGrid, 0);
  for (const Rect& r : rects) {
    for (std::uint32_t y = r.y; y < r.y + r.height; ++y)
      for (std::uint32_t x = r.x; x < r.x + r.width; ++x) ++grid[y * kGrid + x];
  }
  return grid;
}

TEST(DisjointCover, CoversEachDamagedPixelExactlyOnce) {
  struct Case {
    std::string name;
    std::vector<Rect> rects;
    std::size_t expected_count;
  } cases[] = {
      {"none", {}, 0},
      {"empty ones dropped", {{1, 1, 0, 4}, {2, 2, 3, 0}}, 0},
      {"one", {{2, 3, 4, 5}}, 1},
      {"duplicates", {{0, 0, 10, 8}, {0, 0, 10, 8}, {0, 0, 10, 8}}, 1},
      {"one inside another", {{0, 0, 10, 8}, {2, 2, 3, 3}}, 1},
      {"side by side join", {{0, 0, 5, 4}, {5, 0, 5, 4}}, 1},
      {"stacked join", {{3, 0, 5, 4}, {3, 4, 5, 4}}, 1},
      {"apart", {{0, 0, 2, 2}, {5, 5, 2, 2}}, 2},
      {"overlapping corners", {{0, 0, 6, 6}, {3, 3, 6, 6}}, 3},
      {"cross", {{4, 0, 2, 10}, {0, 4, 10, 2}}, 3},
      {"same rows apart", {{0, 0, 2, 4}, {6, 0, 2, 4}, {0, 0, 2, 4}}, 2},
  };
  for (const Case& c : cases) {
    const std::vector<Rect> cover = disjoint_cover(c.rects);
    EXPECT_EQ(cover.size(), c.expected_count) << c.name;
    const std::vector<int> in = coverage(c.rects);
    const std::vector<int> out = coverage(cover);
    for (std::size_t i = 0; i < in.size(); ++i) {
      ASSERT_EQ(out[i], in[i] > 0 ? 1 : 0) << c.name << " at pixel " << i;
    }
  }
}

TEST(DisjointCover, ManyRectanglesBecomeTheirBoundingBox) {
  std::vector<Rect> rects;
  for (std::uint32_t i = 0; i <= kMaxDamageRects; ++i) rects.push_back({i % 20, i / 20, 1, 1});
  EXPECT_EQ(disjoint_cover(rects), (std::vector<Rect>{{0, 0, 20, 4}}));
  rects.pop_back();  // at the limit they are still cut exactly
  const std::vector<int> out = coverage(disjoint_cover(rects));
  EXPECT_EQ(out[3 * kGrid + 3], 1);  // the last rectangle
  EXPECT_EQ(out[3 * kGrid + 4], 0);  // past it
}

}  // namespace
}  // namespace nolv
