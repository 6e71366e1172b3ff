// The event loop's cross-thread proxy: how every thread hands a Packet to the event-loop thread.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "net/packet.h"
#include "platform/audio_device.h"

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

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/bell.h"
#include "platform/clipboard.h"
#include "platform/tray.h"
#include "platform/window.h"
#include "util/result.h"

namespace nolv {

// One local monitor as the windowing layer enumerates it, in device pixels.
struct Monitor {
  std::string name;  // empty when the system gives none
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::optional<std::uint32_t> refresh_rate_millihertz;
  bool primary = false;
};

// What a handler gets while the loop runs, on the event-loop thread.
class ActiveEventLoop {
 public:
  virtual ~ActiveEventLoop() = default;
  virtual std::vector<Monitor> monitors() const = 0;
  // The primary monitor's effective DPI / 96; 1.0 when the system reports none.
  virtual double primary_scale_factor() const = 0;
  // Ends the loop after the current event has been handled.
  virtual void exit() = 0;
  // A native window whose events reach the handler's window_event.
  virtual Result<std::shared_ptr<Window>> create_window(const WindowAttributes& attributes) = 0;
};

// The one handler the loop calls for every event, one at a time, on the event-loop thread.
class EventLoopHandler {
 public:
  virtual ~EventLoopHandler() = default;
  virtual void resumed(ActiveEventLoop& loop) = 0;
  virtual void user_event(ActiveEventLoop& loop, Packet packet) = 0;
  virtual void window_event(ActiveEventLoop& loop, WindowId window, WindowEvent event) = 0;
};

class EventLoop {
 public:
  virtual ~EventLoop() = default;
  virtual EventLoopProxy create_proxy() = 0;
  // Delivers Resumed first, then every event, until exit() is asked for. An error when the
  // loop's own exit status was not zero.
  virtual Status run(EventLoopHandler& handler) = 0;
  // The desktop services that live on the loop's thread, made with it; none leaves the session
  // without a tray icon or clipboard sync.
  virtual std::shared_ptr<TrayPlatform> tray() { return nullptr; }
  virtual std::shared_ptr<ClipboardAccess> clipboard() { return nullptr; }
};

// The services of the desktop that `run` needs before any window exists.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual Result<std::unique_ptr<EventLoop>> create_event_loop() = 0;
  // The layout name of the keyboard's active group ("us", "de"), when the system tells it.
  virtual std::optional<std::string> keyboard_layout() = 0;
  // The system bell; none rings nothing.
  virtual std::shared_ptr<Bell> bell() { return nullptr; }
  // Opens the default audio output; none leaves the session without speaker forwarding.
  virtual std::shared_ptr<AudioOutputFactory> audio_outputs() { return nullptr; }
};

// A proxy for a worker whose results would otherwise pile up ahead of the event loop: each post
// first waits for room in `backlog` (not once it is closed), then charges the packet to it
// (its chunk bytes and `kPacketFootprint`) until the packet is dropped.
EventLoopProxy waiting_proxy(EventLoopProxy inner, std::shared_ptr<Backlog> backlog);

}  // namespace nolv
