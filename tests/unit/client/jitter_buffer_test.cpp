#include "client/jitter_buffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <vector>

namespace nolv {
namespace {

TEST(PcmQueue, KeepsWholeFramesInOrderAcrossChunks) {
  PcmQueue q(2);
  q.push({1, 2, 3});  // the odd sample is cut
  q.push({9});        // not one whole frame: dropped
  q.push({4, 5, 6, 7});
  EXPECT_EQ(q.queued_frames(), 3u);
  std::vector<std::int16_t> out;
  EXPECT_EQ(q.take(2, &out), 2u);
  EXPECT_EQ(out, (std::vector<std::int16_t>{1, 2, 4, 5}));
  EXPECT_EQ(q.queued_frames(), 1u);
  EXPECT_EQ(q.take(5, &out), 1u);  // only what is there
  EXPECT_EQ(out, (std::vector<std::int16_t>{1, 2, 4, 5, 6, 7}));
  EXPECT_EQ(q.queued_frames(), 0u);
  EXPECT_EQ(q.take(1, &out), 0u);
  EXPECT_EQ(out.size(), 6u);
}

TEST(PcmQueue, HardCapCutsOnlyAbove24000Frames) {
  const struct {
    std::uint64_t frames, dropped;
    std::int16_t first, second;
  } cases[] = {{24000, 0, 1000, 1000}, {24001, 1, 0, 4}, {30000, 6000, 0, 4}};
  for (const auto& c : cases) {
    PcmQueue q(1);
    q.push(std::vector<std::int16_t>(c.frames, 1000));
    EXPECT_EQ(q.enforce_hard_cap(), c.dropped) << c.frames;
    EXPECT_EQ(q.queued_frames(), std::min<std::uint64_t>(c.frames, kPcmHardCapFrames));
    EXPECT_EQ(q.sample_at(0, 0), c.first) << c.frames;
    EXPECT_EQ(q.sample_at(1, 0), c.second) << c.frames;  // 1000 x 1/240, truncated
  }
}

TEST(PcmQueue, FadeStartsAtTheCutAndRunsIntoTheNextChunk) {
  PcmQueue q(1);
  q.push(std::vector<std::int16_t>(400, 1000));  // 300 of these are cut, 100 stay
  q.push(std::vector<std::int16_t>(23700, 1000));
  q.push(std::vector<std::int16_t>(200, 1000));
  EXPECT_EQ(q.enforce_hard_cap(), 300u);
  EXPECT_EQ(q.sample_at(0, 0), 0);
  EXPECT_EQ(q.sample_at(99, 0), 412);   // 1000 x 99/240
  EXPECT_EQ(q.sample_at(100, 0), 416);  // the ramp goes on in the next chunk
  EXPECT_EQ(q.sample_at(239, 0), 995);
  EXPECT_EQ(q.sample_at(240, 0), 1000);
}

TEST(PcmQueue, HardCapDropsTheOldestAndFadesIn) {
  PcmQueue q(2);
  q.push(std::vector<std::int16_t>(2 * 20000, 1000));
  q.push(std::vector<std::int16_t>(2 * 4500 + 1, -1000));  // the odd sample is cut
  EXPECT_EQ(q.queued_frames(), 24500u);
  EXPECT_EQ(q.enforce_hard_cap(), 500u);
  EXPECT_EQ(q.queued_frames(), 24000u);
  EXPECT_EQ(q.sample_at(0, 0), 0);
  EXPECT_EQ(q.sample_at(120, 1), 500);
  EXPECT_EQ(q.sample_at(239, 0), 995);  // 1000 x 239/240, truncated
  EXPECT_EQ(q.sample_at(240, 0), 1000);
  EXPECT_EQ(q.sample_at(19500, 0), -1000);
  EXPECT_EQ(q.enforce_hard_cap(), 0u);
}

TEST(JitterTarget, NinetyFifthPercentileTwiceplus80Within80To400) {
  EXPECT_EQ(jitter_target_candidate({}), 80u);
  EXPECT_EQ(jitter_target_candidate(std::deque<std::uint32_t>(20, 10)), 100u);
  std::deque<std::uint32_t> mostly_quiet(100, 0);
  mostly_quiet[3] = 500;  // one outlier in a hundred stays below the 95th percentile
  EXPECT_EQ(jitter_target_candidate(mostly_quiet), 80u);
  EXPECT_EQ(jitter_target_candidate({1000}), 400u);
}

TEST(PlaybackRate, TrimGrowsPast20msAndStopsAtHalfAPercent) {
  const struct {
    std::uint32_t latency, target;
    float rate;
  } cases[] = {{150, 120, 1.000625f}, {250, 120, 1.005f},   {135, 120, 1.0f},
               {140, 120, 1.0f},      {90, 120, 0.999375f}, {0, 400, 0.995f}};
  for (const auto& c : cases)
    EXPECT_FLOAT_EQ(playback_rate(c.latency, c.target), c.rate) << c.latency;
}

TEST(JitterTarget, PercentileIndexAndClampEdges) {
  std::deque<std::uint32_t> descending;
  for (std::uint32_t v = 100; v-- > 0;) descending.push_back(v);
  const struct {
    std::deque<std::uint32_t> window;
    std::uint32_t candidate;
  } cases[] = {
      {descending, 270},  // sorted first; index 95 of 100
      {{0, 50}, 180},     // index (2 x 95 + 4) / 100 = 1: the larger of two
      {{50, 0}, 180},    {{159}, 398}, {{160}, 400},  // exactly the ceiling
      {{161}, 400},      {{0}, 80},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(jitter_target_candidate(c.window), c.candidate) << c.window.front();
  }
}

TEST(JitterTarget, FallsTenAtATimeTowardTheCandidateAndRisesFortyPerUnderrun) {
  const struct {
    std::uint32_t target, candidate, lowered;
  } falls[] = {
      {120, 100, 110}, {110, 100, 100}, {100, 100, 100},
      {105, 100, 100}, {90, 100, 90},  // never rises on adjustment
      {400, 80, 390},  {85, 80, 80},
  };
  for (const auto& c : falls) {
    EXPECT_EQ(lowered_target(c.target, c.candidate), c.lowered) << c.target << " " << c.candidate;
  }
  const std::pair<std::uint32_t, std::uint32_t> underruns[] = {
      {120, 160}, {360, 400}, {370, 400}, {380, 400}, {400, 400}};
  for (const auto& [target, raised] : underruns) {
    EXPECT_EQ(raised_target(target), raised) << target;
  }
}

TEST(JitterWindow, ArrivalJitterIsTheGapAgainstThePreviousDuration) {
  const struct {
    std::uint64_t received, prev_received;
    std::uint32_t prev_duration, jitter;
  } cases[] = {
      {1020, 1000, 20, 0},                          // on time
      {1050, 1000, 20, 30},                         // late
      {1005, 1000, 20, 15},                         // early
      {900, 1000, 20, 20},                          // earlier than the previous: gap 0
      {std::uint64_t{1} << 40, 0, 20, 4294967275},  // the gap saturates at 32 bits
  };
  for (const auto& c : cases) {
    EXPECT_EQ(arrival_jitter(c.received, c.prev_received, c.prev_duration), c.jitter) << c.received;
  }
}

TEST(JitterWindow, KeepsTheNewest256) {
  JitterWindow window;
  for (std::uint32_t i = 0; i < 300; ++i) record_jitter(window, i);
  ASSERT_EQ(window.size(), kJitterWindowSize);
  EXPECT_EQ(window.front(), 44u);
  EXPECT_EQ(window.back(), 299u);
}

}  // namespace
}  // namespace nolv
