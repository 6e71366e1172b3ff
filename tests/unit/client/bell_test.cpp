// The bell rules, the session's "bell" and "window-bell" handlers, and the bell forwarding's
// threads.
#include "client/bell.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "fakes/bell.h"
#include "fakes/log_capture.h"
#include "session_fixture.h"

namespace nolv {
namespace {

TEST(BellRules, FrequencyAndDuration) {
  const std::pair<std::int32_t, std::uint32_t> pitches[] = {
      {36, 800}, {37, 37},    {440, 440},       {32767, 32767},   {32768, 800},
      {0, 800},  {-440, 800}, {INT32_MIN, 800}, {INT32_MAX, 800},
  };
  for (const auto& [pitch, hz] : pitches) EXPECT_EQ(bell_frequency(pitch), hz) << pitch;
  const std::pair<std::int32_t, std::uint32_t> durations[] = {
      {0, 100},     {-5, 100},    {1, 1},           {250, 250},        {5000, 5000},
      {5001, 5000}, {9000, 5000}, {INT32_MIN, 100}, {INT32_MAX, 5000},
  };
  for (const auto& [d, ms] : durations) EXPECT_EQ(bell_duration_ms(d), ms) << d;
}

// A session built with a recording bell.
class BellSession : public SessionTest {
 protected:
  void SetUp() override {
    services.bell = bell;
    SessionTest::SetUp();
  }
  std::shared_ptr<RecordingBell> bell = std::make_shared<RecordingBell>();
};

TEST_F(BellSession, BellsRingOnTheirOwnThreadWithTheRules) {
  dispatch({S("bell"), I(0), I(0), I(0), I(36), I(0)});
  ASSERT_EQ(bell->wait_for_beeps(1).size(), 1u);
  dispatch({S("window-bell"), I(3), I(0), I(0), I(37), I(-5)});
  ASSERT_EQ(bell->wait_for_beeps(2).size(), 2u);
  dispatch({S("bell"), I(0), I(0), I(0), I(440), I(9000)});
  const auto tones = bell->wait_for_beeps(3);
  ASSERT_EQ(tones.size(), 3u);
  EXPECT_EQ(tones[0], (RecordingBell::Tone{800, 100}));
  EXPECT_EQ(tones[1], (RecordingBell::Tone{37, 100}));
  EXPECT_EQ(tones[2], (RecordingBell::Tone{440, 5000}));
  // Items missing or of another type read as 0.
  dispatch({S("bell"), I(0), S("x")});
  EXPECT_EQ(bell->wait_for_beeps(4).back(), (RecordingBell::Tone{800, 100}));
  EXPECT_TRUE(peer.drain().empty());
}

// ["bell", wid, device, percent, pitch, duration]
Packet bell_packet(std::int64_t pitch, std::int64_t duration) {
  return packet_of({S("bell"), I(0), I(0), I(0), I(pitch), I(duration)});
}

// A bell whose tones last until the test lets them end.
class HeldBell : public Bell {
 public:
  Status beep(std::uint32_t, std::uint32_t) override {
    std::unique_lock lock(mutex_);
    ++started_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
    return {};
  }
  // The number of tones started once `count` have, or after `timeout`.
  int wait_started(int count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return started_ >= count; });
    return started_;
  }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int started_ = 0;
  bool released_ = false;
};

TEST(BellForwarding, OnlyAFewBellsRingAtOnceAndTheRestAreDropped) {
  auto bell = std::make_shared<HeldBell>();
  BellForwarding bells(bell);
  LogCapture capture;
  for (int i = 0; i < 50; ++i) bells.handle_bell(bell_packet(440, 100));
  // The four ringing bells hold their threads; a fifth would show up within the wait.
  EXPECT_EQ(bell->wait_started(5, std::chrono::milliseconds(500)), 4);
  const auto lines = capture.take_lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find(
                                       "DEBUG [nolv::client::client] dropping a bell: 4 are "
                                       "already ringing") != std::string::npos;
                          }),
            46);
  bell->release();
  // Once they have ended, bells ring again.
  for (int tries = 0; tries < 500 && bells.ringing() != 0; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bells.handle_bell(bell_packet(440, 100));
  EXPECT_EQ(bell->wait_started(5, std::chrono::seconds(5)), 5);
}

TEST(BellForwarding, AFailingBellIsIgnored) {
  auto bell = std::make_shared<RecordingBell>(true);
  BellForwarding bells(bell);
  bells.handle_bell(bell_packet(1000, 50));
  EXPECT_EQ(bell->wait_for_beeps(1).size(), 1u);
  bells.handle_bell(bell_packet(1000, 60));
  EXPECT_EQ(bell->wait_for_beeps(2).size(), 2u);
}

}  // namespace
}  // namespace nolv
