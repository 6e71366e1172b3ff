"""The real nolv, offscreen and under Xvfb with openbox, against the test server: a window with a
side no display can have is refused like any failed window creation (logged, no window-map and
no other answer) and the session goes on: the next window is created, painted and acknowledged."""

import time
import unittest

import picture_demo
import pictures
from nolv_peer import Peer
from watched_client import start_client_session
from xsession import X11Case

# Sides X11 cannot have (16 bits, signed), one of them only just.
REFUSED = [(20000000, 1), (1, 20000000), (40000, 10), (32768, 1), (1, 32768)]
WIDTH, HEIGHT = 64, 48
COLOUR = 0x2080C0
POSITION = (60, 60)
NORMAL_WID = 9


def send_sizes_then_a_window(test, session):
    """Sends the refused windows, then a normal one and a picture for it; returns the normal
    window's "window-map" and the picture's "window-ack"."""
    for wid, (w, h) in enumerate(REFUSED, start=1):
        session.send(["new-window", wid, *POSITION, w, h, {"title": f"refused-{wid}"}])
    session.send(picture_demo.open_window(NORMAL_WID, WIDTH, HEIGHT, "normal", POSITION))
    window_map = session.wait_for("window-map", 30)
    session.send(pictures.draw_items(NORMAL_WID, 0, 0, WIDTH, HEIGHT, "png", 1),
                 chunks={7: pictures.solid_png(WIDTH, HEIGHT, COLOUR)})
    ack = session.wait_for("window-ack", 30)
    session.send(["ping", 77, 0])
    test.assertEqual(session.wait_for("ping-echo", 10)[1], 77)
    return window_map, ack


def check_refused(test, session, window_map, ack, log):
    test.assertEqual(window_map[1:6], [NORMAL_WID, *POSITION, WIDTH, HEIGHT], log)
    test.assertEqual(ack[1:5], [NORMAL_WID, WIDTH, HEIGHT, 1], log)
    test.assertGreaterEqual(ack[5], 0, ack)
    test.assertEqual(ack[6], "", ack)
    about_refused = [p for p in session.received
                     if p[0] != "hello" and len(p) > 1 and p[1] in range(1, len(REFUSED) + 1)]
    test.assertEqual(about_refused, [])
    for w, h in REFUSED:
        test.assertIn(f"failed to create window: {w}x{h} is too large", log)
    test.assertNotIn("fatal", log)


class WindowSizesOffscreen(unittest.TestCase):
    def test_sides_past_the_bound_are_refused_and_the_session_goes_on(self):
        client, session = start_client_session(self, Peer.tcp(), ["-v"])
        window_map, ack = send_sizes_then_a_window(self, session)
        check_refused(self, session, window_map, ack, client.log())
        self.assertIsNone(client.process.poll(), client.log())


class WindowSizesX11(X11Case):
    def test_sides_past_the_bound_are_refused_and_the_session_goes_on(self):
        session = self.start()
        picture_demo.start_session(session)
        window_map, ack = send_sizes_then_a_window(self, session)
        check_refused(self, session, window_map, ack, self.log())
        self.assertIsNone(self.client.poll(), self.log())
        for wid in range(1, len(REFUSED) + 1):
            self.assertEqual(self.x.query("xdotool", "search", "--name", f"^refused-{wid}$"), "")
        x, y, _, _ = self.x.geometry(self.x.find_window("normal"))
        points = [(x + 1, y + 1), (x + WIDTH // 2, y + HEIGHT // 2), (x + WIDTH - 2, y + HEIGHT - 2)]
        deadline = time.monotonic() + 10
        while True:
            colours = self.x.pixels(points, f"{self.tmp}/shot.png")
            if colours == [COLOUR] * len(points) or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        self.assertEqual([f"{c:06x}" for c in colours], [f"{COLOUR:06x}"] * len(points))


if __name__ == "__main__":
    unittest.main()
