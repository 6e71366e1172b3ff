// Speaker forwarding: the commands the event loop hands to the "audio" worker, the worker's
// handle, the Opus stream header, and the worker's decoding, buffering and output pump.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "net/packet.h"
#include "platform/audio_device.h"
#include "platform/event_loop.h"
#include "util/result.h"

namespace nolv {

inline constexpr std::size_t kAudioChannelCapacity = 96;
// RFC 6716: at most 48 frames of at most 1275 bytes each. With the channel's 96 commands this
// also bounds the audio waiting for the worker (about 5.6 MiB).
inline constexpr std::size_t kMaxOpusPacketBytes = 48 * 1275;
// 500 ms at 48 kHz.
inline constexpr std::uint64_t kPcmHardCapFrames = 24000;
inline constexpr std::size_t kJitterWindowSize = 256;
// 120 ms at 48 kHz: the longest packet RFC 6716 allows.
inline constexpr std::uint32_t kMaxPacketSamples = 5760;

// A change filter for delays: reports a change on the first update and then only when the
// delay moved by 40 ms or more.
struct ReportedDelay {
  bool reported = false;
  std::uint32_t last = 0;
  [[nodiscard]] bool update(std::uint32_t delay);
};

struct OpusHeader {
  std::uint8_t version = 0;
  std::uint8_t channel_count = 0;
  std::uint16_t pre_skip = 0;
  std::uint32_t input_sample_rate = 0;
  std::int16_t output_gain = 0;
  std::uint8_t mapping_family = 0;
  static Result<OpusHeader> parse(const Bytes& data);
};

// Samples per channel at 48 kHz that the packet's TOC byte declares, when valid (up to 5760).
std::optional<std::uint32_t> opus_packet_samples(const Bytes& packet);

namespace audio_command {
struct Packet {
  std::optional<std::uint64_t> timestamp;  // ns
  std::optional<std::uint64_t> duration;   // ns
  Bytes data;
  std::uint64_t sequence = 0;
  std::uint64_t received_ms = 0;
};
struct Reset {
  std::uint64_t sequence = 0;
};
struct Header {
  Bytes data;
  std::uint64_t sequence = 0;
  OpusHeader header;
};
struct Stop {
  std::uint64_t sequence = 0;
};
struct Shutdown {};
}  // namespace audio_command
using AudioCommand =
    std::variant<audio_command::Packet, audio_command::Reset, audio_command::Header,
                 audio_command::Stop, audio_command::Shutdown>;

enum class AudioQueueOutcome { Queued, Full, Stopped };

// The bounded channel between the event loop (sender) and the worker (receiver).
struct AudioChannelState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<AudioCommand> commands;
  bool sender_gone = false;
  bool receiver_gone = false;
};

// Copies share one end; the end closes when the last copy goes.
class AudioCommandReceiver {
 public:
  enum class Status { Received, TimedOut, Closed };
  explicit AudioCommandReceiver(std::shared_ptr<AudioChannelState> state);
  // Waits at most `timeout` (zero: does not wait).
  Status receive(std::chrono::milliseconds timeout, AudioCommand& out);

 private:
  std::shared_ptr<AudioChannelState> state_;
  std::shared_ptr<void> end_;
};

class AudioCommandSender {
 public:
  explicit AudioCommandSender(std::shared_ptr<AudioChannelState> state);
  AudioQueueOutcome try_send(AudioCommand command);

 private:
  std::shared_ptr<AudioChannelState> state_;
  std::shared_ptr<void> end_;
};

// The client's handle on the worker. Destroying it clears the running flag and asks the
// worker to shut down, without waiting for it.
class AudioWorker {
 public:
  AudioWorker(const AudioWorker&) = delete;
  AudioWorker& operator=(const AudioWorker&) = delete;
  AudioWorker(AudioCommandSender sender, std::shared_ptr<std::atomic<bool>> running);
  AudioWorker(AudioWorker&&) = default;
  AudioWorker& operator=(AudioWorker&&) = default;
  ~AudioWorker();
  AudioQueueOutcome send(AudioCommand command);
  const std::shared_ptr<std::atomic<bool>>& running() const { return running_; }

 private:
  std::optional<AudioCommandSender> sender_;
  std::shared_ptr<std::atomic<bool>> running_;
};

// The worker's start-up probe: the body sends one result before it serves commands.
using AudioProbeSender = std::function<void(Status)>;
struct AudioWorkerContext {
  AudioCommandReceiver commands;
  EventLoopProxy proxy;
  AudioProbeSender probe;
  std::shared_ptr<std::atomic<bool>> running;
};
using AudioWorkerBody = std::function<void(AudioWorkerContext context)>;
inline constexpr std::chrono::seconds kAudioProbeTimeout{5};
// Starts the "audio" thread with `body` and waits at most `timeout` for its probe.
Result<AudioWorker> start_audio_worker(AudioWorkerBody body, EventLoopProxy proxy,
                                       std::chrono::milliseconds timeout = kAudioProbeTimeout);

// The worker body over a real Opus decoder and the outputs that `outputs` opens.
AudioWorkerBody audio_worker_body(std::shared_ptr<AudioOutputFactory> outputs);
void audio_worker_main(AudioWorkerContext context, AudioOutputFactory& outputs);

void post_audio_latency(const EventLoopProxy& proxy, std::uint32_t ms);
void post_audio_worker_failed(const EventLoopProxy& proxy, std::string message);

struct PcmChunk {
  std::vector<std::int16_t> samples;  // interleaved, whole frames
  std::uint64_t consumed = 0;         // frames
};

class PcmQueue {
 public:
  explicit PcmQueue(std::uint8_t channels) : channels_(channels) {}
  std::uint8_t channels() const { return channels_; }
  std::uint64_t queued_frames() const { return queued_frames_; }
  // Appends the whole frames of `samples`.
  void push(std::vector<std::int16_t> samples);
  // Moves up to `frames` frames from the front into `out`; returns the frames moved.
  std::uint64_t take(std::uint64_t frames, std::vector<std::int16_t>* out);
  // Drops the oldest frames beyond the hard cap and fades in what follows; the frames dropped.
  std::uint64_t enforce_hard_cap();
  // The sample at frame `frame` from the front, channel `channel` (tests).
  std::int16_t sample_at(std::uint64_t frame, std::uint8_t channel) const;

 private:
  std::deque<PcmChunk> chunks_;
  std::uint8_t channels_;
  std::uint64_t queued_frames_ = 0;
};

// The target buffer that 30 s of arrival jitter asks for: twice its 95th percentile plus 80 ms,
// within 80..400; 80 when nothing was measured.
std::uint32_t jitter_target_candidate(const std::deque<std::uint32_t>& jitter);
// The playback rate that steers `latency_ms` toward `target_ms`.
float playback_rate(std::uint32_t latency_ms, std::uint32_t target_ms);

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
  std::deque<std::uint32_t> jitter;
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

}  // namespace nolv
