#include "client/audio_output.h"

#include <opus/opus.h>
#include <opus/opus_multistream.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "client/remote_logging.h"
#include "util/format.h"
#include "util/saturating.h"
#include "util/unique_handle.h"

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

std::uint32_t queued_ms(const PlayingStream& s) {
  return saturate_cast<std::uint32_t>(s.pcm.queued_frames() * 1000 / kAudioSampleRate);
}

AudioDeviceError in_context(std::string_view context, const AudioDeviceError& e) {
  return AudioDeviceError{fmt::format("{}: {}", context, e.message), e.device_invalidated};
}

using OpusDecoderHandle = UniqueHandle<OpusMSDecoder, opus_multistream_decoder_destroy>;

class LibOpusDecoder : public OpusDecoder {
 public:
  LibOpusDecoder(OpusDecoderHandle decoder, std::uint8_t channels)
      : decoder_(std::move(decoder)), channels_(channels) {}

  Result<std::vector<std::int16_t>> decode(const Bytes& packet) override {
    std::vector<std::int16_t> pcm(std::size_t{kMaxPacketSamples} * channels_);
    const int frames = opus_multistream_decode(decoder_.get(), packet.data(),
                                               static_cast<opus_int32>(packet.size()), pcm.data(),
                                               static_cast<int>(kMaxPacketSamples), 0);
    if (frames < 0) return fail("Opus decoder: {}", opus_strerror(frames));
    pcm.resize(static_cast<std::size_t>(frames) * channels_);
    return pcm;
  }

 private:
  OpusDecoderHandle decoder_;
  std::uint8_t channels_;
};

}  // namespace

// ---- packets ----

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
  OpusDecoderHandle decoder(
      opus_multistream_decoder_create(static_cast<opus_int32>(kAudioSampleRate),
                                      header.channel_count, streams, coupled, mapping, &error));
  if (decoder == nullptr || error != OPUS_OK) {
    return fail("creating the libopus decoder: {}", opus_strerror(error));
  }
  return std::unique_ptr<OpusDecoder>(
      std::make_unique<LibOpusDecoder>(std::move(decoder), header.channel_count));
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
                                        ? saturate_cast<std::uint32_t>(*packet.duration / 1'000'000)
                                        : *samples * 1000 / kAudioSampleRate;
  if (s.past_first_packet) {
    const std::uint32_t gap = saturate_cast<std::uint32_t>(
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
  const std::uint32_t latency =
      saturate_cast<std::uint32_t>(std::uint64_t{*padding} / 48 + queued_ms(s));
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
  while (running.load()) {
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
      Receipt<AudioCommand> r =
          context.commands.recv_until(std::chrono::steady_clock::now() + timeout);
      if (r.status == RecvStatus::Closed) break;
      if (r.value && !stream.handle_command(std::move(*r.value), now_ms())) break;
    }
    if (!running.load()) break;
    bool go_on = true;
    for (;;) {
      Receipt<AudioCommand> r = context.commands.try_recv();
      if (r.status == RecvStatus::Empty) break;
      if (!r.value || !stream.handle_command(std::move(*r.value), now_ms())) {
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

}  // namespace nolv
