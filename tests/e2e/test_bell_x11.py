"""The real nolv rings the X bell when no sound server plays the tone: each ring has the pitch
and duration the server asked for (as the X keyboard extension reports every ring to the
programs that listen), and the desktop's own bell settings are as they were afterwards."""

import ctypes
import ctypes.util
import os
import select
import time
import unittest

from xsession import DEFAULT_TIMEOUT, X11Case

XKB_USE_CORE_KBD = 0x100
XKB_BELL_NOTIFY = 8
XKB_BELL_NOTIFY_MASK = 1 << 8
KB_BELL_PITCH = 1 << 2
KB_BELL_DURATION = 1 << 3

# The desktop's own bell, set before the client starts: neither X's default nor any asked for.
DESKTOP_PITCH, DESKTOP_DURATION = 300, 150
# (pitch, duration) sent, and what rings: pitch 36 is out of the bell's range and rings 800 Hz.
BELLS = [((440, 200), (440, 200)), ((36, 80), (800, 80)), ((1000, 50), (1000, 50))]


class XkbBellNotifyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("time", ctypes.c_ulong),
                ("xkb_type", ctypes.c_int), ("device", ctypes.c_int), ("percent", ctypes.c_int),
                ("pitch", ctypes.c_int), ("duration", ctypes.c_int),
                ("bell_class", ctypes.c_int), ("bell_id", ctypes.c_int),
                ("name", ctypes.c_ulong), ("window", ctypes.c_ulong),
                ("event_only", ctypes.c_int)]


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("bell", XkbBellNotifyEvent),
                ("pad", ctypes.c_long * 24)]


class XKeyboardControl(ctypes.Structure):
    _fields_ = [("key_click_percent", ctypes.c_int), ("bell_percent", ctypes.c_int),
                ("bell_pitch", ctypes.c_int), ("bell_duration", ctypes.c_int),
                ("led", ctypes.c_int), ("led_mode", ctypes.c_int), ("key", ctypes.c_int),
                ("auto_repeat_mode", ctypes.c_int)]


class XKeyboardState(ctypes.Structure):
    _fields_ = [("key_click_percent", ctypes.c_int), ("bell_percent", ctypes.c_int),
                ("bell_pitch", ctypes.c_uint), ("bell_duration", ctypes.c_uint),
                ("led_mask", ctypes.c_ulong), ("global_auto_repeat", ctypes.c_int),
                ("auto_repeats", ctypes.c_char * 32)]


class BellWatch:
    """An X connection of the test's own that hears every ring of the keyboard bell."""

    def __init__(self, display):
        self.x = ctypes.CDLL(ctypes.util.find_library("X11"))
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        for name in ("XPending", "XConnectionNumber", "XCloseDisplay", "XFlush"):
            getattr(self.x, name).argtypes = [ctypes.c_void_p]
        self.x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(XEvent)]
        self.x.XkbQueryExtension.argtypes = [ctypes.c_void_p] + [ctypes.POINTER(ctypes.c_int)] * 5
        self.x.XkbSelectEvents.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_ulong,
                                           ctypes.c_ulong]
        self.x.XChangeKeyboardControl.argtypes = [ctypes.c_void_p, ctypes.c_ulong,
                                                  ctypes.POINTER(XKeyboardControl)]
        self.x.XGetKeyboardControl.argtypes = [ctypes.c_void_p, ctypes.POINTER(XKeyboardState)]
        self.d = self.x.XOpenDisplay(display.encode())
        if not self.d:
            raise RuntimeError(f"cannot open {display}")
        opcode, event, error = ctypes.c_int(), ctypes.c_int(), ctypes.c_int()
        major, minor = ctypes.c_int(1), ctypes.c_int(0)
        if not self.x.XkbQueryExtension(self.d, ctypes.byref(opcode), ctypes.byref(event),
                                        ctypes.byref(error), ctypes.byref(major),
                                        ctypes.byref(minor)):
            raise RuntimeError("no keyboard extension")
        self.event_base = event.value
        self.x.XkbSelectEvents(self.d, XKB_USE_CORE_KBD, XKB_BELL_NOTIFY_MASK,
                               XKB_BELL_NOTIFY_MASK)
        self.x.XFlush(self.d)

    def set_bell(self, pitch, duration):
        control = XKeyboardControl(bell_pitch=pitch, bell_duration=duration)
        self.x.XChangeKeyboardControl(self.d, KB_BELL_PITCH | KB_BELL_DURATION,
                                      ctypes.byref(control))
        self.x.XFlush(self.d)

    def bell_settings(self):
        state = XKeyboardState()
        self.x.XGetKeyboardControl(self.d, ctypes.byref(state))
        return state.bell_pitch, state.bell_duration

    def rings(self, count, timeout):
        """The (pitch, duration) of the next `count` rings, fewer when they do not come."""
        out = []
        deadline = time.monotonic() + timeout
        fd = self.x.XConnectionNumber(self.d)
        while len(out) < count:
            while self.x.XPending(self.d) and len(out) < count:
                event = XEvent()
                self.x.XNextEvent(self.d, ctypes.byref(event))
                if event.type == self.event_base and event.bell.xkb_type == XKB_BELL_NOTIFY:
                    out.append((event.bell.pitch, event.bell.duration))
            left = deadline - time.monotonic()
            if len(out) >= count or left <= 0:
                break
            select.select([fd], [], [], min(left, 0.2))
        return out

    def close(self):
        self.x.XCloseDisplay(self.d)


class XBellWithoutSoundServer(X11Case):
    def test_rings_as_asked_and_leaves_the_desktop_bell_alone(self):
        # Closed before the display goes: Xlib ends the process on a lost connection.
        watch = BellWatch(self.x.env["DISPLAY"])
        try:
            self.ring_bells(watch)
        finally:
            watch.close()

    def ring_bells(self, watch):
        watch.set_bell(DESKTOP_PITCH, DESKTOP_DURATION)
        self.assertEqual(watch.bell_settings(), (DESKTOP_PITCH, DESKTOP_DURATION))
        # No sound server: the tone cannot play, so the X bell rings instead.
        session = self.start(env={"PULSE_SERVER": "unix:" + os.path.join(self.tmp, "no-pulse")})
        session.wait_for("hello", DEFAULT_TIMEOUT)
        session.send(["hello", {"version": "bell-test"}])
        session.send(["startup-complete"])
        for sent, rung in BELLS:
            with self.subTest(sent=sent):
                session.send(["bell", 0, 0, 0, *sent])
                self.assertEqual(watch.rings(1, 10), [rung], self.log())
                self.assertEqual(watch.bell_settings(), (DESKTOP_PITCH, DESKTOP_DURATION))
        # Nothing rings twice, and nothing rings later at another pitch.
        self.assertEqual(watch.rings(1, 1), [], self.log())

if __name__ == "__main__":
    unittest.main()
