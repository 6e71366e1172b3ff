#include "client/audio.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "client/client.h"
#include "util/format.h"
#include "util/log.h"
#include "util/thread.h"

namespace nolv {
namespace {

constexpr std::uint32_t kDelayChangeMs = 40;

}  // namespace

// ---- delays and stream headers ----

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

// ---- the command channel and the worker's handle ----

AudioWorker::AudioWorker(AudioCommandSender sender, std::shared_ptr<std::atomic<bool>> running)
    : sender_(std::move(sender)), running_(std::move(running)) {}

AudioWorker::~AudioWorker() {
  if (!running_ || !sender_) return;  // moved from
  running_->store(false);
  (void)sender_->send(audio_command::Shutdown{});
}

SendOutcome AudioWorker::send(AudioCommand command) {
  if (!running_ || !sender_ || !running_->load()) return SendOutcome::Closed;
  return sender_->send(std::move(command));
}

Result<AudioWorker> start_audio_worker(AudioWorkerBody body, EventLoopProxy proxy,
                                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto running = std::make_shared<std::atomic<bool>>(true);
  // The first result wins; the thread closes it when it ends without one.
  auto probe = Channel<Status>::open(1, CloseRule::FirstValue);
  // Nothing is sent on `done`: it closes when the worker ends, so that a failed probe can wait
  // for it (join).
  auto done = Channel<std::monostate>::open();
  auto commands = Channel<AudioCommand>::open(kAudioChannelCapacity);
  std::optional<AudioWorkerContext> context(AudioWorkerContext{
      std::move(commands.receiver), std::move(proxy),
      [sender = probe.sender](Status result) { (void)sender.send(std::move(result)); }, running});
  Status started = spawn_detached(
      "audio", [probe_end = std::move(probe.sender), done_end = std::move(done.sender),
                context = std::move(context), body = std::move(body)]() mutable {
        {
          AudioWorkerContext own = std::move(*context);
          context.reset();
          body(std::move(own));
        }
        probe_end.close();
        done_end.close();
      });
  if (!started) return fail("failed to start audio worker: {}", started.message());
  Receipt<Status> probed = probe.receiver.recv_until(deadline);
  if (!probed.value) {
    running->store(false);
    return fail("audio startup probe timed out");
  }
  Status result = std::move(*probed.value);
  if (result) return AudioWorker(std::move(commands.sender), running);
  running->store(false);
  { AudioCommandSender closing = std::move(commands.sender); }
  (void)done.receiver.recv();
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

SendOutcome Client::queue_audio(AudioCommand command) {
  if (!audio_worker) return SendOutcome::Closed;
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

bool Client::audio_queue_result(SendOutcome outcome, std::string_view label, bool is_control) {
  switch (outcome) {
    case SendOutcome::Sent:
      return true;
    case SendOutcome::Closed:
      disable_speaker_forwarding(fmt::format("audio worker stopped while queuing {}", label));
      return false;
    case SendOutcome::Full:
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
