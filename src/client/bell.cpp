#include <atomic>

#include "client/client.h"
#include "client/cursor.h"
#include "util/thread.h"

namespace nolv {

namespace {

constexpr std::string_view kLog = "nolv::client::client";

// A few overlapping bells are heard as one; more at once would only pile up threads and take
// the sound server's client slots, so further bells are dropped until one has finished.
constexpr std::uint32_t kMaxBellsAtOnce = 4;
// A bell thread only waits on the sound server.
constexpr std::size_t kBellStackSize = 512 * 1024;

}  // namespace

void Client::handle_bell(ActiveEventLoop&, Packet& packet) {
  const std::uint32_t frequency = bell_frequency(packet_get_i32(packet.items, 4));
  const std::uint32_t duration = bell_duration_ms(packet_get_i32(packet.items, 5));
  if (!bell) return;
  if (bells_ringing->fetch_add(1) >= kMaxBellsAtOnce) {
    bells_ringing->fetch_sub(1);
    log_debug(kLog, "dropping a bell: {} are already ringing", kMaxBellsAtOnce);
    return;
  }
  // The event loop never waits for the tone.
  Status started = spawn_detached(
      "bell",
      [ring = bell, ringing = bells_ringing, frequency, duration] {
        (void)ring->beep(frequency, duration);
        ringing->fetch_sub(1);
      },
      kBellStackSize);
  if (!started) {
    bells_ringing->fetch_sub(1);
    log_error(kLog, "failed to start the bell thread: {}", started.message());
  }
}

}  // namespace nolv
