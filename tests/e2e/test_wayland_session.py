"""The real nolv in a Wayland session as desktops run it: a headless weston compositor with
XWayland, the toolkit's Wayland plugin installed, and WAYLAND_DISPLAY, DISPLAY and
XDG_SESSION_TYPE=wayland set. Unless the user chose a platform the client runs on X11 through
XWayland; on any platform a picture is painted opaque; with no X server at all it says what a
Wayland user is missing."""

import os
import re
import subprocess
import tempfile
import time
import unittest

import pictures
from nolv_peer import Peer
from xsession import DEFAULT_TIMEOUT, NOLV, stop_process, wait_until

COLOUR = 0x3070B0
# An odd width: the compositor's buffers pad such rows.
WIDTH, HEIGHT = 325, 60


class Weston:
    """weston on the headless back end with the CPU renderer (so that a screenshot has the
    pixels), XWayland started on demand, and the screenshot interface open."""

    def __init__(self):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name
        self.runtime = os.path.join(self.dir, "rt")
        os.mkdir(self.runtime, 0o700)
        self.log_path = os.path.join(self.dir, "weston.log")
        self.process = subprocess.Popen(
            ["weston", "--backend=headless-backend.so", "--use-pixman", "--debug", "--xwayland",
             "--socket=wl-test", "--width=1024", "--height=768", "--idle-time=0",
             f"--log={self.log_path}"],
            env={"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": self.runtime,
                 "HOME": self.dir},
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        display = wait_until(self._x_display, DEFAULT_TIMEOUT, 0.1)
        if not display or self.process.poll() is not None:
            said = self.log()
            self.close()
            raise RuntimeError("weston did not start XWayland: " + said)
        self.x_display = display

    def _x_display(self):
        found = re.search(r"xserver listening on display (:\d+)", self.log())
        return found.group(1) if found else None

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def session_env(self, **extra):
        """What a program started in the desktop session gets: no QT_QPA_PLATFORM."""
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": self.runtime,
               "HOME": self.dir, "WAYLAND_DISPLAY": "wl-test", "DISPLAY": self.x_display,
               "XDG_SESSION_TYPE": "wayland", "NOLV_DESKTOP_SCALING": "1",
               "NOLV_KEYBOARD_LAYOUT": "us", "NO_COLOR": "1"}
        env.update(extra)
        return {k: v for k, v in env.items() if v is not None}

    def count_pixels(self, colour):
        """How many pixels of the compositor's output have exactly `colour`."""
        shots = os.path.join(self.dir, "shots")
        os.makedirs(shots, exist_ok=True)
        for old in os.listdir(shots):
            os.unlink(os.path.join(shots, old))
        subprocess.run(["weston-screenshooter"], env=self.session_env(), cwd=shots,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=DEFAULT_TIMEOUT, check=True)
        names = os.listdir(shots)
        if len(names) != 1:
            raise RuntimeError(f"the screenshooter wrote {names}")
        raw = subprocess.run(["/usr/bin/convert", os.path.join(shots, names[0]), "-depth", "8",
                              "rgb:-"], stdout=subprocess.PIPE, timeout=DEFAULT_TIMEOUT,
                             check=True).stdout
        want = bytes([(colour >> 16) & 0xFF, (colour >> 8) & 0xFF, colour & 0xFF])
        return sum(1 for i in range(0, len(raw), 3) if raw[i:i + 3] == want)

    def close(self):
        stop_process(self.process)
        self._tmp.cleanup()


class WaylandSession(unittest.TestCase):
    def setUp(self):
        self.weston = Weston()
        self.addCleanup(self.weston.close)
        self.log_path = os.path.join(self.weston.dir, "nolv.log")

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def run_client(self, env):
        peer = Peer.tcp()
        self.addCleanup(peer.close)
        with open(self.log_path, "w") as log:
            client = subprocess.Popen([NOLV, "-v", peer.target], env=env, stdout=log,
                                      stderr=subprocess.STDOUT)
        self.addCleanup(stop_process, client)
        session = peer.accept(timeout=DEFAULT_TIMEOUT)
        self.addCleanup(session.close)
        session.wait_for("hello", DEFAULT_TIMEOUT)
        session.send(["hello", {"version": "wayland-test"}])
        session.send(["startup-complete"])
        return session

    def show_picture(self, session):
        session.send(["new-window", 1, 40, 50, WIDTH, HEIGHT, {"title": "in a wayland session"}])
        session.wait_for("window-map", DEFAULT_TIMEOUT)
        session.send(pictures.draw_items(1, 0, 0, WIDTH, HEIGHT, "png", 1),
                     chunks={7: pictures.solid_png(WIDTH, HEIGHT, COLOUR)})
        ack = session.wait_for("window-ack", DEFAULT_TIMEOUT)
        self.assertEqual(ack[6], "", f"{ack}\n{self.log()}")
        # The whole picture in its own colour: a see-through one would be blended with the
        # desktop behind it.
        shown = wait_until(lambda: self.weston.count_pixels(COLOUR) >= WIDTH * HEIGHT, 15, 0.5)
        self.assertTrue(shown, f"{self.weston.count_pixels(COLOUR)} pixels of the picture's "
                               f"colour on screen, want {WIDTH * HEIGHT}\n{self.log()}")

    def test_runs_on_xwayland_unless_the_user_chose_a_platform(self):
        session = self.run_client(self.weston.session_env())
        self.show_picture(session)
        self.assertIn(f"running on X11, display {self.weston.x_display} (XWayland in a Wayland "
                      "session)", self.log())
        # The window is an X11 window: the X server of the session has it.
        found = subprocess.run(["xdotool", "search", "--name", "^in a wayland session$"],
                               env=self.weston.session_env(), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, timeout=DEFAULT_TIMEOUT)
        self.assertTrue(found.stdout.split(), self.log())

    def test_pictures_are_opaque_on_the_wayland_platform_the_user_chose(self):
        session = self.run_client(self.weston.session_env(QT_QPA_PLATFORM="wayland"))
        self.show_picture(session)
        self.assertNotIn("running on X11", self.log())

    def test_without_an_x_server_the_wayland_user_is_told_what_is_missing(self):
        for display in (None, ":65000"):
            with self.subTest(display=display):
                done = subprocess.run([NOLV], env=self.weston.session_env(DISPLAY=display),
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      text=True, timeout=DEFAULT_TIMEOUT)
                self.assertEqual(done.returncode, 14, done.stdout)
                self.assertIn("failed to create the event loop", done.stdout)
                self.assertIn("Wayland session", done.stdout)
                self.assertIn("XWayland", done.stdout)


if __name__ == "__main__":
    unittest.main()
