// The server's bells, rung on the local bell: the pitch and length rules of a bell packet, and
// the threads that ring them. Event-loop thread only, like the session that owns it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "net/packet.h"
#include "platform/bell.h"

namespace nolv {

// The tone of a bell packet: pitch within 37..32767 Hz, else 800; duration up to 5000 ms when
// positive, else 100.
[[nodiscard]] std::uint32_t bell_frequency(std::int32_t pitch);
[[nodiscard]] std::uint32_t bell_duration_ms(std::int32_t duration);

class BellForwarding {
 public:
  // None rings nothing.
  explicit BellForwarding(std::shared_ptr<Bell> bell = nullptr) : bell_(std::move(bell)) {}

  // "bell" and "window-bell": one tone on a thread of its own, dropped while a few ring.
  void handle_bell(const Packet& packet);
  // Bells whose thread has not finished.
  std::uint32_t ringing() const { return ringing_->load(); }

 private:
  std::shared_ptr<Bell> bell_;
  // Shared with the bell threads, which may outlive this.
  std::shared_ptr<std::atomic<std::uint32_t>> ringing_ =
      std::make_shared<std::atomic<std::uint32_t>>(0);
};

}  // namespace nolv
