// SHA-256 (FIPS 180-4), HMAC-SHA256 (RFC 2104) and lower-case hex, written here so the challenge
// answer does not depend on which TLS library is present.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace nolv {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental form, for callers that hash data in pieces.
class Sha256 {
 public:
  Sha256();
  void update(std::span<const std::uint8_t> bytes);
  [[nodiscard]] Sha256Digest finish();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> block_{};
  std::size_t block_used_ = 0;
  std::uint64_t total_bytes_ = 0;
};

[[nodiscard]] Sha256Digest sha256(std::span<const std::uint8_t> bytes);
[[nodiscard]] Sha256Digest sha256(std::string_view text);

[[nodiscard]] Sha256Digest hmac_sha256(std::span<const std::uint8_t> key,
                                       std::span<const std::uint8_t> message);
// 64 lower-case hex characters.
[[nodiscard]] std::string hmac_sha256_hex(std::span<const std::uint8_t> key,
                                          std::span<const std::uint8_t> message);
[[nodiscard]] std::string hmac_sha256_hex(std::string_view key, std::string_view message);

// Two lower-case hex digits per byte, high nibble first: {0x00, 0xAB, 0xFF} -> "00abff".
[[nodiscard]] std::string hex_encode(std::span<const std::uint8_t> bytes);

}  // namespace nolv
