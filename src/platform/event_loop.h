// The event loop and what its handler sees: the monitors, the windows, the desktop services.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_device.h"
#include "platform/bell.h"
#include "platform/clipboard.h"
#include "platform/event_proxy.h"
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

}  // namespace nolv
