// The system bell: a tone of a given pitch and length. Each bell runs on a short thread of its
// own, so an implementation may block for the whole tone.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "util/result.h"

namespace nolv {

class Bell {
 public:
  virtual ~Bell() = default;
  // Blocks until the tone has played. Called from any thread, possibly several at once.
  [[nodiscard]] virtual Status beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) = 0;
};

// Tries `primary` first and rings `fallback` when it fails.
class FallbackBell : public Bell {
 public:
  FallbackBell(std::shared_ptr<Bell> primary, std::shared_ptr<Bell> fallback)
      : primary_(std::move(primary)), fallback_(std::move(fallback)) {}

  Status beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override {
    Status first = primary_ ? primary_->beep(frequency_hz, duration_ms) : fail("no bell");
    if (first.ok() || !fallback_) return first;
    return fallback_->beep(frequency_hz, duration_ms);
  }

 private:
  std::shared_ptr<Bell> primary_;
  std::shared_ptr<Bell> fallback_;
};

}  // namespace nolv
