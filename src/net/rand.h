// Random salts from the operating system's cryptographic source, with a weak fallback so that a
// failing source costs only salt quality, never the session.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace nolv {

// Fills `out` completely and returns true, or returns false when the source failed.
using RandomSource = bool (*)(std::span<std::uint8_t> out);

// getrandom(2), retried on interruption and short reads.
[[nodiscard]] bool system_random(std::span<std::uint8_t> out);

// The fallback generator: SplitMix64 from `seed`, the low byte of one full output per byte.
void splitmix64_fill(std::span<std::uint8_t> out, std::uint64_t seed);

// `count` random bytes as 2 x count lower-case hex characters.
[[nodiscard]] std::string random_salt_hex(std::size_t count);
[[nodiscard]] std::string random_salt_hex(std::size_t count, RandomSource source);

}  // namespace nolv
