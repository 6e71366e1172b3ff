#include "platform/pulse/tone_bell.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>

#include "platform/pulse/pulse_handles.h"

namespace nolv {
namespace {

// Loud enough to notice, well below full scale.
constexpr double kAmplitude = 0.3 * 32767.0;
// Fades that keep the start and end of the tone from clicking.
constexpr std::uint32_t kFadeMs = 5;
// How long the server may take to accept the stream and to play out its end, beyond the tone.
constexpr std::chrono::milliseconds kServerAllowance{2000};
constexpr int kPollIntervalUs = 10'000;

// Runs one round of the loop, waiting at most a poll interval; false once the deadline passed
// or the loop failed.
bool iterate(pa_mainloop* loop, std::chrono::steady_clock::time_point deadline) {
  if (std::chrono::steady_clock::now() >= deadline) return false;
  if (pa_mainloop_prepare(loop, kPollIntervalUs) < 0) return false;
  if (pa_mainloop_poll(loop) < 0) return false;
  return pa_mainloop_dispatch(loop) >= 0;
}

std::string context_error(pa_context* ctx) {
  return pa_strerror(pa_context_errno(ctx));
}

}  // namespace

std::vector<std::int16_t> sine_tone(std::uint32_t frequency_hz, std::uint32_t duration_ms,
                                    std::uint32_t sample_rate) {
  const std::size_t count = static_cast<std::uint64_t>(sample_rate) * duration_ms / 1000;
  std::vector<std::int16_t> samples(count, 0);
  if (frequency_hz == 0 || frequency_hz * 2ULL >= sample_rate) return samples;
  const std::size_t fade = std::min<std::size_t>(count / 2, sample_rate * kFadeMs / 1000);
  const double step = 2.0 * std::numbers::pi * frequency_hz / sample_rate;
  for (std::size_t i = 0; i < count; ++i) {
    double gain = 1.0;
    if (fade > 0 && i < fade) gain = static_cast<double>(i) / fade;
    if (fade > 0 && count - 1 - i < fade) gain = static_cast<double>(count - 1 - i) / fade;
    samples[i] = static_cast<std::int16_t>(std::lround(kAmplitude * gain * std::sin(step * i)));
  }
  return samples;
}

Status PulseToneBell::beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) {
  // Such a tone would be silence; failing lets the caller ring another bell instead.
  if (frequency_hz * 2ULL >= kToneSampleRate)
    return fail("audio tone: {} Hz is above what {} Hz sampling can play", frequency_hz,
                kToneSampleRate);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(duration_ms) + kServerAllowance;
  PulseMainloop mainloop(pa_mainloop_new());
  if (mainloop == nullptr) return fail("audio main loop: out of memory");
  PulseContext context(
      pa_context_new(pa_mainloop_get_api(mainloop.get()), application_name_.c_str()));
  if (context == nullptr) return fail("audio context: out of memory");
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return fail("audio server: {}", context_error(context.get()));
  }
  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context.get());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return fail("audio server: {}", context_error(context.get()));
    if (!iterate(mainloop.get(), deadline)) return fail("audio server: no answer");
  }

  const pa_sample_spec spec{PA_SAMPLE_S16LE, kToneSampleRate, 1};
  PulseStream stream(pa_stream_new(context.get(), "bell", &spec, nullptr));
  if (stream == nullptr) return fail("audio stream: {}", context_error(context.get()));
  if (pa_stream_connect_playback(stream.get(), nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr,
                                 nullptr) < 0) {
    return fail("audio stream: {}", context_error(context.get()));
  }
  const std::vector<std::int16_t> samples = sine_tone(frequency_hz, duration_ms);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
  std::size_t remaining = samples.size() * sizeof(std::int16_t);
  while (remaining > 0) {
    const pa_stream_state_t state = pa_stream_get_state(stream.get());
    if (!PA_STREAM_IS_GOOD(state)) return fail("audio stream: {}", context_error(context.get()));
    const std::size_t writable =
        state == PA_STREAM_READY ? pa_stream_writable_size(stream.get()) : 0;
    if (writable == static_cast<std::size_t>(-1)) {
      return fail("audio stream: {}", context_error(context.get()));
    }
    if (writable == 0) {
      if (!iterate(mainloop.get(), deadline)) return fail("audio stream: no room to play");
      continue;
    }
    const std::size_t n = std::min(writable, remaining) & ~std::size_t{1};
    if (pa_stream_write(stream.get(), bytes, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
      return fail("audio stream: {}", context_error(context.get()));
    }
    bytes += n;
    remaining -= n;
  }
  bool drained = false;
  pa_operation* drain = pa_stream_drain(
      stream.get(), [](pa_stream*, int, void* done) { *static_cast<bool*>(done) = true; },
      &drained);
  if (drain == nullptr) return fail("audio stream: {}", context_error(context.get()));
  while (!drained && iterate(mainloop.get(), deadline)) {
  }
  if (!drained) pa_operation_cancel(drain);  // its callback must not outlive `drained`
  pa_operation_unref(drain);
  if (!drained) return fail("audio stream: the tone did not finish in time");
  return {};
}

}  // namespace nolv
