#include "client/audio.h"

#include <gtest/gtest.h>

#include <thread>

#include "unit/client/opus_fixtures.h"

namespace nolv {
namespace {

TEST(OpusHeader, ChecksInOrderAndReadsLittleEndianFields) {
  const Bytes valid = opus_head(2, 312);
  auto h = OpusHeader::parse(valid);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->version, 1);
  EXPECT_EQ(h->channel_count, 2);
  EXPECT_EQ(h->pre_skip, 312);
  EXPECT_EQ(h->input_sample_rate, 48000u);
  EXPECT_EQ(h->output_gain, -2);
  EXPECT_EQ(h->mapping_family, 0);

  auto with = [](Bytes b, std::size_t at, std::uint8_t v) {
    b[at] = v;
    return b;
  };
  const Bytes short_head(valid.begin(), valid.end() - 1);
  Bytes bad_magic = with(valid, 4, 'h');
  const std::pair<Bytes, const char*> cases[] = {
      {short_head, "invalid OpusHead signature or length"},
      {bad_magic, "invalid OpusHead signature or length"},
      {with(valid, 8, 16), "unsupported OpusHead version 16"},
      {with(with(valid, 8, 16), 9, 0), "unsupported OpusHead version 16"},
      {with(valid, 9, 0), "OpusHead declares zero channels"},
      {opus_head(3, 0), "Opus mapping family 0 only supports mono or stereo"},
      {opus_head(2, 0, 1), "truncated mapped OpusHead"},
      {opus_head(2, 0, 1, 3), "truncated mapped OpusHead"},
  };
  for (const auto& [data, message] : cases) {
    auto r = OpusHeader::parse(data);
    ASSERT_FALSE(r) << message;
    EXPECT_EQ(r.message(), message);
  }
  EXPECT_TRUE(OpusHeader::parse(with(valid, 8, 15)));
  EXPECT_TRUE(OpusHeader::parse(opus_head(2, 0, 1, 4)));  // 23 bytes
  EXPECT_TRUE(OpusHeader::parse(opus_head(8, 0, 255, 10)));
}

TEST(ReportedDelay, ReportsFirstThenOnlyMovesOf40msOrMore) {
  ReportedDelay d;
  EXPECT_TRUE(d.update(100));
  EXPECT_FALSE(d.update(139));
  EXPECT_FALSE(d.update(61));
  EXPECT_TRUE(d.update(140));
  EXPECT_EQ(d.last, 140u);
  EXPECT_TRUE(d.update(100));
  d.reported = false;
  EXPECT_TRUE(d.update(100));
}

TEST(AudioChannel, HoldsNinetySixCommandsAndReportsAStoppedWorker) {
  auto state = std::make_shared<AudioChannelState>();
  AudioCommandReceiver receiver(state);
  auto running = std::make_shared<std::atomic<bool>>(true);
  std::optional<AudioWorker> worker(std::in_place, AudioCommandSender(state), running);
  for (std::uint64_t i = 0; i < kAudioChannelCapacity; ++i) {
    ASSERT_EQ(worker->send(audio_command::Reset{i}), AudioQueueOutcome::Queued) << i;
  }
  EXPECT_EQ(worker->send(audio_command::Stop{7}), AudioQueueOutcome::Full);
  AudioCommand got;
  ASSERT_EQ(receiver.receive(std::chrono::milliseconds(0), got),
            AudioCommandReceiver::Status::Received);
  EXPECT_EQ(std::get<audio_command::Reset>(got).sequence, 0u);
  EXPECT_EQ(worker->send(audio_command::Stop{7}), AudioQueueOutcome::Queued);
  EXPECT_EQ(worker->send(audio_command::Reset{1}), AudioQueueOutcome::Full);

  // Dropping the handle clears the flag; the worker drains what is left and sees the end.
  worker.reset();
  EXPECT_FALSE(running->load());
  int left = 0;
  while (receiver.receive(std::chrono::milliseconds(0), got) ==
         AudioCommandReceiver::Status::Received) {
    ++left;
  }
  EXPECT_EQ(left, 96);  // the 95 resets, the stop; the shutdown found the channel full
  EXPECT_EQ(receiver.receive(std::chrono::milliseconds(0), got),
            AudioCommandReceiver::Status::Closed);

  auto state2 = std::make_shared<AudioChannelState>();
  auto running2 = std::make_shared<std::atomic<bool>>(true);
  AudioWorker gone_receiver(AudioCommandSender(state2), running2);
  { AudioCommandReceiver r(state2); }
  EXPECT_EQ(gone_receiver.send(audio_command::Reset{0}), AudioQueueOutcome::Stopped);
  auto state3 = std::make_shared<AudioChannelState>();
  AudioCommandReceiver r3(state3);
  auto running3 = std::make_shared<std::atomic<bool>>(false);
  AudioWorker cleared_flag(AudioCommandSender(state3), running3);
  EXPECT_EQ(cleared_flag.send(audio_command::Reset{0}), AudioQueueOutcome::Stopped);
}

TEST(AudioProbe, SuccessFailureAndTimeOut) {
  auto ok = start_audio_worker([](AudioWorkerContext c) { c.probe({}); }, EventLoopProxy());
  EXPECT_TRUE(ok);
  auto failed = start_audio_worker([](AudioWorkerContext c) { c.probe(fail("no device")); },
                                   EventLoopProxy());
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.message(), "no device");
  auto silent = start_audio_worker([](AudioWorkerContext) {}, EventLoopProxy());
  ASSERT_FALSE(silent);
  EXPECT_EQ(silent.message(), "audio startup probe timed out");
  auto late = start_audio_worker(
      [](AudioWorkerContext c) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        c.probe({});
      },
      EventLoopProxy(), std::chrono::milliseconds(50));
  ASSERT_FALSE(late);
  EXPECT_EQ(late.message(), "audio startup probe timed out");
}

}  // namespace
}  // namespace nolv
