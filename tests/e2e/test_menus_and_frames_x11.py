"""Menus and tooltips on the window managers people run: an override-redirect server window is
one on X11 too (no frame, not in the manager's client list, exactly where the server put it),
and it never takes the keyboard from the window the user is typing in, before or after it goes
away. A framed window's client area, not its frame, goes where the server asks, on a manager
that ignores static gravity too."""

import os
import subprocess
import time
import unittest

import picture_demo
from nolv_peer import Peer
from xsession import DEFAULT_TIMEOUT, I3_FLOATING_TITLE, NOLV, X11, stop_process

WINDOW_MANAGERS = ["openbox", "xfwm4", "i3", "fluxbox", "icewm"]
# These lay out managed windows themselves: only a menu stays where the server puts it.
TILING = {"i3"}
# Generous: other builds may share the machine.
DEADLINE = 30

MAIN = 1
MAIN_AT = (60, 50, 400, 300)
MENU = 2
TOOLTIP = 3
MENU_AT = (230, 170, 120, 90)
TOOLTIP_AT = (420, 300, 80, 24)
# Floating on i3, as a dialog is.
FRAMED = 4
FRAMED_AT = (300, 250, 200, 150)
FRAMED_MOVED = (120, 90, 200, 150)


class MenusOn(unittest.TestCase):
    def run_on(self, window_manager):
        x = X11(size="800x600", window_manager=window_manager)
        self.addCleanup(x.close)
        peer = Peer.tcp()
        self.addCleanup(peer.close)
        log_path = os.path.join(x.dir, "nolv.log")
        with open(log_path, "w") as log:
            client = subprocess.Popen(
                [NOLV, "-v", peer.target], stdout=log, stderr=subprocess.STDOUT,
                env=dict(x.env, NOLV_DESKTOP_SCALING="1", NOLV_KEYBOARD_LAYOUT="us"))
        self.addCleanup(stop_process, client)
        session = peer.accept(timeout=DEFAULT_TIMEOUT)
        self.addCleanup(session.close)
        picture_demo.start_session(session)
        menus = Menus(self, x, session, log_path)
        menus.check(window_manager not in TILING)
        menus.check_framed()


class Menus:
    """The checks of one session; a failure carries the client's log."""

    def __init__(self, case, x, session, log_path):
        self.case = case
        self.x = x
        self.session = session
        self.log_path = log_path

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_until(self, predicate, what):
        deadline = time.monotonic() + DEADLINE
        value = predicate()
        while not value and time.monotonic() < deadline:
            time.sleep(0.1)
            value = predicate()
        self.case.assertTrue(value, f"{what()}\n{self.log()}")
        return value

    def focus(self):
        return self.x.query("xdotool", "getwindowfocus").strip()

    def client_list(self):
        return self.x.root_property("_NET_CLIENT_LIST")

    def listed(self, window):
        return f"{int(window):#x}" in self.client_list().replace(",", " ").split()

    def info(self, window):
        return self.x.query("xwininfo", "-id", window)

    def parent(self, window):
        tree = self.x.query("xwininfo", "-children", "-id", window)
        for line in tree.splitlines():
            if "Parent window id:" in line:
                return line.split(":", 1)[1].strip()
        return ""

    def round_trip(self, stamp):
        """Returns once the client has handled every packet sent before."""
        self.session.send(["ping", stamp, 0])
        deadline = time.monotonic() + DEADLINE
        while True:
            left = deadline - time.monotonic()
            self.case.assertGreater(left, 0, f"no answer to ping {stamp}\n{self.log()}")
            if self.session.wait_for("ping-echo", left)[1] == stamp:
                return

    def key_for(self, key):
        """Types `key` and returns the wid of the first press of it that goes out."""
        self.x.run("xdotool", "key", key)
        deadline = time.monotonic() + DEADLINE
        while True:
            left = deadline - time.monotonic()
            self.case.assertGreater(left, 0, f"no press of {key}\n{self.log()}")
            packet = self.session.wait_for("keyboard-event", left)
            if packet[2] == key and packet[3]:
                return packet[1]

    def check(self, placed_as_asked):
        session = self.session
        session.send(["new-window", MAIN, *MAIN_AT, {"title": "main"}])
        session.wait_for("window-map", DEADLINE)
        main = self.x.find_window("main", DEADLINE)
        self.wait_until(lambda: self.listed(main),
                        lambda: f"main never managed: {self.client_list()}")
        if placed_as_asked:
            # the frame around it, the client area where the server asked
            self.wait_until(lambda: self.x.geometry(main) == MAIN_AT,
                            lambda: f"main at {self.x.geometry(main)}, not {MAIN_AT}")
            self.case.assertNotIn("(the root window)", self.parent(main))
        self.x.run("xdotool", "windowactivate", main)
        self.wait_until(lambda: self.focus() == main,
                        lambda: f"focus on {self.focus()}, not main {main}")
        self.case.assertEqual(self.key_for("a"), MAIN)

        # The two ways a server names a menu or tooltip.
        session.send(["new-override-redirect", MENU, *MENU_AT, {"title": "menu"}])
        session.send(["new-window", TOOLTIP, *TOOLTIP_AT,
                      {"title": "tooltip", "override-redirect": True}])
        popups = []
        for title, at in (("menu", MENU_AT), ("tooltip", TOOLTIP_AT)):
            popup = self.x.find_window(title, DEADLINE)
            popups.append(popup)
            self.wait_until(lambda: "IsViewable" in self.info(popup),
                            lambda: f"{title} not viewable: {self.info(popup)}")
            info = self.info(popup)
            self.case.assertIn("Override Redirect State: yes", info, f"{title}: {info}")
            self.case.assertIn("(the root window)", self.parent(popup),
                               f"{title} was given a frame: {self.parent(popup)}")
            self.case.assertEqual(self.x.geometry(popup), at, title)
            self.case.assertFalse(self.listed(popup), f"{title} in {self.client_list()}")
        self.case.assertTrue(self.listed(main), self.client_list())
        self.case.assertEqual(self.focus(), main)

        # Neither the pointer over the menu nor the server raising it takes the keys from the
        # main window.
        self.x.run("xdotool", "mousemove", "--window", popups[0], "20", "20")
        session.send(["raise-window", MENU])
        self.round_trip(77)
        self.case.assertEqual(self.key_for("b"), MAIN)
        self.case.assertEqual(self.focus(), main)

        session.send(["lost-window", MENU])
        session.send(["lost-window", TOOLTIP])
        for popup in popups:
            # gone, or at least no longer shown
            self.wait_until(lambda: "IsViewable" not in self.info(popup),
                            lambda: f"{popup} still shown: {self.info(popup)}")
        self.wait_until(lambda: self.focus() == main,
                        lambda: f"focus on {self.focus()} after the menu went, not main {main}")
        self.case.assertEqual(self.key_for("c"), MAIN)
        focus_packets = [p for p in session.received if p[0] == "window-focus"]
        self.case.assertTrue(all(p[1] == MAIN for p in focus_packets), focus_packets)

    def check_framed(self):
        self.session.send(["new-window", FRAMED, *FRAMED_AT, {"title": I3_FLOATING_TITLE}])
        framed = self.x.find_window(I3_FLOATING_TITLE, DEADLINE)
        self.wait_until(lambda: self.listed(framed),
                        lambda: f"framed window never managed: {self.client_list()}")
        self.case.assertNotIn("(the root window)", self.parent(framed))
        for at in (FRAMED_AT, FRAMED_MOVED):
            if at is FRAMED_MOVED:
                self.session.send(["window-move-resize", FRAMED, *at])
            self.wait_until(lambda: self.x.geometry(framed) == at,
                            lambda: f"client area at {self.x.geometry(framed)}, not {at}")


def add_window_manager_tests():
    for window_manager in WINDOW_MANAGERS:
        def test(self, window_manager=window_manager):
            self.run_on(window_manager)
        test.__name__ = f"test_menu_on_{window_manager}"
        setattr(MenusOn, test.__name__, test)


add_window_manager_tests()


if __name__ == "__main__":
    unittest.main()
