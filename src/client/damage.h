// Damage rectangles as one present copies them: every damaged pixel once.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "platform/window.h"

namespace nolv {

// Past this many rectangles, their bounding box is copied instead: cutting many small
// rectangles into bands would cost more than copying the pixels between them.
inline constexpr std::size_t kMaxDamageRects = 64;

// Rectangles that do not overlap and cover exactly the pixels of `rects` (empty ones dropped),
// in horizontal bands top to bottom; equal neighbouring bands are joined. Beyond kMaxDamageRects
// rectangles, their bounding box.
[[nodiscard]] std::vector<Rect> disjoint_cover(std::span<const Rect> rects);

}  // namespace nolv
