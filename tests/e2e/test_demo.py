"""The demo that scripts/run starts, as a newcomer sees it under a decorating window manager: the
whole window, frame and title bar included, is on the screen, the session completes its start-up,
and it ends as a closed session (exit code 0) whether the demo stops by itself, the user closes
its window or presses Ctrl-C."""

import os
import re
import signal
import subprocess
import sys
import unittest

from xsession import NOLV, X11, stop_process, wait_until

DEMO = os.path.join(os.environ["NOLV_TEST_PEER"], "picture_demo.py")
SCREEN = (800, 600)
TITLE = "nolv demo (h264)"
# Long enough at 30 a second for the window to be found and measured before the demo stops.
FRAMES_BEFORE_GOODBYE = 300
TIMEOUT = 30


class Demo(unittest.TestCase):
    ENDINGS = [  # (how it ends, --frames, what the client logs, what the demo prints)
        ("by itself", FRAMES_BEFORE_GOODBYE, "disconnected by the server: demo finished",
         "finished"),
        ("window closed", 0, "disconnected by the server: demo window closed", "window closed"),
        ("Ctrl-C", 0, "caught Ctrl-C, disconnecting", "client left"),
    ]

    def test_whole_window_on_screen_and_every_ending_exits_0(self):
        for window_manager in (True, "xfwm4"):
            x = X11(size="{}x{}".format(*SCREEN), window_manager=window_manager)
            x.env["NOLV_DESKTOP_SCALING"] = "1"
            try:
                for ending, frames, client_says, demo_says in self.ENDINGS:
                    with self.subTest(window_manager=window_manager, ending=ending):
                        self.run_demo(x, ending, frames, client_says, demo_says)
            finally:
                x.close()

    def run_demo(self, x, ending, frames, client_says, demo_says):
        port_file = x.path("port")
        if os.path.exists(port_file):
            os.remove(port_file)
        demo = x.spawn("demo", [sys.executable, DEMO, "--port=0", f"--port-file={port_file}",
                                f"--frames={frames}"], log="demo.log")
        self.assertTrue(wait_until(lambda: os.path.exists(port_file), TIMEOUT), x.read("demo.log"))
        with open(port_file) as f:
            port = f.read().strip()
        client = x.spawn("nolv", [NOLV, "-v", f"tcp://127.0.0.1:{port}/"], log="nolv.log")
        try:
            window = x.find_window(TITLE)
            self.assert_frame_on_screen(x, window)
            if ending == "window closed":
                x.run("wmctrl", "-c", TITLE)
            elif ending == "Ctrl-C":
                client.send_signal(signal.SIGINT)
            try:
                code = client.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.fail(f"nolv still runs {TIMEOUT} s after the demo's end\n"
                          + x.read("nolv.log"))
            log = x.read("nolv.log")
            self.assertEqual(code, 0, log)
            self.assertIn("startup complete!", log)
            self.assertIn(client_says, log)
            self.assertEqual(demo.wait(TIMEOUT), 0, x.read("demo.log"))
            self.assertRegex(x.read("demo.log"),
                             rf"sent \d+ draws, \d+ acknowledged; {demo_says}\n")
        finally:
            # a failed case leaves nothing running into the next one
            stop_process(client)
            stop_process(demo)

    def assert_frame_on_screen(self, x, window):
        extents = wait_until(lambda: re.search(
            r"= (\d+), (\d+), (\d+), (\d+)", x.property(window, "_NET_FRAME_EXTENTS")), TIMEOUT)
        self.assertTrue(extents, "the window manager never framed the window")
        left, right, top, bottom = (int(v) for v in extents.groups())
        self.assertGreater(top, 0, "no title bar: the window manager does not decorate")
        cx, cy, width, height = x.geometry(window)
        frame = (cx - left, cy - top, cx + width + right, cy + height + bottom)
        self.assertTrue(0 <= frame[0] and 0 <= frame[1] and frame[2] <= SCREEN[0]
                        and frame[3] <= SCREEN[1],
                        f"frame (left, top, right, bottom) {frame} is not within {SCREEN}")


if __name__ == "__main__":
    unittest.main()
