#include "platform/qt/x11_window.h"

#include <vector>

#include <QGuiApplication>

// After Qt: the X11 headers define macros (Status, None, Bool) that would break Qt's headers.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace nolv::x11 {
namespace {

Display* display() {
  auto* app = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return app ? app->display() : nullptr;
}

constexpr long kNetWmStateRemove = 0;
constexpr long kNetWmStateAdd = 1;
constexpr long kSourceApplication = 1;

bool set_state_property(Display* dpy, Window w, Atom state, Atom atom, bool on) {
  Atom type = 0;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::vector<Atom> atoms;
  if (XGetWindowProperty(dpy, w, state, 0, 1024, False, XA_ATOM, &type, &format, &count, &after,
                         &data) == Success &&
      data != nullptr) {
    if (type == XA_ATOM && format == 32) {
      auto* list = reinterpret_cast<Atom*>(data);
      for (unsigned long i = 0; i < count; ++i)
        if (list[i] != atom) atoms.push_back(list[i]);
    }
    XFree(data);
  }
  if (on) atoms.push_back(atom);
  XChangeProperty(dpy, w, state, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
  return true;
}

}  // namespace

bool available() {
  return display() != nullptr;
}

// ICCCM: the window manager puts WM_STATE on a window once it has taken it. Before that it
// reads _NET_WM_STATE when it takes the window and ignores requests about it.
static bool managed_by_window_manager(Display* dpy, Window w) {
  const Atom wm_state = XInternAtom(dpy, "WM_STATE", True);
  if (wm_state == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(dpy, w, wm_state, 0, 2, False, AnyPropertyType, &type,
                                        &format, &count, &after, &data) == Success &&
                     type != None;
  if (data != nullptr) XFree(data);
  return found;
}

bool set_net_wm_state(std::uint64_t xid, const char* atom_name, bool on) {
  Display* dpy = display();
  if (dpy == nullptr) return false;
  const Window w = static_cast<Window>(xid);
  const Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
  const Atom atom = XInternAtom(dpy, atom_name, False);
  if (!managed_by_window_manager(dpy, w)) {
    set_state_property(dpy, w, state, atom, on);
  } else {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = state;
    event.xclient.format = 32;
    event.xclient.data.l[0] = on ? kNetWmStateAdd : kNetWmStateRemove;
    event.xclient.data.l[1] = static_cast<long>(atom);
    event.xclient.data.l[2] = 0;
    event.xclient.data.l[3] = kSourceApplication;
    XSendEvent(dpy, DefaultRootWindow(dpy), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
  }
  XFlush(dpy);
  return true;
}

// Spelled Result<void>: Xlib defines Status as a macro.
Result<void> grab_pointer_confined(std::uint64_t xid) {
  Display* dpy = display();
  if (dpy == nullptr) return Error{"no X display"};
  const Window w = static_cast<Window>(xid);
  const int result =
      XGrabPointer(dpy, w, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask,
                   GrabModeAsync, GrabModeAsync, w, 0L, CurrentTime);
  XFlush(dpy);
  switch (result) {
    case GrabSuccess:
      return {};
    case AlreadyGrabbed:
      return Error{"the pointer is grabbed by another client"};
    case GrabNotViewable:
      return Error{"the window is not viewable"};
    case GrabFrozen:
      return Error{"the pointer is frozen by another grab"};
    case GrabInvalidTime:
      return Error{"invalid grab time"};
    default:
      return Error{"grab failed"};
  }
}

bool set_transient_for(std::uint64_t xid, std::uint64_t owner_xid) {
  Display* dpy = display();
  if (dpy == nullptr) return false;
  XSetTransientForHint(dpy, static_cast<Window>(xid), static_cast<Window>(owner_xid));
  XFlush(dpy);
  return true;
}

void ungrab_pointer() {
  Display* dpy = display();
  if (dpy == nullptr) return;
  XUngrabPointer(dpy, CurrentTime);
  XFlush(dpy);
}

std::uint64_t max_request_bytes() {
  Display* dpy = display();
  if (dpy == nullptr) return 0;
  long units = XExtendedMaxRequestSize(dpy);  // 0 without BIG-REQUESTS
  if (units <= 0) units = XMaxRequestSize(dpy);
  return units > 0 ? std::uint64_t(units) * 4 : 0;
}

std::optional<KeyboardModifiers> keyboard_modifiers() {
  Display* dpy = display();
  if (dpy == nullptr) return std::nullopt;
  XkbStateRec state{};
  if (XkbGetState(dpy, XkbUseCoreKbd, &state) != Success) return std::nullopt;
  return KeyboardModifiers{(state.mods & ShiftMask) != 0, (state.mods & ControlMask) != 0,
                           (state.mods & Mod1Mask) != 0, (state.mods & Mod4Mask) != 0};
}

}  // namespace nolv::x11
