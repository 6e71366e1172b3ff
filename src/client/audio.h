// Speaker forwarding on the event-loop thread, and what it shares with the "audio" worker: the
// commands, their bounded channel, the worker's handle and start-up probe, the Opus stream header.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "net/packet.h"
#include "platform/event_proxy.h"
#include "util/channel.h"
#include "util/result.h"

namespace nolv {

inline constexpr std::size_t kAudioChannelCapacity = 96;
// RFC 6716: at most 48 frames of at most 1275 bytes each. With the channel's 96 commands this
// also bounds the audio waiting for the worker (about 5.6 MiB).
inline constexpr std::size_t kMaxOpusPacketBytes = 48 * 1275;

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

// The bounded channel between the event loop (sender) and the worker (receiver).
using AudioCommandSender = Sender<AudioCommand>;
using AudioCommandReceiver = Receiver<AudioCommand>;

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
  SendOutcome send(AudioCommand command);
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

void post_audio_latency(const EventLoopProxy& proxy, std::uint32_t ms);
void post_audio_worker_failed(const EventLoopProxy& proxy, std::string message);

}  // namespace nolv
