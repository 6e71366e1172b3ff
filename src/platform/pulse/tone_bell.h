// The bell as a sine tone on the default audio output, through a short-lived PulseAudio stream
// of its own per bell.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/bell.h"

namespace nolv {

inline constexpr std::uint32_t kToneSampleRate = 48000;

// Mono 16-bit samples of a sine tone with short fades at both ends; silence for frequencies
// that the sample rate cannot carry.
std::vector<std::int16_t> sine_tone(std::uint32_t frequency_hz, std::uint32_t duration_ms,
                                    std::uint32_t sample_rate = kToneSampleRate);

class PulseToneBell : public Bell {
 public:
  // Plays on the default server (PULSE_SERVER or the user's); never spawns a daemon.
  explicit PulseToneBell(std::string application_name = "nolv")
      : application_name_(std::move(application_name)) {}
  Status beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) override;

 private:
  std::string application_name_;
};

}  // namespace nolv
