// The default audio output as a PulseAudio playback stream on a threaded main loop: the writable
// size is the free space, the stream latency the padding, cork and flush stop and reset it, and
// a variable-rate stream takes the rate trim.
#pragma once

#include <string>

#include "platform/audio_device.h"

namespace nolv {

class PulseOutputFactory : public AudioOutputFactory {
 public:
  // Plays on the default server (PULSE_SERVER or the user's); never spawns a daemon.
  explicit PulseOutputFactory(std::string application_name = "nolv")
      : application_name_(std::move(application_name)) {}
  Result<std::unique_ptr<AudioOutput>> open(std::uint8_t channels) override;

 private:
  std::string application_name_;
};

}  // namespace nolv
