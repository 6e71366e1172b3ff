#include "net/sha256.h"

#include <algorithm>
#include <bit>

namespace nolv {

namespace {

constexpr std::size_t kBlockSize = 64;

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::array<std::uint32_t, 8> kInitialState = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Sha256::Sha256() : state_(kInitialState) {}

void Sha256::compress(const std::uint8_t* block) {
  std::array<std::uint32_t, 64> w;
  for (std::size_t t = 0; t < 16; ++t) w[t] = load_be32(block + 4 * t);
  for (std::size_t t = 16; t < 64; ++t) {
    const std::uint32_t s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const std::uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  auto [a, b, c, d, e, f, g, h] = state_;
  for (std::size_t t = 0; t < 64; ++t) {
    const std::uint32_t big_s1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
    const std::uint32_t choose = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + big_s1 + choose + kRoundConstants[t] + w[t];
    const std::uint32_t big_s0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = big_s0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const std::array<std::uint32_t, 8> add = {a, b, c, d, e, f, g, h};
  for (std::size_t i = 0; i < 8; ++i) state_[i] += add[i];
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  total_bytes_ += bytes.size();
  while (!bytes.empty()) {
    if (block_used_ == 0 && bytes.size() >= kBlockSize) {
      compress(bytes.data());  // whole blocks straight from the input, no copy
      bytes = bytes.subspan(kBlockSize);
      continue;
    }
    const std::size_t take = std::min(kBlockSize - block_used_, bytes.size());
    std::copy_n(bytes.begin(), take, block_.begin() + static_cast<std::ptrdiff_t>(block_used_));
    block_used_ += take;
    bytes = bytes.subspan(take);
    if (block_used_ == kBlockSize) {
      compress(block_.data());
      block_used_ = 0;
    }
  }
}

Sha256Digest Sha256::finish() {
  const std::uint64_t bit_length = total_bytes_ * 8;  // the length field is modulo 2^64 bits
  std::array<std::uint8_t, kBlockSize + 8> tail{};
  tail[0] = 0x80;
  // Pad so that the 8-byte length ends exactly on a block boundary.
  const std::size_t pad = (block_used_ < 56 ? 56 - block_used_ : 120 - block_used_);
  for (std::size_t i = 0; i < 8; ++i)
    tail[pad + i] = static_cast<std::uint8_t>(bit_length >> (56 - 8 * i));
  update(std::span<const std::uint8_t>(tail.data(), pad + 8));
  Sha256Digest digest;
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(state_[i] >> (24 - 8 * j));
    }
  }
  *this = Sha256();
  return digest;
}

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
  Sha256 hasher;
  hasher.update(bytes);
  return hasher.finish();
}

Sha256Digest sha256(std::string_view text) {
  return sha256(as_bytes(text));
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
  std::array<std::uint8_t, kBlockSize> block_key{};
  if (key.size() > kBlockSize) {
    const Sha256Digest digest = sha256(key);
    std::copy(digest.begin(), digest.end(), block_key.begin());
  } else {
    std::copy(key.begin(), key.end(), block_key.begin());
  }
  std::array<std::uint8_t, kBlockSize> pad;
  for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block_key[i] ^ 0x36;
  Sha256 inner;
  inner.update(pad);
  inner.update(message);
  const Sha256Digest inner_digest = inner.finish();
  for (std::size_t i = 0; i < kBlockSize; ++i) pad[i] = block_key[i] ^ 0x5c;
  Sha256 outer;
  outer.update(pad);
  outer.update(inner_digest);
  return outer.finish();
}

std::string hmac_sha256_hex(std::span<const std::uint8_t> key,
                            std::span<const std::uint8_t> message) {
  return hex_encode(hmac_sha256(key, message));
}

std::string hmac_sha256_hex(std::string_view key, std::string_view message) {
  return hmac_sha256_hex(as_bytes(key), as_bytes(message));
}

std::string hex_encode(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

}  // namespace nolv
