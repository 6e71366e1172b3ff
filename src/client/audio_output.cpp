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
    record_jitter(s.jitter,
                  arrival_jitter(packet.received_ms, s.prev_received_ms, s.prev_duration_ms));
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
      s.target_ms = raised_target(s.target_ms);
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
    s.target_ms = lowered_target(s.target_ms, jitter_target_candidate(s.jitter));
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
