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
  auto channel = Channel<AudioCommand>::open(kAudioChannelCapacity);
  AudioCommandReceiver& receiver = channel.receiver;
  auto running = std::make_shared<std::atomic<bool>>(true);
  std::optional<AudioWorker> worker(std::in_place, std::move(channel.sender), running);
  for (std::uint64_t i = 0; i < kAudioChannelCapacity; ++i) {
    ASSERT_EQ(worker->send(audio_command::Reset{i}), SendOutcome::Sent) << i;
  }
  EXPECT_EQ(worker->send(audio_command::Stop{7}), SendOutcome::Full);
  Receipt<AudioCommand> got = receiver.try_recv();
  ASSERT_EQ(got.status, RecvStatus::Received);
  EXPECT_EQ(std::get<audio_command::Reset>(*got.value).sequence, 0u);
  EXPECT_EQ(worker->send(audio_command::Stop{7}), SendOutcome::Sent);
  EXPECT_EQ(worker->send(audio_command::Reset{1}), SendOutcome::Full);

  // Dropping the handle clears the flag; the worker drains what is left and sees the end.
  worker.reset();
  EXPECT_FALSE(running->load());
  int left = 0;
  while (receiver.try_recv().status == RecvStatus::Received) ++left;
  EXPECT_EQ(left, 96);  // the 95 resets, the stop; the shutdown found the channel full
  EXPECT_EQ(receiver.try_recv().status, RecvStatus::Closed);

  auto channel2 = Channel<AudioCommand>::open(kAudioChannelCapacity);
  auto running2 = std::make_shared<std::atomic<bool>>(true);
  AudioWorker gone_receiver(std::move(channel2.sender), running2);
  { AudioCommandReceiver r = std::move(channel2.receiver); }
  EXPECT_EQ(gone_receiver.send(audio_command::Reset{0}), SendOutcome::Closed);
  auto channel3 = Channel<AudioCommand>::open(kAudioChannelCapacity);
  auto running3 = std::make_shared<std::atomic<bool>>(false);
  AudioWorker cleared_flag(std::move(channel3.sender), running3);
  EXPECT_EQ(cleared_flag.send(audio_command::Reset{0}), SendOutcome::Closed);
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
