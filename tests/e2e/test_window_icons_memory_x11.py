"""The real nolv under Xvfb and openbox, one window shown tens of thousands of distinct
"window-icon"s: each icon replaces the one before, and the client's memory stays flat however
many it sees (measured as its private dirty memory, which holds its heap)."""

import os
import struct
import time
import unittest

from Xlib import display as xdisplay

import picture_demo
import pictures
from xsession import X11Case

SIDE = 32
FIRST_ICONS = 3000
MORE_ICONS = 30000
# An icon that is kept costs its 4 KiB of pixels until a cache fills (12 MB over the first
# batch), then a few hundred bytes for ever (7 MB over the second); a client that keeps only its
# current icon grows by well under a megabyte, all of it once.
FIRST_GROWTH_BOUND = 4 * 1024 * 1024
MORE_GROWTH_BOUND = 2 * 1024 * 1024
# In the address-checked build the checker's allocator and its quarantine of freed memory
# (16 MB) decide how the heap grows, so there the bounds say nothing about the client.
MEMORY_MEASURED = not os.environ.get("NOLV_SANITIZED")


def icon_pixels(n):
    """32x32 pixels no other n gives: n's bytes in the first pixel over a plain field."""
    return struct.pack(">I", n)[1:] + b"\xff" + b"\x40\x80\xc0\xff" * (SIDE * SIDE - 1)


def private_dirty(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no Private_Dirty in smaps_rollup")


class WindowIconMemory(X11Case):
    def send_icons(self, first, count, marker):
        """Icons first.. for window 1; returns once the client has set them all."""
        for n in range(first, first + count):
            self.session.send(["window-icon", 1, SIDE, SIDE, "png", ""],
                              chunks={5: pictures.rgba_png(SIDE, SIDE, icon_pixels(n))})
        # Packets are handled in order: once an icon for a window the client does not know is
        # refused, every icon before it has been set.
        self.session.send(["window-icon", marker, SIDE, SIDE, "png", ""],
                          chunks={5: pictures.rgba_png(SIDE, SIDE, icon_pixels(0))})
        text = f"cannot set icon: window {marker:#x} not found"
        deadline = time.monotonic() + 120
        while text not in self.log() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIn(text, self.log())

    def net_wm_icon(self, window):
        d = xdisplay.Display(self.x.env["DISPLAY"])
        try:
            atom = d.intern_atom("_NET_WM_ICON")
            prop = d.create_resource_object("window", int(window, 0)).get_full_property(atom, 0)
            return list(prop.value)
        finally:
            d.close()

    def test_memory_stays_flat_over_tens_of_thousands_of_icons(self):
        session = self.start()
        picture_demo.start_session(session)
        session.send(picture_demo.open_window(1, 200, 100, "icons"))
        session.wait_for("window-map", 30)
        window = self.x.find_window("icons")
        self.send_icons(0, 1, 0x1000)  # whatever the first icon sets up once
        start = private_dirty(self.client.pid)
        self.send_icons(1, FIRST_ICONS, 0x1001)
        first = private_dirty(self.client.pid)
        self.send_icons(1 + FIRST_ICONS, MORE_ICONS, 0x1002)
        more = private_dirty(self.client.pid)
        growth = (first - start, more - first)
        if MEMORY_MEASURED:
            self.assertLess(growth[0], FIRST_GROWTH_BOUND, growth)
            self.assertLess(growth[1], MORE_GROWTH_BOUND, growth)
        last = self.net_wm_icon(window)
        self.assertEqual(last[:2], [SIDE, SIDE])
        # one icon only, the last one sent, as ARGB
        self.assertEqual(len(last), 2 + SIDE * SIDE, "more than the last icon is shown")
        n = FIRST_ICONS + MORE_ICONS
        self.assertEqual(last[2], 0xFF000000 | ((n >> 16 & 0xFF) << 16) | ((n >> 8 & 0xFF) << 8)
                         | (n & 0xFF))
        self.assertEqual(last[3], 0xFF4080C0)


if __name__ == "__main__":
    unittest.main()
