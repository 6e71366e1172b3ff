// The parts of the platform layer that speak to the X server directly (kept apart from the Qt
// headers, whose names the X headers' macros break).
#include "platform/qt/qt_platform.h"

#include <cstdlib>
#include <string>
#include <vector>

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
}  // namespace

bool x_display_reachable() {
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return false;
  XCloseDisplay(dpy);
  return true;
}

std::optional<std::string> x_keyboard_layout() {
  if (env("DISPLAY").empty()) return std::nullopt;
  Display* dpy = XOpenDisplay(nullptr);
  if (dpy == nullptr) return std::nullopt;
  std::optional<std::string> layout;
  XkbStateRec state{};
  const bool have_state = XkbGetState(dpy, XkbUseCoreKbd, &state) == Success;
  const Atom names = XInternAtom(dpy, "_XKB_RULES_NAMES", True);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (have_state && names != None &&
      XGetWindowProperty(dpy, DefaultRootWindow(dpy), names, 0, 1024, False, XA_STRING, &type,
                         &format, &count, &after, &data) == Success &&
      data != nullptr && format == 8) {
    // rules, model, layout, variant, options: NUL-separated
    std::vector<std::string> fields;
    std::string current;
    for (unsigned long i = 0; i < count; ++i) {
      if (data[i] == 0) {
        fields.push_back(std::move(current));
        current.clear();
      } else {
        current += static_cast<char>(data[i]);
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
  if (data != nullptr) XFree(data);
  XCloseDisplay(dpy);
  return layout;
}

}  // namespace nolv
