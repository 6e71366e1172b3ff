#include "platform/qt/x_bell.h"

#include "platform/pulse/tone_bell.h"
#include "util/unique_handle.h"

#include <algorithm>
#include <cstdint>

#include <X11/Xlib.h>
// Xlib's macro of that name would hide nolv::Status.
#undef Status

namespace nolv {
namespace {

// Both fields are 16-bit signed on the wire; the bell's own bounds lie well inside.
constexpr std::uint32_t kMaxWireValue = 32767;

std::int16_t wire_value(std::uint32_t v) {
  return static_cast<std::int16_t>(std::min(v, kMaxWireValue));
}

// The core keyboard control carries the bell's pitch and duration: set for this one ring and put
// back, with the server held so that no other program rings or reads the bell in between. (The
// keyboard extension's bell request takes a pitch too, but X.Org servers leave it set.)
void ring_core_bell(Display* display, std::uint32_t frequency_hz, std::uint32_t duration_ms) {
  XKeyboardState before{};
  XGrabServer(display);
  XGetKeyboardControl(display, &before);
  XKeyboardControl asked{};
  asked.bell_pitch = wire_value(frequency_hz);
  asked.bell_duration = wire_value(duration_ms);
  XChangeKeyboardControl(display, KBBellPitch | KBBellDuration, &asked);
  XBell(display, 0);
  XKeyboardControl restored{};
  restored.bell_pitch = static_cast<int>(before.bell_pitch);
  restored.bell_duration = static_cast<int>(before.bell_duration);
  XChangeKeyboardControl(display, KBBellPitch | KBBellDuration, &restored);
  XUngrabServer(display);
}

}  // namespace

Status XServerBell::beep(std::uint32_t frequency_hz, std::uint32_t duration_ms) {
  // A connection of its own: Xlib connections are not shared across threads here.
  const UniqueHandle<Display, XCloseDisplay> display(XOpenDisplay(nullptr));
  if (display == nullptr) return fail("X bell: cannot open the display");
  ring_core_bell(display.get(), frequency_hz, duration_ms);
  XSync(display.get(), False);
  return {};
}

std::shared_ptr<Bell> make_system_bell() {
  return std::make_shared<FallbackBell>(std::make_shared<PulseToneBell>(),
                                        std::make_shared<XServerBell>());
}

}  // namespace nolv
