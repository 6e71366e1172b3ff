#include "client/jitter_buffer.h"

#include <algorithm>

#include "util/saturating.h"

namespace nolv {

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

// 5 ms at 48 kHz: the ramp after a cut, so that dropping audio does not click.
constexpr std::uint64_t kFadeInFrames = 240;

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

std::uint32_t arrival_jitter(std::uint64_t received_ms, std::uint64_t prev_received_ms,
                             std::uint32_t prev_duration_ms) {
  const std::uint32_t gap = saturate_cast<std::uint32_t>(
      received_ms > prev_received_ms ? received_ms - prev_received_ms : 0);
  return gap > prev_duration_ms ? gap - prev_duration_ms : prev_duration_ms - gap;
}

void record_jitter(JitterWindow& window, std::uint32_t jitter) {
  window.push_back(jitter);
  while (window.size() > kJitterWindowSize) window.pop_front();
}

constexpr std::uint32_t kMinTargetMs = 80;
// Beyond this the delay is worse than the occasional gap.
constexpr std::uint32_t kMaxTargetMs = 400;

std::uint32_t jitter_target_candidate(const JitterWindow& jitter) {
  if (jitter.empty()) return kMinTargetMs;
  std::vector<std::uint32_t> sorted(jitter.begin(), jitter.end());
  std::sort(sorted.begin(), sorted.end());
  const std::size_t n = sorted.size();
  const std::uint64_t p95 = sorted[std::min((n * 95 + 4) / 100, n - 1)];
  return static_cast<std::uint32_t>(
      std::clamp<std::uint64_t>(2 * p95 + 80, kMinTargetMs, kMaxTargetMs));
}

constexpr std::uint32_t kTargetFallStepMs = 10;

std::uint32_t lowered_target(std::uint32_t target_ms, std::uint32_t candidate) {
  if (target_ms <= candidate) return target_ms;
  return std::max(candidate, target_ms - std::min(target_ms, kTargetFallStepMs));
}

constexpr std::uint32_t kUnderrunStepMs = 40;

std::uint32_t raised_target(std::uint32_t target_ms) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{target_ms} + kUnderrunStepMs, kMaxTargetMs));
}

float playback_rate(std::uint32_t latency_ms, std::uint32_t target_ms) {
  const std::uint32_t off =
      latency_ms > target_ms ? latency_ms - target_ms : target_ms - latency_ms;
  if (off <= 20) return 1.0f;
  const float trim = std::min(static_cast<float>(off - 20) / 80.0f, 1.0f) * 0.005f;
  return latency_ms > target_ms ? 1.0f + trim : 1.0f - trim;
}

}  // namespace nolv
