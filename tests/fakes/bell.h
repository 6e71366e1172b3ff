// A bell that records every tone instead of playing it; tests wait for the bell thread with
// wait_for_beeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/bell.h"

namespace nolv {

class RecordingBell : public Bell {
 public:
  struct Tone {
    std::uint32_t frequency_hz;
    std::uint32_t duration_ms;
    friend bool operator==(const Tone&, const Tone&) = default;
  };

  explicit RecordingBell(bool fails = false) : fails_(fails) {}

  Status beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override {
    {
      std::lock_guard lock(mutex_);
      tones_.push_back({frequency_hz, duration_ms});
    }
    changed_.notify_all();
    if (fails_) return fail("bell refused");
    return {};
  }

  // The tones recorded once `count` have arrived, or what arrived within `timeout`.
  std::vector<Tone> wait_for_beeps(std::size_t count,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return tones_.size() >= count; });
    return tones_;
  }

 private:
  const bool fails_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Tone> tones_;
};

}  // namespace nolv
