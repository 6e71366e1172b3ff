// The plain logic under speaker playback: the bounded queue of decoded PCM between the decoder
// and the output, and the arithmetic that turns arrival jitter into a buffering target and a
// playback-rate trim.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace nolv {

// 500 ms at 48 kHz: a stalled output drops the oldest audio instead of growing the queue.
inline constexpr std::uint64_t kPcmHardCapFrames = 24000;
// Enough arrivals for a 95th percentile over the 30 s between adjustments.
inline constexpr std::size_t kJitterWindowSize = 256;
// The prebuffer a stream starts with, before any jitter was measured.
inline constexpr std::uint32_t kInitialTargetMs = 120;
// How often the target may fall toward what the measured jitter asks for.
inline constexpr std::uint64_t kTargetAdjustIntervalMs = 30000;

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

// The last kJitterWindowSize arrival-jitter values in ms, oldest first.
using JitterWindow = std::deque<std::uint32_t>;

// How far a packet's arrival strays from the previous arrival plus that packet's duration; an
// arrival that seems earlier than the previous one counts as a gap of 0.
std::uint32_t arrival_jitter(std::uint64_t received_ms, std::uint64_t prev_received_ms,
                             std::uint32_t prev_duration_ms);
// Appends `jitter`, dropping the oldest values beyond kJitterWindowSize.
void record_jitter(JitterWindow& window, std::uint32_t jitter);
// The target buffer that 30 s of arrival jitter asks for: twice its 95th percentile plus 80 ms,
// within 80..400; 80 when nothing was measured.
std::uint32_t jitter_target_candidate(const JitterWindow& jitter);
// The periodic adjustment: only downward, by at most 10 ms, never below `candidate`.
std::uint32_t lowered_target(std::uint32_t target_ms, std::uint32_t candidate);
// The target after an underrun: 40 ms more, up to 400.
std::uint32_t raised_target(std::uint32_t target_ms);
// The playback rate that steers `latency_ms` toward `target_ms`.
float playback_rate(std::uint32_t latency_ms, std::uint32_t target_ms);

}  // namespace nolv
