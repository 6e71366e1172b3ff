#include "platform/pulse/pulse_output.h"

#include <pulse/error.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/pulse/pulse_handles.h"
#include "util/log.h"

namespace nolv {
namespace {

constexpr std::string_view kLog = "nolv::client::windows_audio";
// How long the server may take to accept the connection and the stream; the start-up probe
// waits 5 s in all.
constexpr std::chrono::milliseconds kOpenTimeout{2000};
constexpr std::chrono::milliseconds kOpenPoll{5};
// The device holds two periods; the jitter buffer holds the rest of the target. A server may
// grant a larger buffer (a sink with a large fixed latency does); only this much of it is filled,
// or the worker would pour its whole prebuffer into the server and underrun at once.
constexpr std::uint32_t kBufferPeriods = 2;
constexpr std::uint32_t kBufferFrames = kBufferPeriods * kRequestedPeriodFrames;

class PulseOutput : public AudioOutput {
 public:
  explicit PulseOutput(std::uint8_t channels) : channels_(channels) {}
  PulseOutput(const PulseOutput&) = delete;
  PulseOutput& operator=(const PulseOutput&) = delete;

  // The loop's thread runs the callbacks, so it stops before the stream and the context go.
  ~PulseOutput() override {
    if (loop_ != nullptr) pa_threaded_mainloop_stop(loop_.get());
  }

  Status open(const std::string& application_name) {
    loop_.reset(pa_threaded_mainloop_new());
    if (loop_ == nullptr) return fail("creating the PulseAudio main loop: out of memory");
    context_.reset(
        pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), application_name.c_str()));
    if (context_ == nullptr) return fail("opening default audio output: out of memory");
    pa_context_set_state_callback(context_.get(), &PulseOutput::on_context_state, this);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      return fail("opening default audio output: {}", context_text());
    }
    if (pa_threaded_mainloop_start(loop_.get()) < 0) {
      return fail("starting the PulseAudio main loop: cannot start its thread");
    }
    Lock lock(loop_.get());
    if (!wait_until([&] {
          const pa_context_state_t state = pa_context_get_state(context_.get());
          return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        })) {
      return fail("opening default audio output: no answer from the audio server");
    }
    if (pa_context_get_state(context_.get()) != PA_CONTEXT_READY) {
      return fail("opening default audio output: {}", context_text());
    }
    const pa_sample_spec spec{PA_SAMPLE_S16LE, kAudioSampleRate, channels_};
    stream_.reset(pa_stream_new(context_.get(), "speaker", &spec, nullptr));
    if (stream_ == nullptr) return fail("activating PulseAudio output: {}", context_text());
    pa_stream_set_state_callback(stream_.get(), &PulseOutput::on_stream_state, this);
    pa_stream_set_write_callback(stream_.get(), &PulseOutput::on_writable, this);
    const std::uint32_t frame_bytes = 2u * channels_;
    pa_buffer_attr attr{};
    attr.maxlength = std::numeric_limits<std::uint32_t>::max();
    attr.tlength = kBufferFrames * frame_bytes;
    // The worker decides when to start and when to rebuffer; the server must not wait for data.
    attr.prebuf = 0;
    attr.minreq = kRequestedPeriodFrames * frame_bytes;
    attr.fragsize = std::numeric_limits<std::uint32_t>::max();
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_VARIABLE_RATE);
    if (pa_stream_connect_playback(stream_.get(), nullptr, &attr, flags, nullptr, nullptr) < 0) {
      return fail("initializing shared PulseAudio output: {}", context_text());
    }
    if (!wait_until([&] {
          const pa_stream_state_t state = pa_stream_get_state(stream_.get());
          return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        })) {
      return fail("initializing shared PulseAudio output: no answer from the audio server");
    }
    if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY) {
      return fail("initializing shared PulseAudio output: {}", context_text());
    }
    const pa_buffer_attr* got = pa_stream_get_buffer_attr(stream_.get());
    if (got == nullptr) return fail("reading PulseAudio buffer size: {}", context_text());
    granted_frames_ = got->tlength / frame_bytes;
    buffer_frames_ = std::min(granted_frames_, kBufferFrames);
    log_debug(kLog, "PulseAudio period: requested={} frames, using={} (buffer={}, granted={})",
              kRequestedPeriodFrames, got->minreq / frame_bytes, buffer_frames_, granted_frames_);
    return {};
  }

  std::uint32_t buffer_frames() const override { return buffer_frames_; }

  // The free part of our share of the buffer (never more than the server asks for, as the share
  // is at most what it granted).
  DeviceResult<std::uint32_t> free_frames() override {
    Lock lock(loop_.get());
    auto held = held_frames();
    if (!held) return held;
    return *held >= buffer_frames_ ? 0u : buffer_frames_ - *held;
  }

  // What the stream holds and the server has not asked back for. The server's own latency
  // estimate is left out: on a sink that renders ahead (the null sink) it swings by a second.
  DeviceResult<std::uint32_t> padding_frames() override {
    Lock lock(loop_.get());
    return held_frames();
  }

  DeviceStatus write(std::span<const std::int16_t> samples) override {
    Lock lock(loop_.get());
    if (auto lost = lost_device()) return *lost;
    if (samples.empty()) return {};
    if (pa_stream_write(stream_.get(), samples.data(), samples.size_bytes(), nullptr, 0,
                        PA_SEEK_RELATIVE) < 0) {
      return error();
    }
    return {};
  }

  DeviceStatus start() override { return cork(false); }
  DeviceStatus stop() override { return cork(true); }

  DeviceStatus reset() override {
    Lock lock(loop_.get());
    if (auto lost = lost_device()) return *lost;
    return done(pa_stream_flush(stream_.get(), nullptr, nullptr));
  }

  bool has_rate_adjust() const override { return !rate_refused_.load(); }

  DeviceStatus set_sample_rate(float frames_per_second) override {
    Lock lock(loop_.get());
    if (auto lost = lost_device()) return *lost;
    // The server takes whole hertz: steps of about 0.002 %.
    const auto rate = static_cast<std::uint32_t>(std::lround(frames_per_second));
    pa_operation* operation =
        pa_stream_update_sample_rate(stream_.get(), rate, &PulseOutput::on_rate_set, this);
    // Trimming is a refinement: a refusal, at once or in the answer, turns it off and the
    // stream plays on at its own rate.
    if (operation == nullptr) {
      refuse_rate_changes();
      return {};
    }
    pa_operation_unref(operation);
    return {};
  }

  bool wait(std::chrono::milliseconds timeout) override {
    std::unique_lock lock(event_mutex_);
    event_.wait_for(lock, timeout, [&] { return signalled_; });
    return std::exchange(signalled_, false);
  }

 private:
  struct Lock {
    pa_threaded_mainloop* loop;
    explicit Lock(pa_threaded_mainloop* l) : loop(l) { pa_threaded_mainloop_lock(loop); }
    ~Lock() { pa_threaded_mainloop_unlock(loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
  };

  // Waits with the loop locked, releasing it between looks.
  template <typename Ready>
  bool wait_until(Ready ready) {
    const auto deadline = std::chrono::steady_clock::now() + kOpenTimeout;
    while (!ready()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      pa_threaded_mainloop_unlock(loop_.get());
      std::this_thread::sleep_for(kOpenPoll);
      pa_threaded_mainloop_lock(loop_.get());
    }
    return true;
  }

  std::string context_text() const { return pa_strerror(pa_context_errno(context_.get())); }

  // The server went away or dropped the stream (its sink was removed): a new stream may work.
  std::optional<AudioDeviceError> lost_device() const {
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_.get())) &&
        pa_stream_get_state(stream_.get()) == PA_STREAM_READY) {
      return std::nullopt;
    }
    return AudioDeviceError{fmt::format("the audio stream was lost: {}", context_text()), true};
  }

  AudioDeviceError error() const { return AudioDeviceError{context_text(), false}; }

  // Frames held in the stream: the granted buffer less what the server asks for; the loop is
  // locked.
  DeviceResult<std::uint32_t> held_frames() const {
    if (auto lost = lost_device()) return *lost;
    const std::size_t bytes = pa_stream_writable_size(stream_.get());
    if (bytes == static_cast<std::size_t>(-1)) return error();
    const std::uint64_t writable = bytes / (2u * channels_);
    return static_cast<std::uint32_t>(writable >= granted_frames_ ? 0 : granted_frames_ - writable);
  }

  DeviceStatus done(pa_operation* operation) {
    if (operation == nullptr) return error();
    pa_operation_unref(operation);
    return {};
  }

  DeviceStatus cork(bool paused) {
    Lock lock(loop_.get());
    if (auto lost = lost_device()) return *lost;
    return done(pa_stream_cork(stream_.get(), paused ? 1 : 0, nullptr, nullptr));
  }

  void signal_event() {
    {
      std::lock_guard lock(event_mutex_);
      signalled_ = true;
    }
    event_.notify_all();
  }

  static void on_context_state(pa_context*, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    pa_threaded_mainloop_signal(output->loop_.get(), 0);
    output->signal_event();
  }
  static void on_stream_state(pa_stream*, void* self) { on_context_state(nullptr, self); }
  static void on_writable(pa_stream*, std::size_t, void* self) {
    static_cast<PulseOutput*>(self)->signal_event();
  }
  // The loop is locked.
  void refuse_rate_changes() {
    if (rate_refused_.exchange(true)) return;
    log_debug(kLog, "the audio server refused a playback rate change: {}; rate trimming is off",
              context_text());
  }
  static void on_rate_set(pa_stream*, int success, void* self) {
    if (success == 0) static_cast<PulseOutput*>(self)->refuse_rate_changes();
  }

  std::uint8_t channels_;
  std::uint32_t buffer_frames_ = 0;
  std::uint32_t granted_frames_ = 0;
  std::atomic<bool> rate_refused_{false};
  PulseThreadedMainloop loop_;
  PulseContext context_;
  PulseStream stream_;
  std::mutex event_mutex_;
  std::condition_variable event_;
  bool signalled_ = false;
};

}  // namespace

Result<std::unique_ptr<AudioOutput>> PulseOutputFactory::open(std::uint8_t channels) {
  auto output = std::make_unique<PulseOutput>(channels);
  if (Status opened = output->open(application_name_); !opened) return opened.error();
  return std::unique_ptr<AudioOutput>(std::move(output));
}

}  // namespace nolv
