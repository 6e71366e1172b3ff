// An Opus stream header ("OpusHead") for the header parser and the audio worker tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/packet.h"

namespace nolv {

inline Bytes opus_head(std::uint8_t channels, std::uint16_t pre_skip, std::uint8_t family = 0,
                       std::size_t extra = 0) {
  Bytes h = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, channels};
  h.push_back(static_cast<std::uint8_t>(pre_skip & 0xFF));
  h.push_back(static_cast<std::uint8_t>(pre_skip >> 8));
  for (std::uint8_t b : {0x80, 0xBB, 0x00, 0x00, 0xFE, 0xFF}) h.push_back(b);  // 48000, -2
  h.push_back(family);
  h.resize(h.size() + extra, 0);
  return h;
}

}  // namespace nolv
