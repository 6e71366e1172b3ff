#include "net/base64.h"

#include <gtest/gtest.h>

namespace nolv {
namespace {

std::string decode_result(std::string_view text) {
  auto r = base64_decode(text);
  if (auto* e = std::get_if<Base64Error>(&r)) return to_string(*e);
  const auto& b = std::get<std::vector<std::uint8_t>>(r);
  return "ok:" + std::string(b.begin(), b.end());
}

TEST(Base64, DecodesAndReportsEachFault) {
  struct Case {
    std::string_view text;
    std::string_view expected;
  } cases[] = {
      {"", "ok:"},
      {"aGVsbG8=", "ok:hello"},
      {"aGVsbA==", "ok:hell"},
      {"aGVs", "ok:hel"},
      {"aGVsbG8", "InvalidPadding"},
      {"aGVsbA=", "InvalidPadding"},
      {"aGVsbA", "InvalidPadding"},
      {"aGVsbG8=\r\n", "InvalidByte(7, 61)"},
      {"aGVs\r\nbG8=", "InvalidByte(4, 13)"},
      {"A", "InvalidLength(1)"},
      {"aGVsb", "InvalidLength(5)"},
      {"=AAA", "InvalidByte(0, 61)"},
      {"A=AA", "InvalidByte(1, 61)"},
      {"AA=A", "InvalidByte(2, 61)"},
      {"AA==AAAA", "InvalidByte(2, 61)"},
      {"aGVsbG9=", "InvalidLastSymbol(6, 57)"},
      {"aGVsbB==", "InvalidLastSymbol(5, 66)"},
      {"aGV*", "InvalidByte(3, 42)"},
      {"aGVs*", "InvalidByte(4, 42)"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_result(c.text), c.expected) << c.text;
}

TEST(Base64, EncodeRoundTripsEveryTailLength) {
  std::vector<std::uint8_t> data;
  for (int n = 0; n < 40; ++n) {
    const std::string text = base64_encode(data);
    EXPECT_EQ(text.size() % 4, 0u);
    auto back = base64_decode(text);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::uint8_t>>(back)) << text;
    EXPECT_EQ(std::get<std::vector<std::uint8_t>>(back), data);
    data.push_back(static_cast<std::uint8_t>(n * 37 + 250));
  }
  const std::vector<std::uint8_t> hello{'h', 'e', 'l', 'l', 'o'};
  EXPECT_EQ(base64_encode(hello), "aGVsbG8=");
}

}  // namespace
}  // namespace nolv
