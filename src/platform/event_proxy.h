// The event loop's cross-thread proxy: how every thread hands a Packet to the event-loop thread.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "net/packet.h"

namespace nolv {

// What a proxy posts into. The Qt loop implements it; tests use a recording fake.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Thread-safe. False once the loop no longer accepts events.
  virtual bool post(Packet packet) = 0;
  // Several packets as one hand-over, delivered in order. False once the loop no longer accepts
  // events.
  virtual bool post_batch(std::vector<Packet> packets) {
    for (Packet& packet : packets) {
      if (!post(std::move(packet))) return false;
    }
    return true;
  }
};

// Copyable handle, usable from any thread.
class EventLoopProxy {
 public:
  EventLoopProxy() = default;
  explicit EventLoopProxy(std::shared_ptr<EventSink> sink) : sink_(std::move(sink)) {}

  [[nodiscard]] bool send_event(Packet packet) const {
    return sink_ != nullptr && sink_->post(std::move(packet));
  }
  [[nodiscard]] bool send_events(std::vector<Packet> packets) const {
    return sink_ != nullptr && sink_->post_batch(std::move(packets));
  }

 private:
  std::shared_ptr<EventSink> sink_;
};

// A proxy for a worker whose results would otherwise pile up ahead of the event loop: each post
// first waits for room in `backlog` (not once it is closed), then charges the packet to it
// (its chunk bytes and `kPacketFootprint`) until the packet is dropped.
EventLoopProxy waiting_proxy(EventLoopProxy inner, std::shared_ptr<Backlog> backlog);

}  // namespace nolv
