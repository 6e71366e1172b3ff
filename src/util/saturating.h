// Integer arithmetic that stops at the type's limits instead of wrapping: for values a peer
// controls, where an overflow would otherwise be undefined or turn a sum negative.
#pragma once

#include <cmath>
#include <concepts>
#include <limits>
#include <utility>

namespace nolv {

template <std::integral T>
[[nodiscard]] constexpr T add_saturating(T a, T b) {
  T sum{};
  if (!__builtin_add_overflow(a, b, &sum)) return sum;
  if constexpr (std::is_signed_v<T>) {
    return b < 0 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  } else {
    return std::numeric_limits<T>::max();
  }
}

template <std::integral T>
[[nodiscard]] constexpr T sub_saturating(T a, T b) {
  T difference{};
  if (!__builtin_sub_overflow(a, b, &difference)) return difference;
  if constexpr (std::is_signed_v<T>) {
    return b < 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
  } else {
    return T{0};
  }
}

// A value converted to T, stopping at T's limits instead of wrapping.
template <std::integral T, std::integral From>
[[nodiscard]] constexpr T saturate_cast(From v) {
  if (std::cmp_less(v, std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (std::cmp_greater(v, std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(v);
}

// The same for a floating value, truncated toward zero (round or floor it first where that is
// wanted); NaN gives 0.
template <std::integral T, std::floating_point From>
[[nodiscard]] T saturate_cast(From v) {
  if (std::isnan(v)) return T{0};
  if (v <= static_cast<From>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
  if (v >= static_cast<From>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
  return static_cast<T>(v);
}

// Rounded half away from zero, then converted as above.
template <std::integral T>
[[nodiscard]] T saturate_round(double v) {
  return saturate_cast<T>(std::round(v));
}

}  // namespace nolv
