"""The real nolv under Xvfb and openbox: a server cursor shows as the X cursor over its windows,
rescaled to the desktop scale with its hotspot, also over a window made later; "cursor-default"
brings the default back; "window-icon" becomes the window's _NET_WM_ICON."""

import time
import unittest

from Xlib import display as xdisplay
from Xlib.ext import xfixes  # noqa: F401  (registers the extension's requests)

import picture_demo
import pictures
from xsession import X11Case

RED = 0xFFFF0000
BLUE = 0xFF0000FF


def half_red_half_blue(width, height):
    return b"".join(b"\xff\0\0\xff" if c < width // 2 else b"\0\0\xff\xff"
                    for _ in range(height) for c in range(width))


class Cursors(X11Case):
    def cursor_image(self):
        """(width, height, xhot, yhot, ARGB pixels) of the cursor X shows now."""
        d = xdisplay.Display(self.x.env["DISPLAY"])
        try:
            d.xfixes_query_version()  # the server answers cursor requests only after this
            image = d.xfixes_get_cursor_image(d.screen().root)
            return (image.width, image.height, image.xhot, image.yhot,
                    list(image.cursor_image))
        finally:
            d.close()

    def pointer_over(self, window, x, y):
        self.x.run("xdotool", "mousemove", "--window", window, str(x), str(y))

    def wait_cursor(self, want_size, timeout=10):
        deadline = time.monotonic() + timeout
        image = self.cursor_image()
        while image[:2] != want_size and time.monotonic() < deadline:
            time.sleep(0.1)
            image = self.cursor_image()
        return image

    def open_window(self, wid, title):
        self.session.send(picture_demo.open_window(wid, 200, 100, title))
        self.session.wait_for("window-map", 30)
        return self.x.find_window(title)

    def test_server_cursor_is_scaled_with_its_hotspot_and_reset(self):
        session = self.start(env={"NOLV_DESKTOP_SCALING": "1.5"})
        picture_demo.start_session(session)
        first = self.open_window(1, "cursor-first")
        session.send(["cursor-data", "png", 8, 4, 7, 3, 1, ""],
                     chunks={7: pictures.rgba_png(8, 4, half_red_half_blue(8, 4))})
        for window in (first, self.open_window(2, "cursor-later")):
            self.pointer_over(window, 40, 40)
            width, height, xhot, yhot, pixels = self.wait_cursor((12, 6))
            self.assertEqual((width, height, xhot, yhot), (12, 6, 10, 4), self.log())
            rows = [pixels[r * 12:(r + 1) * 12] for r in range(6)]
            for row in rows:
                self.assertEqual(row, [RED] * 6 + [BLUE] * 6)

        session.send(["cursor-default"])
        self.pointer_over(first, 41, 41)
        deadline = time.monotonic() + 10
        image = self.cursor_image()
        while image[:2] == (12, 6) and time.monotonic() < deadline:
            time.sleep(0.1)
            self.pointer_over(first, 42, 42)
            image = self.cursor_image()
        self.assertNotEqual(image[:2], (12, 6), "the server cursor stayed")

    def test_window_icon_becomes_the_net_wm_icon(self):
        session = self.start()
        picture_demo.start_session(session)
        window = self.open_window(1, "icon-window")
        icon = b"\x10\x20\x30\xff" * 4
        session.send(["window-icon", 1, 2, 2, "png", ""],
                     chunks={5: pictures.rgba_png(2, 2, icon)})
        deadline = time.monotonic() + 10
        got = ""
        while "Icon (2 x 2)" not in got and time.monotonic() < deadline:
            time.sleep(0.1)
            got = self.x.property(window, "_NET_WM_ICON")
        self.assertIn("Icon (2 x 2)", got)
        d = xdisplay.Display(self.x.env["DISPLAY"])
        try:
            atom = d.intern_atom("_NET_WM_ICON")
            prop = d.create_resource_object("window", int(window, 0)).get_full_property(atom, 0)
            values = list(prop.value)
        finally:
            d.close()
        self.assertEqual(values[:2], [2, 2])
        self.assertEqual(values[2:6], [0xFF102030] * 4)
        # an icon for a window that does not exist is refused and changes nothing
        session.send(["window-icon", 99, 2, 2, "png", ""],
                     chunks={5: pictures.rgba_png(2, 2, icon)})
        deadline = time.monotonic() + 10
        while "window 0x63 not found" not in self.log() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertIn("cannot set icon: window 0x63 not found", self.log())


if __name__ == "__main__":
    unittest.main()
