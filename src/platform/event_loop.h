// The event loop's cross-thread proxy: how every thread hands a Packet to the event-loop thread.
#pragma once

#include <memory>
#include <utility>

#include "net/packet.h"

namespace nolv {

// What a proxy posts into. The Qt loop implements it; tests use a recording fake.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // Thread-safe. False once the loop no longer accepts events.
  virtual bool post(Packet packet) = 0;
};

// Copyable handle, usable from any thread.
class EventLoopProxy {
 public:
  EventLoopProxy() = default;
  explicit EventLoopProxy(std::shared_ptr<EventSink> sink) : sink_(std::move(sink)) {}

  [[nodiscard]] bool send_event(Packet packet) const {
    return sink_ != nullptr && sink_->post(std::move(packet));
  }

 private:
  std::shared_ptr<EventSink> sink_;
};

}  // namespace nolv
