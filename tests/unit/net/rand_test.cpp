#include "net/rand.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/log_capture.h"

namespace nolv {
namespace {

bool all_hex(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool failing_source(std::span<std::uint8_t>) {
  return false;
}

TEST(RandomSalt, SystemSourceGivesFreshHex) {
  for (const std::size_t n : {0u, 1u, 32u, 64u, 1000u}) {
    const std::string a = random_salt_hex(n);
    EXPECT_EQ(a.size(), 2 * n);
    EXPECT_TRUE(all_hex(a)) << a;
  }
  EXPECT_NE(random_salt_hex(32), random_salt_hex(32));
}

TEST(RandomSalt, FailingSourceFallsBackAndWarnsOncePerCall) {
  LogCapture capture;
  const std::string a = random_salt_hex(32, failing_source);
  const std::string b = random_salt_hex(64, failing_source);
  const auto lines = capture.take_lines();
  EXPECT_EQ(a.size(), 64u);
  EXPECT_EQ(b.size(), 128u);
  EXPECT_TRUE(all_hex(a) && all_hex(b));
  EXPECT_NE(a, std::string(64, '0'));
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& line : lines) {
    EXPECT_NE(line.find(" WARN  [nolv::net::rand] getrandom failed, using a "
                        "non-cryptographic salt fallback"),
              std::string::npos)
        << line;
  }
}

TEST(RandomSalt, SplitMix64TakesTheLowByteOfEachFullOutput) {
  // Seed 0 yields 0xe220a8397b1dcdaf, 0x6e789e6aa1b965f4, 0x06c45d188009454f.
  std::uint8_t out[3] = {};
  splitmix64_fill(out, 0);
  EXPECT_EQ(out[0], 0xaf);
  EXPECT_EQ(out[1], 0xf4);
  EXPECT_EQ(out[2], 0x4f);
}

}  // namespace
}  // namespace nolv
