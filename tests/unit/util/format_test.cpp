#include "util/format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nolv {
namespace {

using namespace std::chrono_literals;

TEST(Format, Durations) {
  EXPECT_EQ(format_duration(1500us), "1.5ms");
  EXPECT_EQ(format_duration(250us), "250µs");
  EXPECT_EQ(format_duration(2s), "2s");
  EXPECT_EQ(format_duration(0ns), "0ns");
  EXPECT_EQ(format_duration(999ns), "999ns");
  EXPECT_EQ(format_duration(1001ns), "1.001µs");
  EXPECT_EQ(format_duration(1s + 1ns), "1.000000001s");
  EXPECT_EQ(format_duration(61s + 500ms), "61.5s");
}

TEST(Format, LogValuesAreCutWithAMark) {
  const std::string limit(kLogValueLimit, 'a');
  struct Case {
    std::string name;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"short", "title", "title"},
      {"at the limit", limit, limit},
      {"one above", limit + "b", limit + "…[1 bytes cut]"},
      {"32 MiB", std::string(32u << 20, 'x'),
       std::string(kLogValueLimit, 'x') + "…[" + std::to_string((32u << 20) - kLogValueLimit) +
           " bytes cut]"},
      // "é" (2 bytes) straddling the limit is dropped whole.
      {"inside a character", std::string(kLogValueLimit - 1, 'a') + "é" + "z",
       std::string(kLogValueLimit - 1, 'a') + "…[3 bytes cut]"},
  };
  for (const Case& c : cases) EXPECT_EQ(log_value(c.text), c.expected) << c.name;
}

TEST(Format, QuotedEscapes) {
  EXPECT_EQ(quoted_text("plain"), "\"plain\"");
  EXPECT_EQ(quoted_text("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_text("l1\nl2\r\t"), "\"l1\\nl2\\r\\t\"");
  EXPECT_EQ(quoted_text(std::string_view("\x1b\x7f\0", 3)), "\"\\u{1b}\\u{7f}\\0\"");
  EXPECT_EQ(quoted_text("é"), "\"é\"");
}

TEST(Format, LoggedBytesAreCutWithAMark) {
  const std::uint8_t short_list[] = {80, 4, 0};
  EXPECT_EQ(log_bytes(short_list), "[80, 4, 0]");
  EXPECT_EQ(log_bytes({}), "[]");
  // A 1080p picture's worth of bytes keeps a few hundred characters and says how much went.
  const std::vector<std::uint8_t> picture(1920 * 1080 * 4, 255);
  const std::string line = log_bytes(picture);
  EXPECT_LT(line.size(), kLogValueLimit + 40);
  const std::size_t kept = (line.find(']') - 1 + 2) / 5;  // "255, " per byte, the last without ", "
  EXPECT_EQ(line.substr(0, 11), "[255, 255, ");
  EXPECT_TRUE(line.ends_with("]…[" + std::to_string(picture.size() - kept) + " bytes cut]"))
      << line;
}

TEST(Format, BytesAndShortestNumbers) {
  const std::uint8_t bytes[] = {80, 4, 0};
  EXPECT_EQ(format_bytes(bytes), "[80, 4, 0]");
  EXPECT_EQ(format_bytes({}), "[]");
  EXPECT_EQ(format_shortest(2.0), "2");
  EXPECT_EQ(format_shortest(1.5), "1.5");
  EXPECT_EQ(format_shortest(0.1), "0.1");
}

}  // namespace
}  // namespace nolv
