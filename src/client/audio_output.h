// The "audio" worker's side of speaker forwarding: Opus decoding, the stream, and the pump that
// keeps the platform's audio output fed and steers its latency (the queue and the target
// arithmetic are in client/jitter_buffer.h).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "client/audio.h"
#include "client/jitter_buffer.h"
#include "platform/audio_device.h"

namespace nolv {

// 120 ms at 48 kHz: the longest packet RFC 6716 allows.
inline constexpr std::uint32_t kMaxPacketSamples = 5760;

// Samples per channel at 48 kHz that the packet's TOC byte declares, when valid (up to 5760).
std::optional<std::uint32_t> opus_packet_samples(const Bytes& packet);

// Decodes the packets of one stream to interleaved 16-bit PCM at 48 kHz.
class OpusDecoder {
 public:
  static Result<std::unique_ptr<OpusDecoder>> create(const OpusHeader& header, const Bytes& data);
  virtual ~OpusDecoder() = default;
  virtual Result<std::vector<std::int16_t>> decode(const Bytes& packet) = 0;
};

struct PlayingStream {
  bool past_first_packet = false;
  std::uint64_t prev_received_ms = 0;
  JitterWindow jitter;
  std::uint64_t last_adjust_ms = 0;
  std::uint32_t target_ms = 120;
  std::uint32_t prev_duration_ms = 0;
  PcmQueue pcm;
  ReportedDelay latency;
  std::unique_ptr<OpusDecoder> decoder;
  std::unique_ptr<AudioOutput> output;
  std::uint64_t sequence = 0;
  std::uint64_t pre_skip_left = 0;
  bool started = false;
  std::uint8_t channels = 2;
  float rate_factor = 1.0f;
};

// The worker's current stream: Idle (none) or Playing.
class AudioStream {
 public:
  AudioStream(AudioOutputFactory& outputs, EventLoopProxy proxy)
      : outputs_(outputs), proxy_(std::move(proxy)) {}
  // False ends the worker (after posting "audio-worker-failed" where it failed).
  [[nodiscard]] bool handle_command(AudioCommand command, std::uint64_t now_ms);
  [[nodiscard]] Status pump_output(std::uint64_t now_ms);
  PlayingStream* playing() { return playing_ ? &*playing_ : nullptr; }

 private:
  bool handle_header(audio_command::Header& command, std::uint64_t now_ms);
  Status handle_packet(audio_command::Packet& packet);
  Status pump_device(PlayingStream& s, std::uint64_t now_ms, AudioDeviceError& failure);
  void post_latency(PlayingStream& s, std::uint32_t ms);

  AudioOutputFactory& outputs_;
  EventLoopProxy proxy_;
  std::optional<PlayingStream> playing_;
};

// The worker body over a real Opus decoder and the outputs that `outputs` opens.
AudioWorkerBody audio_worker_body(std::shared_ptr<AudioOutputFactory> outputs);
void audio_worker_main(AudioWorkerContext context, AudioOutputFactory& outputs);

}  // namespace nolv
