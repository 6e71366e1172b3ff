#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

#include "net/base64.h"
#include "net/sha1.h"
#include "net/sha256.h"

namespace nolv {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes repeat(std::uint8_t byte, std::size_t count) {
  return Bytes(count, byte);
}

Bytes bytes_of(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes counting_from(std::uint8_t first, std::size_t count) {
  Bytes out(count);
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

Bytes random_bytes(std::mt19937_64& rng, std::size_t count) {
  Bytes out(count);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

std::string openssl_digest_hex(const EVP_MD* md, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out, &len, md, nullptr), 1);
  return hex_encode(std::span<const std::uint8_t>(out, len));
}

std::string openssl_hmac_hex(const Bytes& key, const Bytes& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  std::size_t len = 0;
  // A non-null key pointer even for an empty key, which OpenSSL otherwise refuses.
  static const unsigned char empty = 0;
  EXPECT_NE(
      EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.empty() ? &empty : key.data(),
                key.size(), data.data(), data.size(), out, sizeof out, &len),
      nullptr);
  return hex_encode(std::span<const std::uint8_t>(out, len));
}

TEST(HexEncode, LowerCaseHighNibbleFirst) {
  EXPECT_EQ(hex_encode(Bytes{0x00, 0xAB, 0xFF}), "00abff");
  EXPECT_EQ(hex_encode(Bytes{}), "");
  EXPECT_EQ(hex_encode(counting_from(0x01, 16)), "0102030405060708090a0b0c0d0e0f10");
}

TEST(Sha256, Fips180Vectors) {
  struct Case {
    Bytes input;
    std::string_view digest;
  } cases[] = {
      {bytes_of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {bytes_of("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the first block.
      {bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {bytes_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
                "klmnopqrlmnopqrsmnopqrstnopqrstu"),
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {repeat('a', 1'000'000), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_encode(sha256(c.input)), c.digest) << "length " << c.input.size();
  }
  EXPECT_EQ(hex_encode(sha256(std::string_view("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// Every length from 0 to 300 crosses the padding boundaries 55, 56 and 64 and the two-block cases.
TEST(Sha256, MatchesOpenSslAtEveryLengthAroundThePaddingBoundaries) {
  std::mt19937_64 rng(1);
  for (std::size_t len = 0; len <= 300; ++len) {
    const Bytes data = random_bytes(rng, len);
    EXPECT_EQ(hex_encode(sha256(data)), openssl_digest_hex(EVP_sha256(), data)) << len;
  }
}

TEST(Sha256, PiecewiseUpdatesGiveTheOneShotDigest) {
  std::mt19937_64 rng(2);
  const Bytes data = random_bytes(rng, 1000);
  for (const std::size_t piece : {1u, 7u, 55u, 63u, 64u, 65u, 200u}) {
    Sha256 hasher;
    for (std::size_t off = 0; off < data.size(); off += piece) {
      hasher.update(std::span(data).subspan(off, std::min(piece, data.size() - off)));
    }
    EXPECT_EQ(hasher.finish(), sha256(data)) << piece;
  }
}

TEST(HmacSha256, Rfc4231Vectors) {
  struct Case {
    Bytes key;
    Bytes data;
    std::string_view mac;
  } cases[] = {
      {repeat(0x0b, 20), bytes_of("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {repeat(0xaa, 20), repeat(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {counting_from(0x01, 25), repeat(0xcd, 50),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {repeat(0xaa, 131), bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {repeat(0xaa, 131),
       bytes_of("This is a test using a larger than block-size key and a larger than block-size "
                "data. The key needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const auto& c : cases) EXPECT_EQ(hmac_sha256_hex(c.key, c.data), c.mac);
  // Test case 5 publishes only the first 128 bits.
  EXPECT_EQ(hmac_sha256_hex(repeat(0x0c, 20), bytes_of("Test With Truncation")).substr(0, 32),
            "a3b6167473100ee06e0c796c2955552b");
  EXPECT_EQ(hmac_sha256_hex(std::string_view("Jefe"), "what do ya want for nothing?"),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(HmacSha256, KeysBeyondOneBlockAreReplacedByTheirDigest) {
  const Bytes message = bytes_of("salt");
  const Bytes key64 = counting_from(0, 64);
  const Bytes key65 = counting_from(0, 65);
  const Sha256Digest d64 = sha256(key64);
  const Sha256Digest d65 = sha256(key65);
  EXPECT_NE(hmac_sha256_hex(key64, message),
            hmac_sha256_hex(Bytes(d64.begin(), d64.end()), message));
  EXPECT_EQ(hmac_sha256_hex(key65, message),
            hmac_sha256_hex(Bytes(d65.begin(), d65.end()), message));
}

TEST(HmacSha256, MatchesOpenSslOnRandomKeysAndMessages) {
  std::mt19937_64 rng(3);
  for (std::size_t key_len = 0; key_len <= 140; ++key_len) {
    const Bytes key = random_bytes(rng, key_len);
    const Bytes data = random_bytes(rng, rng() % 300);
    EXPECT_EQ(hmac_sha256_hex(key, data), openssl_hmac_hex(key, data)) << key_len;
  }
}

TEST(Sha1, Fips180Vectors) {
  struct Case {
    Bytes input;
    std::string_view digest;
  } cases[] = {
      {bytes_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {bytes_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {repeat('a', 1'000'000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_encode(sha1(c.input)), c.digest) << "length " << c.input.size();
  }
}

TEST(Sha1, WebsocketAcceptKeyOfTheRfc6455Example) {
  const auto digest =
      sha1(std::string_view("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
  EXPECT_EQ(base64_encode(digest), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(Sha1, MatchesOpenSslAtEveryLengthAroundThePaddingBoundaries) {
  std::mt19937_64 rng(4);
  for (std::size_t len = 0; len <= 300; ++len) {
    const Bytes data = random_bytes(rng, len);
    EXPECT_EQ(hex_encode(sha1(data)), openssl_digest_hex(EVP_sha1(), data)) << len;
  }
}

}  // namespace
}  // namespace nolv
