#include "client/audio.h"

#include <opus/opus.h>
#include <opus/opus_multistream.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "client/client.h"
#include "client/remote_logging.h"
#include "util/format.h"
#include "util/thread.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::windows_audio";
constexpr std::uint32_t kInitialTargetMs = 120;
constexpr std::uint32_t kMinTargetMs = 80;
constexpr std::uint32_t kMaxTargetMs = 400;
constexpr std::uint32_t kUnderrunStepMs = 40;
constexpr std::uint64_t kTargetAdjustIntervalMs = 30000;
constexpr std::uint32_t kTargetFallStepMs = 10;
constexpr std::uint64_t kFadeInFrames = 240;
constexpr std::uint32_t kDelayChangeMs = 40;

std::uint32_t saturate_u32(std::uint64_t v) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

std::uint32_t queued_ms(const PlayingStream& s) {
  return saturate_u32(s.pcm.queued_frames() * 1000 / kAudioSampleRate);
}

AudioDeviceError in_context(std::string_view context, const AudioDeviceError& e) {
  return AudioDeviceError{fmt::format("{}: {}", context, e.message), e.device_invalidated};
}

// The probe's end that a worker that ends without sending leaves behind.
struct ProbeChannel {
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<Status> result;
  bool sender_gone = false;
};

struct ProbeSenderGuard {
  std::shared_ptr<ProbeChannel> channel;
  explicit ProbeSenderGuard(std::shared_ptr<ProbeChannel> c) : channel(std::move(c)) {}
  ProbeSenderGuard(const ProbeSenderGuard&) = delete;
  ProbeSenderGuard& operator=(const ProbeSenderGuard&) = delete;
  ~ProbeSenderGuard() {
    std::lock_guard lock(channel->mutex);
    channel->sender_gone = true;
    channel->changed.notify_all();
  }
};

// Marks one end of the command channel gone when its last copy is destroyed.
std::shared_ptr<void> channel_end(const std::shared_ptr<AudioChannelState>& state, bool sender) {
  return std::shared_ptr<void>(nullptr, [state, sender](void*) {
    std::lock_guard lock(state->mutex);
    (sender ? state->sender_gone : state->receiver_gone) = true;
    state->changed.notify_all();
  });
}

class LibOpusDecoder : public OpusDecoder {
 public:
  LibOpusDecoder(OpusMSDecoder* decoder, std::uint8_t channels)
      : decoder_(decoder), channels_(channels) {}
  ~LibOpusDecoder() override { opus_multistream_decoder_destroy(decoder_); }
  LibOpusDecoder(const LibOpusDecoder&) = delete;
  LibOpusDecoder& operator=(const LibOpusDecoder&) = delete;

  Result<std::vector<std::int16_t>> decode(const Bytes& packet) override {
    std::vector<std::int16_t> pcm(std::size_t{kMaxPacketSamples} * channels_);
    const int frames =
        opus_multistream_decode(decoder_, packet.data(), static_cast<opus_int32>(packet.size()),
                                pcm.data(), static_cast<int>(kMaxPacketSamples), 0);
    if (frames < 0) return fail("Opus decoder: {}", opus_strerror(frames));
    pcm.resize(static_cast<std::size_t>(frames) * channels_);
    return pcm;
  }

 private:
  OpusMSDecoder* decoder_;
  std::uint8_t channels_;
};

}  // namespace

// ---- delays, headers, packets ----

bool ReportedDelay::update(std::uint32_t delay) {
  const std::uint32_t diff = delay > last ? delay - last : last - delay;
  if (reported && diff < kDelayChangeMs) return false;
  reported = true;
  last = delay;
  return true;
}

Result<OpusHeader> OpusHeader::parse(const Bytes& data) {
  if (data.size() < 19 || std::memcmp(data.data(), "OpusHead", 8) != 0) {
    return fail("invalid OpusHead signature or length");
  }
  OpusHeader h;
  h.version = data[8];
  if (h.version >= 16) return fail("unsupported OpusHead version {}", h.version);
  h.channel_count = data[9];
  if (h.channel_count == 0) return fail("OpusHead declares zero channels");
  h.mapping_family = data[18];
  if (h.mapping_family == 0 && h.channel_count >= 3) {
    return fail("Opus mapping family 0 only supports mono or stereo");
  }
  if (h.mapping_family != 0 && data.size() < 21u + h.channel_count) {
    return fail("truncated mapped OpusHead");
  }
  h.pre_skip = static_cast<std::uint16_t>(data[10] | (data[11] << 8));
  h.input_sample_rate = static_cast<std::uint32_t>(data[12]) | (std::uint32_t{data[13]} << 8) |
                        (std::uint32_t{data[14]} << 16) | (std::uint32_t{data[15]} << 24);
  h.output_gain = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[16] | (data[17] << 8)));
  return h;
}

std::optional<std::uint32_t> opus_packet_samples(const Bytes& packet) {
  if (packet.empty()) return std::nullopt;
  const std::uint8_t toc = packet[0];
  std::uint32_t frames = 0;
  switch (toc & 3) {
    case 0:
      frames = 1;
      break;
    case 1:
    case 2:
      frames = 2;
      break;
    default:
      if (packet.size() < 2) return std::nullopt;
      frames = packet[1] & 0x3F;
      if (frames == 0) return std::nullopt;
  }
  const std::uint32_t config = toc >> 3;
  std::uint32_t frame_size = 0;
  if (config < 12) {
    constexpr std::uint32_t kSilk[] = {480, 960, 1920, 2880};
    frame_size = kSilk[config & 3];
  } else if (config < 16) {
    frame_size = 480u << (config & 1);
  } else {
    frame_size = 120u << (config & 3);
  }
  const std::uint32_t count = frames * frame_size;  // at most 63 x 2880: no overflow
  if (count > kMaxPacketSamples) return std::nullopt;
  return count;
}

// ---- the command channel and the worker's handle ----

AudioCommandReceiver::AudioCommandReceiver(std::shared_ptr<AudioChannelState> state)
    : state_(state), end_(channel_end(state, false)) {}

AudioCommandReceiver::Status AudioCommandReceiver::receive(std::chrono::milliseconds timeout,
                                                           AudioCommand& out) {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, timeout,
                           [&] { return !state_->commands.empty() || state_->sender_gone; });
  if (!state_->commands.empty()) {
    out = std::move(state_->commands.front());
    state_->commands.pop_front();
    return Status::Received;
  }
  return state_->sender_gone ? Status::Closed : Status::TimedOut;
}

AudioCommandSender::AudioCommandSender(std::shared_ptr<AudioChannelState> state)
    : state_(state), end_(channel_end(state, true)) {}

AudioQueueOutcome AudioCommandSender::try_send(AudioCommand command) {
  std::lock_guard lock(state_->mutex);
  if (state_->receiver_gone) return AudioQueueOutcome::Stopped;
  if (state_->commands.size() >= kAudioChannelCapacity) return AudioQueueOutcome::Full;
  state_->commands.push_back(std::move(command));
  state_->changed.notify_all();
  return AudioQueueOutcome::Queued;
}

AudioWorker::AudioWorker(AudioCommandSender sender, std::shared_ptr<std::atomic<bool>> running)
    : sender_(std::move(sender)), running_(std::move(running)) {}

AudioWorker::~AudioWorker() {
  if (!running_ || !sender_) return;  // moved from
  running_->store(false);
  (void)sender_->try_send(audio_command::Shutdown{});
}

AudioQueueOutcome AudioWorker::send(AudioCommand command) {
  if (!running_ || !sender_ || !running_->load()) return AudioQueueOutcome::Stopped;
  return sender_->try_send(std::move(command));
}

Result<AudioWorker> start_audio_worker(AudioWorkerBody body, EventLoopProxy proxy,
                                       std::chrono::milliseconds timeout) {
  auto probe = std::make_shared<ProbeChannel>();
  auto running = std::make_shared<std::atomic<bool>>(true);
  // The worker signals its end through `done` so that a failed probe can wait for it (join).
  auto done = std::make_shared<ProbeChannel>();
  auto channel = std::make_shared<AudioChannelState>();
  std::optional<AudioCommandSender> sender(std::in_place, channel);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  AudioWorkerContext context{AudioCommandReceiver(channel), std::move(proxy),
                             [probe](Status result) {
                               std::lock_guard lock(probe->mutex);
                               if (!probe->result) probe->result = std::move(result);
                               probe->changed.notify_all();
                             },
                             running};
  channel.reset();
  auto shared_context = std::make_shared<std::optional<AudioWorkerContext>>(std::move(context));
  Status started = spawn_detached("audio", [probe, done, shared_context, body = std::move(body)] {
    ProbeSenderGuard end_of_worker{done};
    ProbeSenderGuard end_of_sender{probe};
    AudioWorkerContext own = std::move(**shared_context);
    shared_context->reset();
    body(std::move(own));
  });
  if (!started) return fail("failed to start audio worker: {}", started.message());
  std::unique_lock lock(probe->mutex);
  const bool arrived = probe->changed.wait_until(
      lock, deadline, [&] { return probe->result.has_value() || probe->sender_gone; });
  if (!arrived || !probe->result) {
    running->store(false);
    return fail("audio startup probe timed out");
  }
  Status result = std::move(*probe->result);
  lock.unlock();
  if (result) return AudioWorker(std::move(*sender), running);
  running->store(false);
  sender.reset();
  std::unique_lock join(done->mutex);
  done->changed.wait(join, [&] { return done->sender_gone; });
  return result.error();
}

void post_audio_latency(const EventLoopProxy& proxy, std::uint32_t ms) {
  Packet p;
  p.items = {Yaml::string("audio-latency"), Yaml::integer(ms)};
  (void)proxy.send_event(std::move(p));
}

void post_audio_worker_failed(const EventLoopProxy& proxy, std::string message) {
  Packet p;
  p.items = {Yaml::string("audio-worker-failed"), Yaml::string(std::move(message))};
  (void)proxy.send_event(std::move(p));
}

// ---- PCM ----

void PcmQueue::push(std::vector<std::int16_t> samples) {
  samples.resize(samples.size() / channels_ * channels_);
  if (samples.empty()) return;
  queued_frames_ += samples.size() / channels_;
  chunks_.push_back(PcmChunk{std::move(samples), 0});
}

std::uint64_t PcmQueue::take(std::uint64_t frames, std::vector<std::int16_t>* out) {
  std::uint64_t moved = 0;
  while (moved < frames && !chunks_.empty()) {
    PcmChunk& chunk = chunks_.front();
    const std::uint64_t available = chunk.samples.size() / channels_ - chunk.consumed;
    const std::uint64_t n = std::min(available, frames - moved);
    if (out != nullptr) {
      const auto begin =
          chunk.samples.begin() + static_cast<std::ptrdiff_t>(chunk.consumed * channels_);
      out->insert(out->end(), begin, begin + static_cast<std::ptrdiff_t>(n * channels_));
    }
    chunk.consumed += n;
    moved += n;
    if (chunk.consumed * channels_ >= chunk.samples.size()) chunks_.pop_front();
  }
  queued_frames_ -= moved;
  return moved;
}

std::uint64_t PcmQueue::enforce_hard_cap() {
  if (queued_frames_ <= kPcmHardCapFrames) return 0;
  const std::uint64_t excess = queued_frames_ - kPcmHardCapFrames;
  take(excess, nullptr);
  const std::uint64_t fade = std::min(queued_frames_, kFadeInFrames);
  std::uint64_t frame = 0;
  for (PcmChunk& chunk : chunks_) {
    for (std::uint64_t f = chunk.consumed; f < chunk.samples.size() / channels_ && frame < fade;
         ++f, ++frame) {
      const float gain = static_cast<float>(frame) / static_cast<float>(kFadeInFrames);
      for (std::uint8_t c = 0; c < channels_; ++c) {
        std::int16_t& s = chunk.samples[f * channels_ + c];
        s = static_cast<std::int16_t>(
            std::clamp(static_cast<float>(s) * gain, -32768.0f, 32767.0f));
      }
    }
    if (frame >= fade) break;
  }
  return excess;
}

std::int16_t PcmQueue::sample_at(std::uint64_t frame, std::uint8_t channel) const {
  for (const PcmChunk& chunk : chunks_) {
    const std::uint64_t available = chunk.samples.size() / channels_ - chunk.consumed;
    if (frame < available) return chunk.samples[(chunk.consumed + frame) * channels_ + channel];
    frame -= available;
  }
  return 0;
}

std::uint32_t jitter_target_candidate(const std::deque<std::uint32_t>& jitter) {
  if (jitter.empty()) return kMinTargetMs;
  std::vector<std::uint32_t> sorted(jitter.begin(), jitter.end());
  std::sort(sorted.begin(), sorted.end());
  const std::size_t n = sorted.size();
  const std::uint64_t p95 = sorted[std::min((n * 95 + 4) / 100, n - 1)];
  return static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(2 * p95 + 80, kMinTargetMs, kMaxTargetMs));
}

float playback_rate(std::uint32_t latency_ms, std::uint32_t target_ms) {
  const std::uint32_t off =
      latency_ms > target_ms ? latency_ms - target_ms : target_ms - latency_ms;
  if (off <= 20) return 1.0f;
  const float trim = std::min(static_cast<float>(off - 20) / 80.0f, 1.0f) * 0.005f;
  return latency_ms > target_ms ? 1.0f + trim : 1.0f - trim;
}

Result<std::unique_ptr<OpusDecoder>> OpusDecoder::create(const OpusHeader& header,
                                                         const Bytes& data) {
  int streams = 1;
  int coupled = header.channel_count == 2 ? 1 : 0;
  unsigned char mapping[255] = {0, 1};
  if (header.mapping_family != 0) {
    // The header parser checked that the table is there.
    streams = data[19];
    coupled = data[20];
    std::memcpy(mapping, data.data() + 21, header.channel_count);
  }
  int error = OPUS_OK;
  OpusMSDecoder* decoder =
      opus_multistream_decoder_create(static_cast<opus_int32>(kAudioSampleRate),
                                      header.channel_count, streams, coupled, mapping, &error);
  if (decoder == nullptr || error != OPUS_OK) {
    if (decoder != nullptr) opus_multistream_decoder_destroy(decoder);
    return fail("creating the libopus decoder: {}", opus_strerror(error));
  }
  return std::unique_ptr<OpusDecoder>(
      std::make_unique<LibOpusDecoder>(decoder, header.channel_count));
}

// ---- the stream ----

void AudioStream::post_latency(PlayingStream& s, std::uint32_t ms) {
  if (s.latency.update(ms)) post_audio_latency(proxy_, ms);
}

bool AudioStream::handle_command(AudioCommand command, std::uint64_t now_ms) {
  if (auto* reset = std::get_if<audio_command::Reset>(&command)) {
    log_debug(kLog, "resetting audio worker for sequence {}", reset->sequence);
    playing_.reset();
    post_audio_latency(proxy_, 0);
    return true;
  }
  if (auto* stop = std::get_if<audio_command::Stop>(&command)) {
    if (playing_ && playing_->sequence == stop->sequence) {
      playing_.reset();
      post_audio_latency(proxy_, 0);
    }
    return true;
  }
  if (std::holds_alternative<audio_command::Shutdown>(command)) return false;
  if (auto* header = std::get_if<audio_command::Header>(&command)) {
    return handle_header(*header, now_ms);
  }
  if (Status s = handle_packet(std::get<audio_command::Packet>(command)); !s) {
    post_audio_worker_failed(proxy_, s.message());
    return false;
  }
  return true;
}

bool AudioStream::handle_header(audio_command::Header& command, std::uint64_t now_ms) {
  const OpusHeader& header = command.header;
  if (header.channel_count > 2) {
    post_audio_worker_failed(
        proxy_,
        fmt::format("PulseAudio Opus playback currently supports mono/stereo, not {} channels",
                    header.channel_count));
    return false;
  }
  auto decoder = OpusDecoder::create(header, command.data);
  if (!decoder) {
    post_audio_worker_failed(proxy_, decoder.message());
    return false;
  }
  auto output = outputs_.open(header.channel_count);
  if (!output) {
    post_audio_worker_failed(proxy_, output.message());
    return false;
  }
  playing_.reset();
  playing_.emplace(PlayingStream{.last_adjust_ms = now_ms,
                                 .target_ms = kInitialTargetMs,
                                 .pcm = PcmQueue(header.channel_count),
                                 .decoder = std::move(*decoder),
                                 .output = std::move(*output),
                                 .sequence = command.sequence,
                                 .pre_skip_left = header.pre_skip,
                                 .channels = header.channel_count});
  post_audio_latency(proxy_, 0);
  return true;
}

Status AudioStream::handle_packet(audio_command::Packet& packet) {
  if (!playing_) {
    log_trace(kLog, "dropping Opus packet received before OpusHead");
    return {};
  }
  PlayingStream& s = *playing_;
  if (packet.sequence != s.sequence) {
    log_trace(kLog, "dropping Opus packet for old sequence {}", packet.sequence);
    return {};
  }
  const auto samples = opus_packet_samples(packet.data);
  if (!samples) return fail("invalid Opus packet duration");
  const std::uint32_t duration_ms = packet.duration && *packet.duration > 0
                                        ? saturate_u32(*packet.duration / 1'000'000)
                                        : *samples * 1000 / kAudioSampleRate;
  if (s.past_first_packet) {
    const std::uint32_t gap = saturate_u32(
        packet.received_ms > s.prev_received_ms ? packet.received_ms - s.prev_received_ms : 0);
    const std::uint32_t jitter =
        gap > s.prev_duration_ms ? gap - s.prev_duration_ms : s.prev_duration_ms - gap;
    s.jitter.push_back(jitter);
    while (s.jitter.size() > kJitterWindowSize) s.jitter.pop_front();
  }
  s.past_first_packet = true;
  s.prev_received_ms = packet.received_ms;
  s.prev_duration_ms = duration_ms;

  auto decoded = s.decoder->decode(packet.data);
  if (!decoded) return decoded.error();
  std::vector<std::int16_t> pcm = std::move(*decoded);
  if (s.pre_skip_left > 0) {
    const std::uint64_t skip = std::min<std::uint64_t>(s.pre_skip_left, pcm.size() / s.channels);
    pcm.erase(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(skip * s.channels));
    s.pre_skip_left -= skip;
  }
  s.pcm.push(std::move(pcm));
  if (const std::uint64_t dropped = s.pcm.enforce_hard_cap(); dropped > 0) {
    log_warn(kLog, "audio PCM hard cap reached, discarded {}ms", dropped * 1000 / kAudioSampleRate);
  }
  return {};
}

namespace {

std::optional<AudioDeviceError> write_frames(PlayingStream& s, std::uint64_t frames) {
  if (frames == 0) return std::nullopt;
  std::vector<std::int16_t> buffer;
  buffer.reserve(frames * s.channels);
  s.pcm.take(frames, &buffer);
  buffer.resize(frames * s.channels, 0);
  if (auto w = s.output->write(buffer); !w)
    return in_context("writing PulseAudio output", w.error());
  return std::nullopt;
}

}  // namespace

Status AudioStream::pump_device(PlayingStream& s, std::uint64_t now_ms, AudioDeviceError& failure) {
  auto failed = [&](std::string_view context, const AudioDeviceError& e) {
    failure = in_context(context, e);
    return fail("{}", failure.message);
  };
  if (!s.started) {
    if (queued_ms(s) >= s.target_ms) {
      auto free = s.output->free_frames();
      if (!free) return failed("reading PulseAudio padding", free.error());
      if (auto w = write_frames(s, std::min<std::uint64_t>(s.pcm.queued_frames(), *free))) {
        failure = *w;
        return fail("{}", w->message);
      }
      if (auto st = s.output->start(); !st) return failed("starting PulseAudio output", st.error());
      s.started = true;
    }
  } else {
    auto free = s.output->free_frames();
    if (!free) return failed("reading PulseAudio padding", free.error());
    if (*free == 0) {
    } else if (s.pcm.queued_frames() >= *free) {
      if (auto w = write_frames(s, *free)) {
        failure = *w;
        return fail("{}", w->message);
      }
    } else {
      if (auto st = s.output->stop(); !st) return failed("resetting PulseAudio output", st.error());
      if (auto st = s.output->reset(); !st)
        return failed("resetting PulseAudio output", st.error());
      s.started = false;
      s.target_ms = std::min(s.target_ms + kUnderrunStepMs, kMaxTargetMs);
      s.last_adjust_ms = now_ms;
      log_debug(kLog, "audio underrun: rebuffering to {}ms", s.target_ms);
    }
  }
  auto padding = s.output->padding_frames();
  if (!padding) return failed("reading PulseAudio padding", padding.error());
  const std::uint32_t latency = saturate_u32(std::uint64_t{*padding} / 48 + queued_ms(s));
  const float rate = playback_rate(latency, s.target_ms);
  if (s.output->has_rate_adjust() && std::fabs(rate - s.rate_factor) >= 0.0001f) {
    if (auto st = s.output->set_sample_rate(static_cast<float>(kAudioSampleRate) * rate); !st) {
      return failed("adjusting PulseAudio playback rate", st.error());
    }
    s.rate_factor = rate;
  }
  post_latency(s, latency);
  return {};
}

Status AudioStream::pump_output(std::uint64_t now_ms) {
  if (!playing_) return {};
  PlayingStream& s = *playing_;
  if (now_ms >= s.last_adjust_ms + kTargetAdjustIntervalMs) {
    const std::uint32_t candidate = jitter_target_candidate(s.jitter);
    if (s.target_ms > candidate) {
      s.target_ms = std::max(candidate, s.target_ms - std::min(s.target_ms, kTargetFallStepMs));
    }
    s.last_adjust_ms = now_ms;
  }
  AudioDeviceError failure;
  if (Status pumped = pump_device(s, now_ms, failure); !pumped) {
    if (!failure.device_invalidated) return pumped;
    log_warn(kLog, "audio output device was invalidated, rebuilding it");
    auto fresh = outputs_.open(s.channels);
    if (!fresh) return fail("failed to recover the audio output device: {}", fresh.message());
    s.output = std::move(*fresh);
    s.started = false;
    s.rate_factor = 1.0f;
    post_latency(s, queued_ms(s));
  }
  return {};
}

// ---- the worker ----

void audio_worker_main(AudioWorkerContext context, AudioOutputFactory& outputs) {
  {
    OpusHeader stereo;
    stereo.channel_count = 2;
    auto decoder = OpusDecoder::create(stereo, {});
    if (!decoder) {
      context.probe(decoder.error());
      return;
    }
  }
  {
    auto output = outputs.open(2);
    if (!output) {
      context.probe(output.error());
      return;
    }
  }
  context.probe({});
  log_info(kLog, "PulseAudio Opus audio worker started");
  const auto start = std::chrono::steady_clock::now();
  const auto now_ms = [start] {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
  };
  const std::atomic<bool>& running = *context.running;
  AudioStream stream(outputs, context.proxy);
  using Received = AudioCommandReceiver::Status;
  while (running.load()) {
    AudioCommand command;
    PlayingStream* playing = stream.playing();
    if (playing != nullptr && playing->started) {
      if (playing->output->wait(std::chrono::milliseconds(10))) {
        if (Status pumped = stream.pump_output(now_ms()); !pumped) {
          post_audio_worker_failed(context.proxy, pumped.message());
          break;
        }
      }
    } else {
      const auto timeout = std::chrono::milliseconds(playing != nullptr ? 10 : 50);
      const Received r = context.commands.receive(timeout, command);
      if (r == Received::Closed) break;
      if (r == Received::Received && !stream.handle_command(std::move(command), now_ms())) break;
    }
    if (!running.load()) break;
    bool go_on = true;
    for (;;) {
      const Received r = context.commands.receive(std::chrono::milliseconds(0), command);
      if (r == Received::TimedOut) break;
      if (r == Received::Closed || !stream.handle_command(std::move(command), now_ms())) {
        go_on = false;
        break;
      }
    }
    if (!go_on || !running.load()) break;
    if (Status pumped = stream.pump_output(now_ms()); !pumped) {
      post_audio_worker_failed(context.proxy, pumped.message());
      break;
    }
  }
  log_debug(kLog, "PulseAudio audio worker stopped");
}

AudioWorkerBody audio_worker_body(std::shared_ptr<AudioOutputFactory> outputs) {
  return [outputs](AudioWorkerContext context) {
    if (outputs == nullptr) {
      context.probe(fail("no audio output in this build"));
      return;
    }
    audio_worker_main(std::move(context), *outputs);
  };
}

// ---- the session side, on the event-loop thread ----

namespace {

constexpr std::string_view kClientLog = "nolv::client::client";

std::uint64_t saturating_increment(std::uint64_t v) {
  return v == std::numeric_limits<std::uint64_t>::max() ? v : v + 1;
}

bool starts_with(const Bytes& data, std::string_view prefix) {
  return data.size() >= prefix.size() &&
         std::memcmp(data.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

void Client::send_audio_control(std::string_view command, Value value) {
  send_packet(Value::array({"audio-control", std::string(command), std::move(value)}));
}

AudioQueueOutcome Client::queue_audio(AudioCommand command) {
  if (!audio_worker) return AudioQueueOutcome::Stopped;
  return audio_worker->send(std::move(command));
}

void Client::on_server_hello_audio(const Yaml& caps) {
  if (!audio_worker || audio_caps_sent) return;
  const Yaml* audio = yaml_dict_get(caps, "audio");
  if (audio == nullptr || !yaml_dict_get_bool(*audio, "async").value_or(false)) return;
  av_sync_enabled = false;
  if (const Yaml* av_sync = yaml_dict_get(caps, "av-sync"); av_sync != nullptr) {
    const Yaml* enabled = yaml_dict_get(*av_sync, "enabled");
    if (enabled == nullptr) enabled = yaml_dict_get(*av_sync, "");
    av_sync_enabled = yaml_as_bool(enabled).value_or(false);
  }
  send_packet(Value::array({"audio-capabilities",
                            {{"decoders", Value::array({"opus"})},
                             {"encoders", Value::array()},
                             {"receive", true},
                             {"send", false}}}));
  audio_caps_sent = true;
  log_debug(kClientLog, "sent asynchronous Opus receive capabilities");
}

void Client::handle_audio_capabilities(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 2) {
    log_warn(kClientLog, "ignoring malformed audio-capabilities packet");
    return;
  }
  if (!audio_worker || !audio_caps_sent || speaker_forwarding) return;
  const Yaml& caps = packet.items[1];
  bool opus = false;
  if (const Yaml* encoders = yaml_dict_get(caps, "encoders")) {
    if (const auto* list = encoders->as_array()) {
      opus = std::any_of(list->begin(), list->end(), [](const Yaml& e) {
        const std::string* name = e.as_string();
        return name != nullptr && *name == "opus";
      });
    }
  }
  if (!yaml_dict_get_bool(caps, "send").value_or(false) || !opus) {
    log_debug(kClientLog, "server cannot send bare Opus audio");
    return;
  }
  speaker_forwarding = true;
  send_audio_control("start", "opus");
  av_sync_reported.reported = false;
  report_av_sync(0);
  log_info(kClientLog, "Opus speaker forwarding negotiated");
}

void Client::handle_audio_data(ActiveEventLoop&, Packet& packet) {
  if (!speaker_forwarding || !audio_worker) return;
  if (packet.items.size() < 4) {
    log_warn(kClientLog, "ignoring malformed audio-data packet: {}",
             "audio-data packet has fewer than four fields");
    return;
  }
  const std::string codec = packet_get_str(packet.items, 1);
  Bytes main_payload = packet_get_bytes(packet, 2);
  const Yaml& meta = packet.items[3];  // not a map: every key reads as absent
  std::vector<Bytes> extra;
  if (packet.items.size() >= 5) {
    const Yaml& item = packet.items[4];
    if (const auto* list = item.as_array()) {
      for (const Yaml& e : *list)
        extra.push_back(e.as_string() != nullptr ? decode_yaml_bytes(e) : Bytes{});
    } else if (item.as_string() != nullptr) {
      Bytes one = decode_yaml_bytes(item);
      if (!one.empty()) extra.push_back(std::move(one));
    }
  }
  const std::optional<std::uint64_t> sequence = yaml_dict_get_uint(meta, "sequence");
  if (sequence && *sequence < audio_sequence) {
    log_debug(kClientLog, "ignoring audio data for old sequence {} (current is {})", *sequence,
              audio_sequence);
    return;
  }
  if (yaml_dict_get_bool(meta, "start-of-stream").value_or(false)) {
    std::string stream_codec = codec;
    if (const Yaml* c = yaml_dict_get(meta, "codec");
        c != nullptr && c->as_string() != nullptr && !c->as_string()->empty()) {
      stream_codec = *c->as_string();
    }
    if (stream_codec != "opus") {
      log_warn(kClientLog, "rejecting audio stream: {}",
               fmt::format("unsupported audio codec {}", log_value(stream_codec)));
      restart_audio_sequence();
      return;
    }
    if (sequence) audio_sequence = *sequence;
    audio_stream_active = true;
    opus_head_seen = false;
    if (!audio_queue_result(queue_audio(audio_command::Reset{audio_sequence}), "reset", true)) {
      return;
    }
    av_sync_reported.reported = false;
    report_av_sync(0);
    log_debug(kClientLog, "starting Opus audio sequence {}", audio_sequence);
  } else if (!audio_stream_active) {
    log_debug(kClientLog, "dropping audio data outside an active stream");
    return;
  }
  if (yaml_dict_get_bool(meta, "end-of-stream").value_or(false)) {
    if (!audio_queue_result(queue_audio(audio_command::Stop{audio_sequence}), "end-of-stream",
                            true)) {
      return;
    }
    const std::uint64_t ended = audio_sequence;
    audio_stream_active = false;
    opus_head_seen = false;
    audio_sequence = saturating_increment(audio_sequence);
    send_audio_control("new-sequence", audio_sequence);
    report_av_sync(0);
    log_debug(kClientLog, "audio sequence {} ended", ended);
    return;
  }
  if (codec != "opus") {
    log_warn(kClientLog, "audio codec changed from {} to {}; stopping the stream", "opus",
             log_value(codec));
    restart_audio_sequence();
    return;
  }
  for (Bytes& payload : extra) {
    if (!handle_opus_payload(std::move(payload), std::nullopt, std::nullopt)) return;
  }
  if (!main_payload.empty()) {
    (void)handle_opus_payload(std::move(main_payload), yaml_dict_get_uint(meta, "timestamp"),
                              yaml_dict_get_uint(meta, "duration"));
  }
}

bool Client::handle_opus_payload(Bytes payload, std::optional<std::uint64_t> timestamp,
                                 std::optional<std::uint64_t> duration) {
  if (starts_with(payload, "OpusHead")) {
    auto header = OpusHeader::parse(payload);
    if (!header) {
      log_warn(kClientLog, "invalid Opus stream header: {}", header.message());
      restart_audio_sequence();
      return false;
    }
    const bool queued = audio_queue_result(
        queue_audio(audio_command::Header{std::move(payload), audio_sequence, *header}), "OpusHead",
        true);
    if (queued) opus_head_seen = true;
    return queued;
  }
  if (starts_with(payload, "OpusTags")) return true;
  if (!opus_head_seen) {
    log_debug(kClientLog, "dropping Opus payload received before OpusHead");
    return true;
  }
  if (payload.size() > kMaxOpusPacketBytes) {
    log_debug(kClientLog, "dropping an Opus packet of {} bytes, above the largest valid size",
              payload.size());
    return true;
  }
  return audio_queue_result(
      queue_audio(audio_command::Packet{timestamp, duration, std::move(payload), audio_sequence,
                                        millis_since_start()}),
      "packet", false);
}

bool Client::audio_queue_result(AudioQueueOutcome outcome, std::string_view label,
                                bool is_control) {
  switch (outcome) {
    case AudioQueueOutcome::Queued:
      return true;
    case AudioQueueOutcome::Stopped:
      disable_speaker_forwarding(fmt::format("audio worker stopped while queuing {}", label));
      return false;
    case AudioQueueOutcome::Full:
      if (is_control) {
        disable_speaker_forwarding(
            fmt::format("audio worker queue was full while queuing {}", label));
      } else if (!audio_queue_full_warned) {
        log_warn(kClientLog,
                 "audio worker queue is full; dropping audio packets until it catches up");
        audio_queue_full_warned = true;
      }
      return false;
  }
  return false;
}

void Client::restart_audio_sequence() {
  if (!audio_queue_result(queue_audio(audio_command::Stop{audio_sequence}), "stop", true)) return;
  send_audio_control("stop", audio_sequence);
  audio_stream_active = false;
  opus_head_seen = false;
  audio_sequence = saturating_increment(audio_sequence);
  send_audio_control("new-sequence", audio_sequence);
  av_sync_reported.reported = false;
  report_av_sync(0);
}

void Client::disable_speaker_forwarding(const std::string& reason) {
  if (!audio_worker) return;
  log_warn(kClientLog, "speaker forwarding disabled for this session: {}", log_value(reason));
  send_audio_control("stop", audio_sequence);
  audio_stream_active = false;
  opus_head_seen = false;
  audio_sequence = saturating_increment(audio_sequence);
  send_audio_control("new-sequence", audio_sequence);
  speaker_forwarding = false;
  audio_worker.reset();
}

void Client::report_av_sync(std::uint32_t delay_ms) {
  if (!speaker_forwarding || !av_sync_enabled) return;
  if (av_sync_reported.update(delay_ms)) send_audio_control("sync", delay_ms);
}

// A server packet of either internal name without its item is ignored.
void Client::handle_audio_latency(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 2) {
    log_debug(kClientLog, "ignoring malformed audio-latency packet");
    return;
  }
  report_av_sync(packet_get_u32(packet.items, 1));
}

void Client::handle_audio_worker_failed(ActiveEventLoop&, Packet& packet) {
  if (packet.items.size() < 2) {
    log_debug(kClientLog, "ignoring malformed audio-worker-failed packet");
    return;
  }
  disable_speaker_forwarding(packet_get_str(packet.items, 1));
}

}  // namespace nolv
