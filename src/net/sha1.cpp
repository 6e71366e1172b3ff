#include "net/sha1.h"

#include <bit>

namespace nolv {

namespace {

constexpr std::size_t kBlockSize = 64;

std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void compress(std::array<std::uint32_t, 5>& state, const std::uint8_t* block) {
  std::array<std::uint32_t, 80> w;
  for (std::size_t t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
  for (std::size_t t = 16; t < 80; ++t) {
    w[t] = std::rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
  }
  auto [a, b, c, d, e] = state;
  for (std::size_t t = 0; t < 80; ++t) {
    std::uint32_t f;
    std::uint32_t k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5a827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ed9eba1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8f1bbcdc;
    } else {
      f = b ^ c ^ d;
      k = 0xca62c1d6;
    }
    const std::uint32_t temp = std::rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = std::rotl(b, 30);
    b = a;
    a = temp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

std::array<std::uint8_t, 20> sha1(std::span<const std::uint8_t> bytes) {
  std::array<std::uint32_t, 5> state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  const std::size_t whole = bytes.size() / kBlockSize * kBlockSize;
  for (std::size_t off = 0; off < whole; off += kBlockSize) compress(state, bytes.data() + off);

  // The rest, 0x80, zeros and the 64-bit big-endian bit length: one or two blocks.
  std::array<std::uint8_t, 2 * kBlockSize> tail{};
  const std::size_t rest = bytes.size() - whole;
  for (std::size_t i = 0; i < rest; ++i) tail[i] = bytes[whole + i];
  tail[rest] = 0x80;
  const std::size_t tail_len = rest < 56 ? kBlockSize : 2 * kBlockSize;
  const std::uint64_t bit_length = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (std::size_t i = 0; i < 8; ++i) {
    tail[tail_len - 8 + i] = static_cast<std::uint8_t>(bit_length >> (56 - 8 * i));
  }
  for (std::size_t off = 0; off < tail_len; off += kBlockSize) compress(state, tail.data() + off);

  std::array<std::uint8_t, 20> digest;
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

std::array<std::uint8_t, 20> sha1(std::string_view text) {
  return sha1(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size()));
}

}  // namespace nolv
