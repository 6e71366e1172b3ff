#include "client/damage.h"

#include <algorithm>
#include <cstdint>

namespace nolv {

namespace {

struct Span {
  std::int64_t begin;
  std::int64_t end;
  friend bool operator==(const Span&, const Span&) = default;
};

std::int64_t right(const Rect& r) {
  return std::int64_t{r.x} + r.width;
}
std::int64_t bottom(const Rect& r) {
  return std::int64_t{r.y} + r.height;
}

Rect make_rect(std::int64_t x0, std::int64_t y0, std::int64_t x1, std::int64_t y1) {
  return Rect{static_cast<std::uint32_t>(x0), static_cast<std::uint32_t>(y0),
              static_cast<std::uint32_t>(x1 - x0), static_cast<std::uint32_t>(y1 - y0)};
}

// The columns that the rectangles covering the whole band [top, end) reach, joined.
std::vector<Span> band_spans(std::span<const Rect> rects, std::int64_t top, std::int64_t end) {
  std::vector<Span> spans;
  for (const Rect& r : rects) {
    if (r.y <= top && bottom(r) >= end) spans.push_back({r.x, right(r)});
  }
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.begin < b.begin; });
  std::vector<Span> joined;
  for (const Span& s : spans) {
    if (!joined.empty() && s.begin <= joined.back().end) {
      joined.back().end = std::max(joined.back().end, s.end);
    } else {
      joined.push_back(s);
    }
  }
  return joined;
}

}  // namespace

std::vector<Rect> disjoint_cover(std::span<const Rect> rects) {
  std::vector<Rect> live;
  for (const Rect& r : rects) {
    if (r.width != 0 && r.height != 0) live.push_back(r);
  }
  if (live.size() <= 1) return live;
  if (live.size() > kMaxDamageRects) {
    std::int64_t x0 = live[0].x, y0 = live[0].y, x1 = right(live[0]), y1 = bottom(live[0]);
    for (const Rect& r : live) {
      x0 = std::min<std::int64_t>(x0, r.x);
      y0 = std::min<std::int64_t>(y0, r.y);
      x1 = std::max(x1, right(r));
      y1 = std::max(y1, bottom(r));
    }
    return {make_rect(x0, y0, x1, y1)};
  }
  std::vector<std::int64_t> edges;
  for (const Rect& r : live) {
    edges.push_back(r.y);
    edges.push_back(bottom(r));
  }
  std::sort(edges.begin(), edges.end());
  edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

  std::vector<Rect> cover;
  std::vector<Span> open;  // the band being grown downwards
  std::int64_t open_top = 0;
  std::int64_t open_end = 0;
  auto close_band = [&] {
    for (const Span& s : open) cover.push_back(make_rect(s.begin, open_top, s.end, open_end));
  };
  for (std::size_t i = 0; i + 1 < edges.size(); ++i) {
    std::vector<Span> spans = band_spans(live, edges[i], edges[i + 1]);
    if (spans == open && open_end == edges[i]) {
      open_end = edges[i + 1];
      continue;
    }
    close_band();
    open = std::move(spans);
    open_top = edges[i];
    open_end = edges[i + 1];
  }
  close_band();
  return cover;
}

}  // namespace nolv
