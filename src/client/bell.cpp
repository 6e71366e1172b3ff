#include <system_error>
#include <thread>

#include "client/client.h"
#include "client/cursor.h"
#include "util/fatal.h"

namespace nolv {

void Client::handle_bell(ActiveEventLoop&, Packet& packet) {
  const std::uint32_t frequency = bell_frequency(packet_get_i32(packet.items, 4));
  const std::uint32_t duration = bell_duration_ms(packet_get_i32(packet.items, 5));
  if (!bell) return;
  // One short thread per bell; the event loop never waits for it.
  try {
    std::thread([ring = bell, frequency, duration] {
      (void)ring->beep(frequency, duration);
    }).detach();
  } catch (const std::system_error& e) {
    fatal(fmt::format("cannot start the bell thread: {}", e.what()));
  }
}

}  // namespace nolv
