#include "platform/qt/x_bell.h"

#include "platform/pulse/tone_bell.h"
#include "util/unique_handle.h"

#include <X11/Xlib.h>
// Xlib's macro of that name would hide nolv::Status.
#undef Status

namespace nolv {

Status XServerBell::beep(std::uint32_t, std::uint32_t) {
  // A connection of its own: Xlib connections are not shared across threads here.
  const UniqueHandle<Display, XCloseDisplay> display(XOpenDisplay(nullptr));
  if (display == nullptr) return fail("X bell: cannot open the display");
  XBell(display.get(), 0);
  XFlush(display.get());
  return {};
}

std::shared_ptr<Bell> make_system_bell() {
  return std::make_shared<FallbackBell>(std::make_shared<PulseToneBell>(),
                                        std::make_shared<XServerBell>());
}

}  // namespace nolv
