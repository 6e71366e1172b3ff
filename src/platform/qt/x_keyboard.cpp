// The parts of the platform layer that speak to the X server directly (kept apart from the Qt
// headers, whose names the X headers' macros break).
#include "platform/qt/qt_platform.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "util/unique_handle.h"

// Last: their macros (Status, Bool, None) break any header included after them.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace nolv {

namespace {
std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

using DisplayConnection = UniqueHandle<Display, XCloseDisplay>;
using XData = UniqueHandle<unsigned char, XFree>;
}  // namespace

bool x_display_reachable() {
  return DisplayConnection(XOpenDisplay(nullptr)) != nullptr;
}

std::optional<std::string> x_keyboard_layout() {
  if (env("DISPLAY").empty()) return std::nullopt;
  DisplayConnection connection(XOpenDisplay(nullptr));
  if (connection == nullptr) return std::nullopt;
  Display* dpy = connection.get();
  std::optional<std::string> layout;
  XkbStateRec state{};
  const bool have_state = XkbGetState(dpy, XkbUseCoreKbd, &state) == Success;
  const Atom names = XInternAtom(dpy, "_XKB_RULES_NAMES", True);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* raw = nullptr;
  const bool got = have_state && names != None &&
                   XGetWindowProperty(dpy, DefaultRootWindow(dpy), names, 0, 1024, False, XA_STRING,
                                      &type, &format, &count, &after, &raw) == Success;
  const XData data(raw);
  if (got && data != nullptr && format == 8) {
    // rules, model, layout, variant, options: NUL-separated
    std::vector<std::string> fields;
    std::string current;
    for (unsigned long i = 0; i < count; ++i) {
      if (data.get()[i] == 0) {
        fields.push_back(std::move(current));
        current.clear();
      } else {
        current += static_cast<char>(data.get()[i]);
      }
    }
    fields.push_back(current);
    if (fields.size() > 2) {
      std::vector<std::string> layouts;
      std::string part;
      for (char c : fields[2] + ",") {
        if (c == ',') {
          layouts.push_back(part);
          part.clear();
        } else {
          part += c;
        }
      }
      const auto group = static_cast<std::size_t>(state.group);
      if (group < layouts.size() && !layouts[group].empty()) layout = layouts[group];
    }
  }
  return layout;
}

}  // namespace nolv
