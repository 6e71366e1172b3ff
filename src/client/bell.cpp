#include "client/bell.h"

#include <algorithm>

#include "util/log.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::client";

constexpr std::int32_t kBeepMinFrequency = 37;
constexpr std::int32_t kBeepMaxFrequency = 32767;
constexpr std::uint32_t kDefaultBellFrequency = 800;
constexpr std::int32_t kMaxBellDurationMs = 5000;
constexpr std::uint32_t kDefaultBellDurationMs = 100;

// A few overlapping bells are heard as one; more at once would only pile up threads and take
// the sound server's client slots, so further bells are dropped until one has finished.
constexpr std::uint32_t kMaxBellsAtOnce = 4;
// A bell thread only waits on the sound server.
constexpr std::size_t kBellStackSize = 512 * 1024;

}  // namespace

std::uint32_t bell_frequency(std::int32_t pitch) {
  if (pitch >= kBeepMinFrequency && pitch <= kBeepMaxFrequency) {
    return static_cast<std::uint32_t>(pitch);
  }
  return kDefaultBellFrequency;
}

std::uint32_t bell_duration_ms(std::int32_t duration) {
  if (duration > 0) return static_cast<std::uint32_t>(std::min(duration, kMaxBellDurationMs));
  return kDefaultBellDurationMs;
}

void BellForwarding::handle_bell(const Packet& packet) {
  const std::uint32_t frequency = bell_frequency(packet_get_i32(packet.items, 4));
  const std::uint32_t duration = bell_duration_ms(packet_get_i32(packet.items, 5));
  if (!bell_) return;
  if (ringing_->fetch_add(1) >= kMaxBellsAtOnce) {
    ringing_->fetch_sub(1);
    log_debug(kLog, "dropping a bell: {} are already ringing", kMaxBellsAtOnce);
    return;
  }
  // The event loop never waits for the tone.
  Status started = spawn_detached(
      "bell",
      [ring = bell_, ringing = ringing_, frequency, duration] {
        (void)ring->beep(frequency, duration);
        ringing->fetch_sub(1);
      },
      kBellStackSize);
  if (!started) {
    ringing_->fetch_sub(1);
    log_error(kLog, "failed to start the bell thread: {}", started.message());
  }
}

}  // namespace nolv
