// The default audio output as the audio worker drives it: a shared-mode stream of interleaved
// signed 16-bit PCM at 48 kHz, filled from the worker's thread when the device asks for data.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "util/result.h"

namespace nolv {

inline constexpr std::uint32_t kAudioSampleRate = 48000;
// The period asked of the device: 20 ms at 48 kHz.
inline constexpr std::uint32_t kRequestedPeriodFrames = 960;

// A failed device call: the platform's text, and whether the device itself went away (a
// rebuild may mend that; nothing mends the rest).
struct AudioDeviceError {
  std::string message;
  bool device_invalidated = false;
};

template <typename T>
using DeviceResult = Result<T, AudioDeviceError>;
using DeviceStatus = Result<void, AudioDeviceError>;

// One open output stream; used from one thread only.
class AudioOutput {
 public:
  virtual ~AudioOutput() = default;
  virtual std::uint32_t buffer_frames() const = 0;
  // Frames the device takes now without blocking.
  virtual DeviceResult<std::uint32_t> free_frames() = 0;
  // Frames written but not yet played.
  virtual DeviceResult<std::uint32_t> padding_frames() = 0;
  // Whole frames, interleaved.
  virtual DeviceStatus write(std::span<const std::int16_t> samples) = 0;
  virtual DeviceStatus start() = 0;
  virtual DeviceStatus stop() = 0;
  // Drops what the device holds.
  virtual DeviceStatus reset() = 0;
  // Whether set_sample_rate trims the playback rate.
  virtual bool has_rate_adjust() const = 0;
  virtual DeviceStatus set_sample_rate(float frames_per_second) = 0;
  // Waits at most `timeout` for the device to ask for data; true when it did.
  virtual bool wait(std::chrono::milliseconds timeout) = 0;
};

class AudioOutputFactory {
 public:
  virtual ~AudioOutputFactory() = default;
  // Opens the default output for 1 or 2 channels, not started.
  virtual Result<std::unique_ptr<AudioOutput>> open(std::uint8_t channels) = 0;
};

}  // namespace nolv
