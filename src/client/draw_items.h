// The items of a draw packet, which is the server's "draw", the decoding job and the decode
// thread's answer ("draw-decoded" or "decoding-failed") alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "net/packet.h"

namespace nolv {

namespace draw_item {
inline constexpr std::uint8_t kType = 0;
inline constexpr std::uint8_t kWid = 1;
inline constexpr std::uint8_t kX = 2;
inline constexpr std::uint8_t kY = 3;
inline constexpr std::uint8_t kWidth = 4;
inline constexpr std::uint8_t kHeight = 5;
inline constexpr std::uint8_t kCoding = 6;
inline constexpr std::uint8_t kData = 7;  // the message of a "decoding-failed"
inline constexpr std::uint8_t kPacketSequence = 8;
inline constexpr std::uint8_t kRowstride = 9;
inline constexpr std::uint8_t kOptions = 10;
}  // namespace draw_item

// Up to the packet sequence every item is read by index; a shorter draw cannot be answered
// meaningfully and is refused.
inline constexpr std::size_t kMinDrawItems = 9;

// What every step reads of a draw besides its data; missing items read as zero or empty.
struct DrawItems {
  std::uint64_t wid = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::string coding;
  std::uint64_t packet_sequence = 0;
};

DrawItems read_draw_items(const std::vector<Yaml>& items);

}  // namespace nolv
