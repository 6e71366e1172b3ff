// Reading a length that the peer announced: the buffer grows with the bytes that arrive, so a
// header announcing a large size costs memory only as its bytes come.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "util/result.h"

namespace nolv {

// Pictures and texts of usual sizes fit the first step and are read straight into place.
inline constexpr std::uint64_t kGrowingReadFirstStep = 4ull * 1024 * 1024;

// Appends `size` bytes to `out`, each step reading into the buffer grown so far; `read_exact`
// fills a whole span or fails.
template <typename ReadExact>
[[nodiscard]] Status append_growing(std::vector<std::uint8_t>& out, std::uint64_t size,
                                    ReadExact&& read_exact) {
  const std::size_t start = out.size();
  std::uint64_t have = 0;
  while (have < size) {
    const std::uint64_t want = std::min(size, std::max(kGrowingReadFirstStep, have * 2));
    out.resize(start + static_cast<std::size_t>(want));
    const std::span<std::uint8_t> tail(out.data() + start + have,
                                       static_cast<std::size_t>(want - have));
    if (Status s = read_exact(tail); !s) return s;
    have = want;
  }
  return {};
}

}  // namespace nolv
