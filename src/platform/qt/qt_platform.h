// The Qt stand-in for the windowing library's event loop: Packet user events posted as QEvents,
// a proxy that fails once the loop is gone, Resumed first, screens as monitors.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/event_loop.h"
#include "platform/window.h"

namespace nolv {

class QtPlatform : public Platform {
 public:
  QtPlatform(int argc, char** argv) : argc_(argc), argv_(argv) {}
  Result<std::unique_ptr<EventLoop>> create_event_loop() override;
  std::optional<std::string> keyboard_layout() override;
  std::shared_ptr<Bell> bell() override;
  std::shared_ptr<AudioOutputFactory> audio_outputs() override;

 private:
  int argc_;
  char** argv_;
};

// For the Qt windows: hands one window event to the running loop's handler, on the
// event-loop thread. Does nothing when no loop runs or an exit was asked for.
void deliver_window_event(WindowId window, WindowEvent event);

// The layout name of the X keyboard's active group, read from the root window's
// _XKB_RULES_NAMES; none without an X display.
std::optional<std::string> x_keyboard_layout();
// Whether DISPLAY names an X server that accepts us.
bool x_display_reachable();

}  // namespace nolv
