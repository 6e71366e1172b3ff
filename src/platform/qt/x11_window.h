// The few X11 window operations Qt does not offer: EWMH states it does not manage and a pointer
// grab confined to a window. Kept apart because the X11 headers' macros clash with C++ names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/result.h"

namespace nolv::x11 {

// True when the application runs on an X server (the xcb platform).
bool available();
// Sets or clears one _NET_WM_STATE atom ("_NET_WM_STATE_SKIP_TASKBAR", ...): on the property
// until the window manager has taken the window, through the window manager after that.
bool set_net_wm_state(std::uint64_t xid, const char* atom, bool on);
// The reason on failure.
Status grab_pointer_confined(std::uint64_t xid);
void ungrab_pointer();
// WM_TRANSIENT_FOR, which Qt writes only for dialog-like window types.
bool set_transient_for(std::uint64_t xid, std::uint64_t owner_xid);
// The largest request the X server takes, in bytes (with BIG-REQUESTS when it offers them);
// 0 without an X display.
std::uint64_t max_request_bytes();
struct KeyboardModifiers {
  bool shift = false;
  bool control = false;
  bool alt = false;    // Mod1
  bool super = false;  // Mod4
};
// The keyboard's modifiers as the X server has them now; none without an X display.
std::optional<KeyboardModifiers> keyboard_modifiers();

}  // namespace nolv::x11
