#include "client/audio_output.h"

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>
#include <numbers>
#include <thread>

#include "fakes/audio_output.h"
#include "fakes/event_sink.h"
#include "fakes/log_capture.h"
#include "unit/client/opus_fixtures.h"

namespace nolv {
namespace {

// Opus packets of a sine tone, encoded by libopus.
std::vector<Bytes> sine_packets(int channels, double frequency, int count, int frame = 960) {
  int error = 0;
  OpusEncoder* encoder = opus_encoder_create(48000, channels, OPUS_APPLICATION_AUDIO, &error);
  EXPECT_EQ(error, OPUS_OK);
  std::vector<Bytes> packets;
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(frame * channels));
  long t = 0;
  for (int p = 0; p < count; ++p) {
    for (int i = 0; i < frame; ++i, ++t) {
      const auto v =
          static_cast<std::int16_t>(10000 * std::sin(2 * std::numbers::pi * frequency * t / 48000));
      for (int c = 0; c < channels; ++c) pcm[static_cast<std::size_t>(i * channels + c)] = v;
    }
    Bytes out(4000);
    const int n = opus_encode(encoder, pcm.data(), frame, out.data(), 4000);
    EXPECT_GT(n, 0);
    out.resize(static_cast<std::size_t>(std::clamp(n, 0, 4000)));
    packets.push_back(std::move(out));
  }
  opus_encoder_destroy(encoder);
  return packets;
}

OpusHeader header_of(const Bytes& data) {
  auto h = OpusHeader::parse(data);
  EXPECT_TRUE(h) << h.message();
  return h ? *h : OpusHeader{};
}

audio_command::Header header_command(std::uint8_t channels, std::uint16_t pre_skip,
                                     std::uint64_t sequence) {
  Bytes data = opus_head(channels, pre_skip);
  OpusHeader h = header_of(data);
  return audio_command::Header{std::move(data), sequence, h};
}

audio_command::Packet packet_command(Bytes data, std::uint64_t sequence,
                                     std::uint64_t received_ms = 0) {
  return audio_command::Packet{std::nullopt, std::nullopt, std::move(data), sequence, received_ms};
}

std::vector<std::pair<std::string, std::string>> events(RecordingSink& sink) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const Packet& p : sink.take()) {
    std::string payload;
    if (p.items.size() > 1 && p.items[1].as_string() != nullptr) {
      payload = "\"" + *p.items[1].as_string() + "\"";
    } else if (p.items.size() > 1) {
      payload = std::to_string(packet_get_i64(p.items, 1));
    }
    out.emplace_back(packet_get_str(p.items, 0), payload);
  }
  return out;
}

bool has_line(const std::vector<std::string>& lines, std::string_view text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(OpusPacketSamples, TocByteGivesTheCountAt48kHz) {
  const std::pair<Bytes, std::optional<std::uint32_t>> cases[] = {
      {{}, std::nullopt},
      {{0xF8}, 960},                 // CELT 20 ms, one frame
      {{0x03, 0x03}, 1440},          // SILK 10 ms, three frames
      {{0x1B, 0x03}, std::nullopt},  // SILK 60 ms x 3 = 8640, above 120 ms
      {{0x1B, 0x02}, 5760},          // exactly 120 ms
      {{0x03}, std::nullopt},        // code 3 without its count byte
      {{0xFB, 0x00}, std::nullopt},  // code 3 with zero frames
      {{0xFB, 0xC2}, 1920},          // the count is the low six bits
      {{0x61}, 960},                 // hybrid 10 ms, two frames
      {{0x68}, 960},                 // hybrid 20 ms
      {{0x81}, 240},                 // CELT 2.5 ms, two frames
  };
  for (const auto& [packet, expected] : cases) {
    EXPECT_EQ(opus_packet_samples(packet), expected)
        << (packet.empty() ? -1 : static_cast<int>(packet[0]));
  }
}

TEST(AudioProbe, AnOutputThatCannotOpenFailsTheProbeWithItsMessage) {
  auto outputs = std::make_shared<FakeAudioOutputs>();
  outputs->failures = {"opening default audio output: Connection refused"};
  auto worker = start_audio_worker(audio_worker_body(outputs), EventLoopProxy());
  ASSERT_FALSE(worker);
  EXPECT_EQ(worker.message(), "opening default audio output: Connection refused");
  auto none = start_audio_worker(audio_worker_body(nullptr), EventLoopProxy());
  ASSERT_FALSE(none);
}

class AudioStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { ensure_test_logger(); }
  // A stereo stream with `pre_skip` and `packets` 20 ms packets of a 1 kHz tone decoded into it.
  void play(std::uint16_t pre_skip, int packets, std::uint64_t sequence = 1) {
    ASSERT_TRUE(stream.handle_command(header_command(2, pre_skip, sequence), 0));
    for (Bytes& p : sine_packets(2, 1000, packets)) {
      ASSERT_TRUE(stream.handle_command(packet_command(std::move(p), sequence), 0));
    }
  }
  PlayingStream& s() { return *stream.playing(); }
  FakeDeviceState& device() { return *outputs.last(); }

  FakeAudioOutputs outputs;
  std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
  AudioStream stream{outputs, EventLoopProxy(sink)};
};

TEST_F(AudioStreamTest, DecodesRealOpusWithPreSkipIntoTheQueue) {
  play(312, 1);
  EXPECT_EQ(s().pcm.queued_frames(), 648u);
  EXPECT_EQ(s().pre_skip_left, 0u);
  ASSERT_EQ(outputs.opened_channels, std::vector<std::uint8_t>{2});
  EXPECT_EQ(events(*sink),
            (std::vector<std::pair<std::string, std::string>>{{"audio-latency", "0"}}));

  // Further packets carry the tone: about 1000 crossings per second, clearly audible.
  for (Bytes& p : sine_packets(2, 1000, 20))
    ASSERT_TRUE(stream.handle_command(packet_command(p, 1), 0));
  const std::uint64_t frames = s().pcm.queued_frames();
  EXPECT_EQ(frames, 648u + 20 * 960);
  int crossings = 0;
  double energy = 0;
  for (std::uint64_t i = 4800; i + 1 < frames; ++i) {
    const int a = s().pcm.sample_at(i, 0), b = s().pcm.sample_at(i + 1, 0);
    crossings += (a < 0) != (b < 0);
    energy += static_cast<double>(a) * a;
  }
  const double seconds = static_cast<double>(frames - 4801) / 48000;
  EXPECT_NEAR(crossings / seconds / 2, 1000, 30);
  EXPECT_GT(std::sqrt(energy / static_cast<double>(frames - 4801)), 5000);
}

TEST_F(AudioStreamTest, WorkerEndingCommands) {
  LogCapture capture;
  // Family 0 cannot carry 3 channels: a mapped header can.
  Bytes three = opus_head(3, 0, 1, 5);
  three[19] = 2;
  three[20] = 1;
  EXPECT_FALSE(stream.handle_command(audio_command::Header{three, 1, header_of(three)}, 0));
  EXPECT_EQ(stream.playing(), nullptr);
  auto got = events(*sink);
  EXPECT_EQ(got.back(),
            std::make_pair(std::string("audio-worker-failed"),
                           std::string("\"PulseAudio Opus playback currently supports mono/stereo, "
                                       "not 3 channels\"")));

  play(0, 1);
  (void)sink->take();
  EXPECT_FALSE(stream.handle_command(packet_command({}, 1), 0));
  EXPECT_EQ(events(*sink), (std::vector<std::pair<std::string, std::string>>{
                               {"audio-worker-failed", "\"invalid Opus packet duration\""}}));

  // A valid TOC over a broken body (two equal frames sharing 3 bytes): the decoder's error.
  play(0, 1, 2);
  (void)sink->take();
  EXPECT_FALSE(stream.handle_command(packet_command({0xFB, 0x02, 0x01, 0x02, 0x03}, 2), 0));
  auto decoder_failed = events(*sink);
  ASSERT_EQ(decoder_failed.size(), 1u);
  EXPECT_NE(decoder_failed[0].second.find("Opus decoder: "), std::string::npos);

  outputs.failures = {"opening default audio output: gone"};
  EXPECT_FALSE(stream.handle_command(header_command(2, 0, 3), 0));
  EXPECT_EQ(events(*sink).back().second, "\"opening default audio output: gone\"");
  EXPECT_FALSE(stream.handle_command(audio_command::Shutdown{}, 0));
  (void)capture.take_lines();
}

TEST_F(AudioStreamTest, StopsOfOtherSequencesAndPacketsOutsideTheStreamAreIgnored) {
  EXPECT_TRUE(stream.handle_command(packet_command({0xF8}, 4), 0));  // idle: dropped
  play(0, 2, 4);
  (void)sink->take();
  EXPECT_TRUE(stream.handle_command(audio_command::Stop{3}, 0));
  ASSERT_NE(stream.playing(), nullptr);
  EXPECT_TRUE(stream.handle_command(packet_command(sine_packets(2, 440, 1)[0], 3), 0));
  EXPECT_EQ(s().pcm.queued_frames(), 2u * 960);
  EXPECT_TRUE(events(*sink).empty());
  EXPECT_TRUE(stream.handle_command(audio_command::Stop{4}, 0));
  EXPECT_EQ(stream.playing(), nullptr);
  EXPECT_EQ(events(*sink),
            (std::vector<std::pair<std::string, std::string>>{{"audio-latency", "0"}}));
  play(0, 1, 5);
  EXPECT_TRUE(stream.handle_command(audio_command::Reset{9}, 0));
  EXPECT_EQ(stream.playing(), nullptr);
}

TEST_F(AudioStreamTest, JitterIsTheArrivalGapMinusThePreviousDuration) {
  ASSERT_TRUE(stream.handle_command(header_command(2, 0, 1), 0));
  const auto packets = sine_packets(2, 440, 4);
  const std::uint64_t arrivals[] = {1000, 1020, 1050, 1040};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(stream.handle_command(
        packet_command(packets[static_cast<std::size_t>(i)], 1, arrivals[i]), 0));
  }
  EXPECT_EQ(s().jitter, (std::deque<std::uint32_t>{0, 10, 20}));
  // A duration in the metadata wins over the TOC's.
  audio_command::Packet p = packet_command(packets[0], 1, 1100);
  p.duration = 50'000'000;
  ASSERT_TRUE(stream.handle_command(std::move(p), 0));
  EXPECT_EQ(s().prev_duration_ms, 50u);
  EXPECT_EQ(s().jitter.back(), 40u);  // gap 60 after a 20 ms packet
}

TEST_F(AudioStreamTest, HardCapThroughDecodingWarnsWithTheDroppedTime) {
  LogCapture capture;
  ASSERT_TRUE(stream.handle_command(header_command(2, 0, 1), 0));
  for (Bytes& p : sine_packets(2, 440, 9, 2880)) {  // 9 x 60 ms = 25920 frames
    ASSERT_TRUE(stream.handle_command(packet_command(std::move(p), 1), 0));
  }
  EXPECT_EQ(s().pcm.queued_frames(), 24000u);
  EXPECT_TRUE(
      has_line(capture.take_lines(),
               "WARN  [nolv::client::windows_audio] audio PCM hard cap reached, discarded 40ms"));
}

TEST_F(AudioStreamTest, PrebuffersToTheTargetThenFillsTheDevice) {
  play(0, 5);
  s().pcm.push(std::vector<std::int16_t>(2 * 200, 0));
  ASSERT_EQ(s().pcm.queued_frames(), 5000u);  // 104 ms, below the target of 120
  ASSERT_TRUE(stream.pump_output(10));
  EXPECT_FALSE(s().started);
  EXPECT_TRUE(device().written.empty());
  EXPECT_EQ(device().starts, 0);

  for (Bytes& p : sine_packets(2, 440, 2))
    ASSERT_TRUE(stream.handle_command(packet_command(p, 1), 0));
  const std::uint64_t queued = s().pcm.queued_frames();
  ASSERT_GE(queued * 1000 / 48000, 120u);
  ASSERT_TRUE(stream.pump_output(20));
  EXPECT_TRUE(s().started);
  EXPECT_EQ(device().starts, 1);
  EXPECT_EQ(device().written.size(), 2u * 1920);
  EXPECT_EQ(s().pcm.queued_frames(), queued - 1920);

  // Started: only whole free spaces, from what is queued.
  device().play(480);
  ASSERT_TRUE(stream.pump_output(30));
  EXPECT_EQ(device().written.size(), 2u * 2400);
  ASSERT_TRUE(stream.pump_output(31));  // nothing free: nothing written
  EXPECT_EQ(device().written.size(), 2u * 2400);
}

TEST_F(AudioStreamTest, UnderrunRebuffersWithAHigherTargetUpTo400) {
  LogCapture capture;
  play(0, 7);
  ASSERT_TRUE(stream.pump_output(0));
  ASSERT_TRUE(s().started);
  s().pcm.take(s().pcm.queued_frames() - 100, nullptr);
  device().play(1920);
  ASSERT_TRUE(stream.pump_output(500));
  EXPECT_FALSE(s().started);
  EXPECT_EQ(device().stops, 1);
  EXPECT_EQ(device().resets, 1);
  EXPECT_EQ(s().target_ms, 160u);
  EXPECT_EQ(s().last_adjust_ms, 500u);
  EXPECT_TRUE(has_line(capture.take_lines(), "audio underrun: rebuffering to 160ms"));

  s().target_ms = 380;
  s().pcm.push(std::vector<std::int16_t>(2 * 48000 * 380 / 1000, 0));
  ASSERT_TRUE(stream.pump_output(600));
  ASSERT_TRUE(s().started);
  s().pcm.take(s().pcm.queued_frames(), nullptr);
  device().play(1920);
  ASSERT_TRUE(stream.pump_output(700));
  EXPECT_EQ(s().target_ms, 400u);
}

TEST_F(AudioStreamTest, TargetFallsTenEveryThirtySecondsTowardTheJitterCandidate) {
  ASSERT_TRUE(stream.handle_command(header_command(2, 0, 1), 1000));
  s().jitter = std::deque<std::uint32_t>(20, 10);
  ASSERT_TRUE(stream.pump_output(30999));
  EXPECT_EQ(s().target_ms, 120u);
  ASSERT_TRUE(stream.pump_output(31000));
  EXPECT_EQ(s().target_ms, 110u);
  ASSERT_TRUE(stream.pump_output(61000));
  EXPECT_EQ(s().target_ms, 100u);
  ASSERT_TRUE(stream.pump_output(91000));
  EXPECT_EQ(s().target_ms, 100u);
  s().jitter.clear();
  s().target_ms = 85;
  ASSERT_TRUE(stream.pump_output(121000));
  EXPECT_EQ(s().target_ms, 80u);
  s().jitter = std::deque<std::uint32_t>(5, 100);  // candidate 280: the target never rises here
  ASSERT_TRUE(stream.pump_output(151000));
  EXPECT_EQ(s().target_ms, 80u);
}

TEST_F(AudioStreamTest, RateTrimIsSetOnlyWhenItMovesByATenThousandth) {
  ASSERT_TRUE(stream.handle_command(header_command(2, 0, 1), 0));
  // Latency = padding / 48 with an empty queue.
  const struct {
    std::uint32_t latency_ms;
    std::optional<float> set;
  } steps[] = {{141, std::nullopt},
               {142, 48000 * 1.000125f},
               {142, std::nullopt},
               {250, 48000 * 1.005f},
               {130, 48000.0f}};
  std::size_t expected_sets = 0;
  for (const auto& step : steps) {
    device().extra_padding = step.latency_ms * 48;
    ASSERT_TRUE(stream.pump_output(0));
    if (step.set) ++expected_sets;
    ASSERT_EQ(device().rates.size(), expected_sets) << step.latency_ms;
    if (step.set) {
      EXPECT_FLOAT_EQ(device().rates.back(), *step.set);
    }
  }
  device().rate_adjust = false;
  device().extra_padding = 300 * 48;
  ASSERT_TRUE(stream.pump_output(0));
  EXPECT_EQ(device().rates.size(), expected_sets);
}

TEST_F(AudioStreamTest, LatencyIsReportedWhenItMovesBy40ms) {
  ASSERT_TRUE(stream.handle_command(header_command(2, 0, 1), 0));
  (void)sink->take();
  for (std::uint32_t ms : {0u, 30u, 45u, 60u, 10u}) {
    device().extra_padding = ms * 48;
    ASSERT_TRUE(stream.pump_output(0));
  }
  EXPECT_EQ(events(*sink), (std::vector<std::pair<std::string, std::string>>{
                               {"audio-latency", "0"}, {"audio-latency", "45"}}));
}

TEST_F(AudioStreamTest, InvalidatedDeviceIsRebuiltOtherFailuresEndTheWorker) {
  LogCapture capture;
  play(0, 7);
  ASSERT_TRUE(stream.pump_output(0));
  ASSERT_TRUE(s().started);
  auto first = outputs.last();
  first->fail_next = AudioDeviceError{"the audio stream was lost: Connection terminated", true};
  first->play(960);
  ASSERT_TRUE(stream.pump_output(10));
  EXPECT_NE(outputs.last(), first);
  EXPECT_FALSE(s().started);
  EXPECT_EQ(outputs.opened_channels.size(), 2u);
  EXPECT_TRUE(has_line(capture.take_lines(), "audio output device was invalidated, rebuilding it"));
  s().pcm.push(std::vector<std::int16_t>(2 * 1920, 0));
  ASSERT_TRUE(stream.pump_output(20));  // prebuffered again: playing on the new device
  EXPECT_TRUE(s().started);

  outputs.last()->fail_next = AudioDeviceError{"gone", true};
  outputs.failures = {"opening default audio output: Connection refused"};
  outputs.last()->play(1920);
  Status failed = stream.pump_output(30);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.message(),
            "failed to recover the audio output device: opening default audio output: Connection "
            "refused");

  ASSERT_TRUE(stream.handle_command(header_command(2, 0, 2), 0));
  device().fail_next = AudioDeviceError{"Bad state", false};
  Status other = stream.pump_output(40);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.message(), "reading PulseAudio padding: Bad state");
}

TEST(AudioWorker, PlaysQueuedPacketsAndReportsAFailedHeader) {
  ensure_test_logger();
  auto outputs = std::make_shared<FakeAudioOutputs>();
  auto sink = std::make_shared<RecordingSink>();
  auto worker = start_audio_worker(audio_worker_body(outputs), EventLoopProxy(sink));
  ASSERT_TRUE(worker) << worker.message();
  ASSERT_EQ(worker->send(header_command(2, 0, 1)), SendOutcome::Sent);
  for (Bytes& p : sine_packets(2, 440, 10)) {
    ASSERT_EQ(worker->send(packet_command(std::move(p), 1)), SendOutcome::Sent);
  }
  std::shared_ptr<FakeDeviceState> device;
  for (int i = 0; i < 400; ++i) {
    device = outputs->last();
    if (outputs->opened() == 2 && device->start_count() > 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(outputs->opened(), 2u);  // the probe's, then the stream's
  {
    std::lock_guard lock(device->mutex);
    EXPECT_EQ(device->starts, 1);
    EXPECT_EQ(device->written.size(), 2u * 1920);
  }
  // The device plays: the worker refills it from the queue.
  device->play(960);
  for (int i = 0; i < 400; ++i) {
    {
      std::lock_guard lock(device->mutex);
      if (device->written.size() > 2u * 1920) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  {
    std::lock_guard lock(device->mutex);
    EXPECT_EQ(device->written.size(), 2u * 2880);
  }

  {
    std::lock_guard lock(outputs->mutex);
    outputs->failures = {"opening default audio output: gone"};
  }
  ASSERT_EQ(worker->send(header_command(2, 0, 2)), SendOutcome::Sent);
  std::vector<std::pair<std::string, std::string>> got;
  for (int i = 0; i < 400; ++i) {
    for (auto& e : events(*sink)) got.push_back(e);
    if (!got.empty() && got.back().first == "audio-worker-failed") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), std::make_pair(std::string("audio-worker-failed"),
                                       std::string("\"opening default audio output: gone\"")));
  // The worker has ended: its end of the channel is gone.
  SendOutcome after = SendOutcome::Sent;
  for (int i = 0; i < 400 && after != SendOutcome::Closed; ++i) {
    after = worker->send(audio_command::Reset{3});
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(after, SendOutcome::Closed);
}

}  // namespace
}  // namespace nolv
