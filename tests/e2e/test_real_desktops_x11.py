"""The real nolv under Xvfb and openbox in the conditions of real desktops: toolkit and desktop
scaling, two windows sharing the keyboard, fixed-size windows, a pointer grab the X server drops
on its own, and cursors and icons too large for one X request."""

import base64
import os
import re
import struct
import subprocess
import time
import unittest

from Xlib import X
from Xlib import display as xdisplay
from Xlib.ext import xfixes  # noqa: F401  (registers the extension's requests)

import picture_demo
import pictures
from nolv_peer import Peer
from xsession import NOLV, X11Case, stop_process

BACKGROUND = 0x202020  # both dialogs clear to this; an unpainted window stays black
COLOUR = 0x3070B0


class DesktopCase(X11Case):
    def wait_until(self, predicate, what, timeout=10):
        deadline = time.monotonic() + timeout
        value = predicate()
        while not value and time.monotonic() < deadline:
            time.sleep(0.1)
            value = predicate()
        self.assertTrue(value, f"{what()}\n{self.log()}")
        return value

    def wait_geometry(self, window, want, timeout=10):
        self.wait_until(lambda: self.x.geometry(window) == want,
                        lambda: f"{window} is {self.x.geometry(window)}, not {want}", timeout)

    def wait_colour(self, window, offsets, colour, timeout=15):
        """Waits until every (dx, dy) of the window's client area shows `colour`."""
        shot = os.path.join(self.tmp, "shot.png")
        got = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ox, oy, _, _ = self.x.geometry(window)
            try:
                got = self.x.pixels([(ox + dx, oy + dy) for dx, dy in offsets], shot)
            except ValueError as off_screen:  # a window coming back may not be in place yet
                got = [str(off_screen)]
            if all(g == colour for g in got):
                return
            time.sleep(0.3)
        self.fail(f"pixels {[g if isinstance(g, str) else f'{g:06x}' for g in got]} at {offsets}, "
                  f"want {colour:06x}\n"
                  + self.log())

    def new_window(self, wid, x, y, w, h, metadata):
        self.session.send(["new-window", wid, x, y, w, h, metadata])
        self.session.wait_for("window-map", 30)
        return self.x.find_window(metadata["title"])

    def restart_peer(self):
        stop_process(self.client)
        self.client = None
        self.peer.close()
        self.peer = Peer.tcp()


class ScaledDesktops(DesktopCase):
    """Qt's own device pixel ratio and the client's desktop scale together: every window and
    both dialogs show their pixels, and the size on screen is scaled once, by the client."""

    CASES = [  # (environment, the client's scale for server windows)
        ({"QT_SCALE_FACTOR": "2"}, 1.0),
        ({"QT_SCREEN_SCALE_FACTORS": "2"}, 1.0),
        ({"NOLV_DESKTOP_SCALING": "1.5"}, 1.5),
    ]

    def run_session(self, env, scale):
        # No password anywhere: the built-in password dialog asks first.
        self.x.env.pop("NOLV_PASSWORD", None)
        session = self.start(env=dict(env, PATH="/nonexistent"))
        session.wait_for("hello", 30)
        session.send(["challenge", base64.b64encode(os.urandom(32)).decode(), "",
                      "hmac+sha256", "hmac+sha256", "Password for test"])
        dialog = self.x.find_window("Nolv Authentication")
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + (460, 150))
        self.wait_colour(dialog, [(3, 3), (450, 40), (200, 140)], BACKGROUND)
        self.x.run("xdotool", "windowactivate", "--sync", dialog)
        self.x.run("xdotool", "key", "Return")
        session.wait_for("hello", 15)
        session.send(["hello", {"version": "scaled"}])

        window = self.new_window(1, 40, 50, 100, 60, {"title": "scaled"})
        session.send(pictures.draw_items(1, 0, 0, 100, 60, "png", 1),
                     chunks={7: pictures.solid_png(100, 60, COLOUR)})
        ack = session.wait_for("window-ack", 15)
        self.assertEqual(ack[6], "", ack)
        want = (round(40 * scale), round(50 * scale), round(100 * scale), round(60 * scale))
        self.wait_geometry(window, want)
        last_x, last_y = want[2] - 1, want[3] - 1
        self.wait_colour(window, [(0, 0), (last_x, 0), (0, last_y), (last_x, last_y),
                                  (want[2] // 2, want[3] // 2)], COLOUR)
        if scale != 1.0:
            self.assertIn(f"scaling windows by {scale:g}", self.log())
        else:
            self.assertNotIn("scaling windows by", self.log())

    def run_connect_dialog(self, env):
        with open(self.log_path, "w") as log:
            self.client = subprocess.Popen([NOLV, "-v"], env=dict(self.x.env, **env),
                                           stdout=log, stderr=subprocess.STDOUT)
        dialog = self.x.find_window("Connect to an Nolv server")
        # 420 x 270 at the monitor's own scale, which is 1 on Xvfb
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + (420, 270))
        self.wait_colour(dialog, [(3, 3), (410, 100), (200, 265)], BACKGROUND)
        self.x.run("xdotool", "windowactivate", "--sync", dialog)
        self.x.run("xdotool", "key", "Escape")
        self.assertEqual(self.client.wait(timeout=10), 0, self.log())
        self.client = None

    def test_window_and_password_dialog_show_their_pixels(self):
        for env, scale in self.CASES:
            with self.subTest(env=env):
                self.run_session(env, scale)
            self.restart_peer()

    def test_connection_dialog_shows_its_pixels(self):
        for env, _ in self.CASES:
            with self.subTest(env=env):
                self.run_connect_dialog(env)


class XSettings:
    """An XSETTINGS manager on screen 0 (as desktop settings daemons run) that serves Xft/DPI;
    it lives as long as its X connection."""

    def __init__(self, env, dpi):
        self.d = xdisplay.Display(env["DISPLAY"])
        root = self.d.screen().root
        self.owner = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
        self.settings_atom = self.d.intern_atom("_XSETTINGS_SETTINGS")
        self.serial = 0
        self.set_dpi(dpi)
        selection = self.d.intern_atom("_XSETTINGS_S0")
        self.owner.set_selection_owner(selection, X.CurrentTime)
        self.d.sync()

    def set_dpi(self, dpi):
        """Xft/DPI in 1024ths of a dot per inch, the one setting served."""
        name = b"Xft/DPI"
        setting = (struct.pack("<BxH", 0, len(name)) + name + b"\0" * (-len(name) % 4)
                   + struct.pack("<Ii", self.serial, dpi * 1024))
        data = struct.pack("<BxxxII", 0, self.serial, 1) + setting
        self.serial += 1
        self.owner.change_property(self.settings_atom, self.settings_atom, 8, data)
        self.d.sync()

    def close(self):
        self.d.close()


class ScaleChange(DesktopCase):
    """The desktop's scaling changed while the client runs (Xft/DPI of the XSETTINGS manager):
    the connection dialog lays itself out again at the new scale."""

    def test_connection_dialog_follows_a_new_dpi(self):
        settings = XSettings(self.x.env, 96)
        try:
            self.run_dialog(settings)
        finally:
            settings.close()

    def run_dialog(self, settings):
        with open(self.log_path, "w") as log:
            self.client = subprocess.Popen([NOLV, "-v"], env=self.x.env, stdout=log,
                                           stderr=subprocess.STDOUT)
        dialog = self.x.find_window("Connect to an Nolv server")
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + (420, 270))
        settings.set_dpi(144)
        self.wait_until(lambda: "connection dialog scale factor: 1.5\n" in self.log(),
                        lambda: "the dialog never heard of scale 1.5")
        self.x.run("xdotool", "windowmove", "--sync", dialog, "0", "0")
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + (630, 405))
        self.wait_colour(dialog, [(3, 3), (620, 200), (300, 400)], BACKGROUND)
        settings.set_dpi(96)
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + (420, 270))
        self.x.run("xdotool", "windowactivate", "--sync", dialog)
        self.x.run("xdotool", "key", "Escape")
        self.assertEqual(self.client.wait(timeout=10), 0, self.log())
        self.client = None


class AnsweredDraws(DesktopCase):
    """A draw is answered once its picture has been presented: a window the display does not
    show still answers, and its picture is there when it comes back."""

    def test_draws_into_an_iconified_window_are_answered_and_shown_on_restore(self):
        session = self.start()
        picture_demo.start_session(session)
        window = self.new_window(1, 40, 40, 120, 80, {"title": "iconified"})
        self.x.run("xdotool", "windowminimize", "--sync", window)
        self.wait_until(lambda: "IsUnMapped" in self.x.query("xwininfo", "-id", window),
                        lambda: "window not iconified")
        for sequence in (1, 2, 3):
            session.send(pictures.draw_items(1, 0, 0, 120, 80, "png", sequence),
                         chunks={7: pictures.solid_png(120, 80, COLOUR)})
        for sequence in (1, 2, 3):
            ack = session.wait_for("window-ack", 15)
            self.assertEqual((ack[4], ack[6]), (sequence, ""), ack)
            self.assertGreaterEqual(ack[5], 0, ack)
        self.x.run("xdotool", "windowactivate", "--sync", window)
        self.wait_colour(window, [(0, 0), (119, 79), (60, 40)], COLOUR)


class SharedKeyboard(DesktopCase):
    def test_modifier_released_in_another_window_is_not_stale(self):
        session = self.start()
        picture_demo.start_session(session)
        first = self.new_window(1, 40, 40, 200, 150, {"title": "first"})
        second = self.new_window(2, 320, 40, 200, 150, {"title": "second"})
        self.x.run("xdotool", "windowactivate", "--sync", first)
        self.x.run("xdotool", "keydown", "ctrl")
        self.x.run("xdotool", "mousemove", "--window", second, "10", "10", "click", "1")
        self.x.run("xdotool", "keyup", "ctrl")
        self.x.run("xdotool", "windowactivate", "--sync", first)
        self.x.run("xdotool", "key", "ctrl+a")
        self.x.run("xdotool", "key", "b")
        keys = {}
        deadline = time.monotonic() + 10
        while not {"a", "b"} <= keys.keys():
            left = deadline - time.monotonic()
            self.assertGreater(left, 0, f"keys so far: {keys}")
            packet = session.wait_for("keyboard-event", left)
            if packet[3]:
                keys[packet[2]] = packet
        self.assertEqual(keys["a"][1], 1, keys["a"])
        self.assertEqual(keys["a"][4]["modifiers"], ["control"], keys["a"])
        self.assertEqual(keys["b"][4]["modifiers"], [], keys["b"])


class FixedSize(DesktopCase):
    def size_hints(self, window):
        hints = self.x.property(window, "WM_NORMAL_HINTS")
        minimum = re.search(r"minimum size: (\d+) by (\d+)", hints)
        maximum = re.search(r"maximum size: (\d+) by (\d+)", hints)
        return (tuple(map(int, minimum.groups())) if minimum else None,
                tuple(map(int, maximum.groups())) if maximum else None)

    def test_equal_minimum_and_maximum_give_that_size(self):
        session = self.start(env={"NOLV_DESKTOP_SCALING": "1.5"})
        picture_demo.start_session(session)
        window = self.new_window(1, 20, 20, 100, 80, {"title": "fixed"})
        self.wait_geometry(window, (30, 30, 150, 120))
        session.send(["window-metadata", 1, {"size-constraints": {
            "minimum-size": [120, 60], "maximum-size": [120, 60]}}])
        self.wait_geometry(window, (30, 30, 180, 90))
        self.assertEqual(self.size_hints(window), ((180, 90), (180, 90)))
        # a server move keeps the fixed size
        session.send(["window-move-resize", 1, 40, 40, 300, 200])
        self.wait_geometry(window, (60, 60, 180, 90))
        self.assertEqual(self.size_hints(window), ((180, 90), (180, 90)))
        # lifting the limits makes it resizable again
        session.send(["window-metadata", 1, {"size-constraints": {}}])
        session.send(["window-resized", 1, 200, 100])
        self.wait_geometry(window, (60, 60, 300, 150))


class PointerGrab(DesktopCase):
    def pointer(self):
        out = self.x.query("xdotool", "getmouselocation", "--shell")
        fields = dict(line.split("=", 1) for line in out.split())
        return int(fields["X"]), int(fields["Y"])

    def assert_confined(self, window):
        """Warps the pointer far outside; a confined pointer stays within the window."""
        x, y, w, h = self.x.geometry(window)

        def warped_inside():
            self.x.run("xdotool", "mousemove", "700", "550")
            px, py = self.pointer()
            return x <= px < x + w and y <= py < y + h

        self.wait_until(warped_inside, lambda: f"pointer at {self.pointer()}, outside "
                        f"{(x, y, w, h)}")

    def test_grab_is_taken_again_after_iconify_and_replacement(self):
        session = self.start()
        picture_demo.start_session(session)
        window = self.new_window(1, 100, 100, 200, 150, {"title": "grabbing"})
        session.send(["pointer-grab", 1])
        self.assert_confined(window)

        # iconified: X drops the grab; the next grab request must take it again
        self.x.run("xdotool", "windowminimize", "--sync", window)
        self.x.run("xdotool", "mousemove", "700", "550")
        self.x.run("xdotool", "windowactivate", "--sync", window)
        self.wait_until(lambda: "IsViewable" in self.x.query("xwininfo", "-id", window),
                        lambda: "window not restored")
        # the request may come while the window manager still maps it: the server asks again
        x, y, w, h = self.x.geometry(window)

        def grabbed_again():
            session.send(["pointer-grab", 1])
            time.sleep(0.2)
            self.x.run("xdotool", "mousemove", "700", "550")
            px, py = self.pointer()
            return x <= px < x + w and y <= py < y + h

        self.wait_until(grabbed_again, lambda: f"pointer at {self.pointer()}, not confined")

        # replaced by a new window of the same id: the old window's grab went with it
        session.send(["new-window", 1, 300, 200, 200, 150, {"title": "replacement"}])
        session.wait_for("window-map", 15)
        replacement = self.x.find_window("replacement")
        self.x.run("xdotool", "mousemove", "20", "20")
        session.send(["pointer-grab", 1])
        self.assert_confined(replacement)


class OversizedImages(DesktopCase):
    # Xvfb's largest request (BIG-REQUESTS): 4194303 four-byte units
    MAX_REQUEST_BYTES = 4194303 * 4

    def cursor_size(self):
        d = xdisplay.Display(self.x.env["DISPLAY"])
        try:
            d.xfixes_query_version()
            image = d.xfixes_get_cursor_image(d.screen().root)
            return image.width, image.height
        finally:
            d.close()

    def check_session_goes_on(self, session, wid):
        """The client still runs and answers: a new window is mapped."""
        self.assertIsNone(self.client.poll(), self.log())
        session.send(picture_demo.open_window(wid, 50, 50, f"after-{wid}"))
        self.assertEqual(session.wait_for("window-map", 15)[1], wid)
        self.assertFalse(any(p[0] == "connection-close" for p in session.received), self.log())

    def run_cursor(self, scale, side):
        session = self.start(env={"NOLV_DESKTOP_SCALING": str(scale)})
        picture_demo.start_session(session)
        window = self.new_window(1, 20, 20, 200, 150, {"title": "cursor"})
        session.send(["cursor-data", "png", side, side, 3, 3, 1, ""],
                     chunks={7: pictures.rgba_png(side, side, b"\xff\x00\x00\xff" * side * side)})
        self.x.run("xdotool", "mousemove", "--window", window, "50", "50")
        # the cursor shows, made small enough for one X request
        self.wait_until(lambda: self.cursor_size()[0] > 1000,
                        lambda: f"the server cursor never showed: {self.cursor_size()}")
        width, height = self.cursor_size()
        self.assertLess(width * height * 4, self.MAX_REQUEST_BYTES, (width, height))
        self.check_session_goes_on(session, 2)

    def test_largest_cursor_is_shown_and_the_session_goes_on(self):
        self.run_cursor(1, 2048)

    def test_cursor_grown_by_the_scale_is_shown_and_the_session_goes_on(self):
        self.run_cursor(2, 1024)

    def test_icon_too_large_for_one_request_is_refused(self):
        session = self.start()
        picture_demo.start_session(session)
        self.new_window(1, 20, 20, 200, 150, {"title": "icon"})
        session.send(["window-icon", 1, 2050, 2046, "png", ""],
                     chunks={5: pictures.rgba_png(2050, 2046, b"\x10\x20\x30\xff" * 2050 * 2046)})
        self.wait_until(lambda: "invalid window icon for 0x1" in self.log(),
                        lambda: "icon not refused")
        self.check_session_goes_on(session, 2)


if __name__ == "__main__":
    unittest.main()
