// SHA-1 (FIPS 180-4), only for the websocket accept key, where the protocol fixes the hash.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace nolv {

[[nodiscard]] std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> bytes);
[[nodiscard]] std::array<std::uint8_t, 20> sha1(std::string_view text);

}  // namespace nolv
