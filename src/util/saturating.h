// Integer arithmetic that stops at the type's limits instead of wrapping: for values a peer
// controls, where an overflow would otherwise be undefined or turn a sum negative.
#pragma once

#include <concepts>
#include <limits>

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

}  // namespace nolv
