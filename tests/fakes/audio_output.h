// A simulated audio output: a device buffer that the test drains by "playing" frames, with
// failures to inject, and a factory that records what it opened.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/audio_device.h"

namespace nolv {

struct FakeDeviceState {
  std::mutex mutex;
  std::uint8_t channels = 2;
  std::uint32_t buffer_frames = 1920;
  std::uint32_t held_frames = 0;      // written, not yet played
  std::uint32_t extra_padding = 0;    // latency beyond the buffer (the server's own)
  std::vector<std::int16_t> written;  // every sample ever written
  bool started = false;
  int starts = 0;
  int stops = 0;
  int resets = 0;
  bool rate_adjust = true;
  std::vector<float> rates;
  // The next call of any kind fails with this.
  std::optional<AudioDeviceError> fail_next;

  // For a test thread while the worker runs.
  int start_count() {
    std::lock_guard lock(mutex);
    return starts;
  }

  // The device plays `frames` of what it holds.
  void play(std::uint32_t frames) {
    std::lock_guard lock(mutex);
    held_frames -= std::min(frames, held_frames);
  }
};

class FakeAudioOutput : public AudioOutput {
 public:
  explicit FakeAudioOutput(std::shared_ptr<FakeDeviceState> state) : state_(std::move(state)) {}
  std::uint32_t buffer_frames() const override { return state_->buffer_frames; }
  DeviceResult<std::uint32_t> free_frames() override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    return state_->buffer_frames - state_->held_frames;
  }
  DeviceResult<std::uint32_t> padding_frames() override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    return state_->held_frames + state_->extra_padding;
  }
  DeviceStatus write(std::span<const std::int16_t> samples) override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    state_->written.insert(state_->written.end(), samples.begin(), samples.end());
    state_->held_frames += static_cast<std::uint32_t>(samples.size() / state_->channels);
    return {};
  }
  DeviceStatus start() override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    state_->started = true;
    ++state_->starts;
    return {};
  }
  DeviceStatus stop() override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    state_->started = false;
    ++state_->stops;
    return {};
  }
  DeviceStatus reset() override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    state_->held_frames = 0;
    ++state_->resets;
    return {};
  }
  bool has_rate_adjust() const override { return state_->rate_adjust; }
  DeviceStatus set_sample_rate(float frames_per_second) override {
    std::lock_guard lock(state_->mutex);
    if (auto e = take_failure()) return *e;
    state_->rates.push_back(frames_per_second);
    return {};
  }
  // A started device that plays in real time: it asks for data every few milliseconds.
  bool wait(std::chrono::milliseconds timeout) override {
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(2)));
    std::lock_guard lock(state_->mutex);
    return state_->started;
  }

 private:
  std::optional<AudioDeviceError> take_failure() { return std::exchange(state_->fail_next, {}); }
  std::shared_ptr<FakeDeviceState> state_;
};

class FakeAudioOutputs : public AudioOutputFactory {
 public:
  Result<std::unique_ptr<AudioOutput>> open(std::uint8_t channels) override {
    std::lock_guard lock(mutex);
    opened_channels.push_back(channels);
    if (!failures.empty()) {
      std::string message = failures.front();
      failures.pop_front();
      if (!message.empty()) return Error{message};
    }
    auto state = std::make_shared<FakeDeviceState>();
    state->channels = channels;
    devices.push_back(state);
    return std::unique_ptr<AudioOutput>(std::make_unique<FakeAudioOutput>(state));
  }
  std::shared_ptr<FakeDeviceState> last() {
    std::lock_guard lock(mutex);
    return devices.empty() ? nullptr : devices.back();
  }
  std::size_t opened() {
    std::lock_guard lock(mutex);
    return devices.size();
  }

  std::mutex mutex;
  // One entry per open, in order: a non-empty text makes that open fail with it.
  std::deque<std::string> failures;
  std::vector<std::uint8_t> opened_channels;
  std::vector<std::shared_ptr<FakeDeviceState>> devices;
};

}  // namespace nolv
