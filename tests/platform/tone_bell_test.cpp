#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/pulse/tone_bell.h"

namespace nolv {
namespace {

int sign_changes(const std::vector<std::int16_t>& s) {
  int n = 0;
  for (std::size_t i = 1; i < s.size(); ++i)
    if ((s[i - 1] < 0) != (s[i] < 0)) ++n;
  return n;
}

TEST(SineTone, LengthPitchAndFades) {
  struct Case {
    std::uint32_t hz, ms;
  };
  for (Case c : {Case{1000, 100}, Case{800, 250}, Case{37, 1000}, Case{20000, 50}}) {
    const auto s = sine_tone(c.hz, c.ms);
    ASSERT_EQ(s.size(), std::size_t{kToneSampleRate} * c.ms / 1000) << c.hz;
    // Two sign changes per period.
    const int want = static_cast<int>(2ull * c.hz * c.ms / 1000);
    EXPECT_NEAR(sign_changes(s), want, want / 50 + 2) << c.hz;
    const auto peak = *std::max_element(s.begin(), s.end());
    EXPECT_GT(peak, 9000) << c.hz;
    EXPECT_LT(peak, 10000) << c.hz;
    EXPECT_LT(std::abs(s.front()), 200) << c.hz;
    EXPECT_LT(std::abs(s.back()), 200) << c.hz;
  }
}

class RecordingBell : public Bell {
 public:
  Status beep(std::uint32_t hz, std::uint32_t ms) override {
    calls.emplace_back(hz, ms);
    return {};
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> calls;
};

// Pitches the tone cannot carry are not played as silence: the fallback bell rings instead.
TEST(PulseToneBell, PitchAboveTheSampleRateFailsOverToTheFallback) {
  auto fallback = std::make_shared<RecordingBell>();
  FallbackBell bell(std::make_shared<PulseToneBell>(), fallback);
  for (std::uint32_t hz : {24000u, 32767u}) {
    Status direct = PulseToneBell().beep(hz, 100);
    ASSERT_FALSE(direct.ok()) << hz;
    EXPECT_NE(direct.message().find("Hz"), std::string::npos) << direct.message();
    ASSERT_TRUE(bell.beep(hz, 100).ok());
    ASSERT_FALSE(fallback->calls.empty());
    EXPECT_EQ(fallback->calls.back(), std::make_pair(hz, 100u));
  }
}

}  // namespace
}  // namespace nolv
