"""The real nolv under Xvfb and openbox against the test server: server windows appear as local
windows with their size, position, title and states; server commands move them; local resizes,
keys, the pointer, focus and closing reach the server; the password dialog shows stars."""

import base64
import hashlib
import hmac
import os
import time
import unittest

import picture_demo
from xsession import X11Case


class WindowsCase(X11Case):
    def open_session(self):
        session = self.start()
        picture_demo.start_session(session)
        return session

    def new_window(self, wid, x, y, w, h, metadata):
        self.session.send(["new-window", wid, x, y, w, h, metadata])
        window_map = self.session.wait_for("window-map", 30)
        self.assertEqual(window_map[1:6], [wid, x, y, w, h])
        return self.x.find_window(metadata["title"], visible=not metadata.get("iconic"))

    def packets(self, name, count, timeout=10):
        """The next `count` packets called `name`, skipping any others."""
        out = []
        deadline = time.monotonic() + timeout
        while len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail(f"only {len(out)} {name} packets: {out}\n{self.log()}")
            out.append(self.session.wait_for(name, left))
        return out

    def wait_geometry(self, window, want, timeout=10):
        deadline = time.monotonic() + timeout
        got = None
        while time.monotonic() < deadline:
            got = self.x.geometry(window)
            if got == want:
                return
            time.sleep(0.1)
        self.assertEqual(got, want)

    def activate(self, window):
        self.x.run("xdotool", "windowactivate", "--sync", window)


class Windows(WindowsCase):
    def test_new_window_has_its_size_position_and_title(self):
        self.open_session()
        window = self.new_window(1, 120, 90, 300, 200, {"title": "alpha"})
        self.wait_geometry(window, (120, 90, 300, 200))
        self.assertIn('"alpha"', self.x.property(window, "_NET_WM_NAME"))

    def test_metadata_states_reach_the_window_manager(self):
        self.open_session()
        cases = [  # (metadata, states that must be set)
            ({"maximized": True}, ["_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ"]),
            ({"fullscreen": True}, ["_NET_WM_STATE_FULLSCREEN"]),
            ({"above": True}, ["_NET_WM_STATE_ABOVE"]),
            ({"skip-taskbar": True}, ["_NET_WM_STATE_SKIP_TASKBAR"]),
            ({"below": True}, ["_NET_WM_STATE_BELOW"]),
            ({"iconic": True}, ["_NET_WM_STATE_HIDDEN"]),
        ]
        for wid, (metadata, states) in enumerate(cases, start=1):
            title = f"state-{wid}"
            window = self.new_window(wid, 50, 50, 200, 150, dict(metadata, title=title))
            deadline = time.monotonic() + 10
            got = ""
            while time.monotonic() < deadline:
                got = self.x.property(window, "_NET_WM_STATE")
                if all(s in got for s in states):
                    break
                time.sleep(0.1)
            for state in states:
                self.assertIn(state, got, f"{metadata}: {got}")
        plain = self.new_window(20, 50, 50, 200, 150, {"title": "plain"})
        # read once the window manager has taken the window and set its states
        deadline = time.monotonic() + 10
        while "window state:" not in self.x.property(plain, "WM_STATE"):
            self.assertLess(time.monotonic(), deadline, "plain was never managed")
            time.sleep(0.1)
        got = self.x.property(plain, "_NET_WM_STATE")
        for state in ("MAXIMIZED", "FULLSCREEN", "ABOVE", "BELOW", "HIDDEN", "SKIP"):
            self.assertNotIn(state, got)
        # Attention is for a window the user is not in: ask it of the first, behind "plain".
        first = self.x.find_window("state-1")
        self.session.send(["window-metadata", 1, {"attention-requested": True}])
        deadline = time.monotonic() + 10
        while "DEMANDS_ATTENTION" not in self.x.property(first, "_NET_WM_STATE"):
            self.assertLess(time.monotonic(), deadline, self.x.property(first, "_NET_WM_STATE"))
            time.sleep(0.1)

    def test_transient_window_names_its_owner(self):
        self.open_session()
        owner = self.new_window(1, 40, 40, 300, 200, {"title": "owner"})
        dialog = self.new_window(2, 80, 80, 150, 100, {"title": "dialog", "transient-for": 1})
        got = self.x.property(dialog, "WM_TRANSIENT_FOR")
        self.assertIn(f"window id # {int(owner):#x}", got)

    def test_server_move_resize_and_local_resize(self):
        session = self.open_session()
        window = self.new_window(1, 100, 100, 300, 200, {"title": "moving"})
        self.wait_geometry(window, (100, 100, 300, 200))
        session.send(["window-move-resize", 1, 200, 150, 320, 240])
        self.wait_geometry(window, (200, 150, 320, 240))
        session.send(["window-resized", 1, 260, 180])
        self.wait_geometry(window, (200, 150, 260, 180))

        self.x.run("xdotool", "windowsize", window, "400", "300")
        deadline = time.monotonic() + 10
        geometry = None
        while geometry != [200, 150, 400, 300]:
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail(f"no window-configure of 400x300, last {geometry}\n{self.log()}")
            configure = session.wait_for("window-configure", left)
            self.assertEqual(configure[1], 1)
            geometry = configure[2]["geometry"]

    def test_keys_reach_the_server_with_names_keyvals_and_scancodes(self):
        session = self.open_session()
        window = self.new_window(1, 100, 100, 300, 200, {"title": "typing"})
        self.activate(window)
        self.assertEqual(self.packets("window-focus", 1)[0], ["window-focus", 1])
        # (xdotool arguments, [(name, pressed, keyval, scancode, string, modifiers)])
        cases = [
            (["key", "a"], [("a", True, 0x61, 0x1E, "a", []), ("a", False, 0x61, 0x1E, "a", [])]),
            (["keydown", "shift", "keydown", "a", "keyup", "a", "keyup", "shift"],
                        [("Shift_L", True, 0, 0x2A, "", []),
                         ("A", True, 0x41, 0x1E, "A", ["shift"]),
                         ("A", False, 0x41, 0x1E, "A", ["shift"]),
                         ("Shift_L", False, 0, 0x2A, "", [])]),
            (["key", "Return"], [("Return", True, 0, 0x1C, "", []), ("Return", False, 0, 0x1C, "", [])]),
            (["key", "F5"], [("F5", True, 0, 0x3F, "", []), ("F5", False, 0, 0x3F, "", [])]),
        ]
        for keys, want in cases:
            self.x.run("xdotool", *keys)
            got = self.packets("keyboard-event", len(want))
            for packet, (name, pressed, keyval, scancode, string, modifiers) in zip(got, want):
                self.assertEqual(packet[1:4], [1, name, pressed], f"{keys}: {got}")
                extra = packet[4]
                self.assertEqual(extra["keyval"], keyval, f"{keys}: {packet}")
                self.assertEqual(extra["keycode"], scancode, f"{keys}: {packet}")
                self.assertEqual(extra["string"], string, f"{keys}: {packet}")
                self.assertEqual(extra["group"], 0)
                if name != "Shift_L":  # the shift key's own event may or may not see shift down
                    self.assertEqual(extra["modifiers"], modifiers, f"{keys}: {packet}")

    def test_hangul_and_hanja_keys_follow_a_korean_layout(self):
        session = self.open_session()
        window = self.new_window(1, 100, 100, 300, 200, {"title": "korean"})
        self.x.run("setxkbmap", "kr")
        self.activate(window)
        for keysym, scancode in (("Hangul", 0xE0F2), ("Hangul_Hanja", 0xE0F1)):
            self.x.run("xdotool", "key", keysym)
            press, release = self.packets("keyboard-event", 2)
            self.assertEqual([press[3], release[3]], [True, False], press)
            self.assertEqual(press[4]["keycode"], scancode, press)
            self.assertEqual(release[4]["keycode"], scancode, release)

    def test_pointer_motion_and_buttons_in_server_units(self):
        session = self.open_session()
        window = self.new_window(1, 100, 100, 300, 200, {"title": "pointer"})
        self.activate(window)
        self.x.run("xdotool", "mousemove", "--sync", "150", "160")
        deadline = time.monotonic() + 10
        motion = None
        while motion is None or motion[4] != [150, 160]:
            left = deadline - time.monotonic()
            if left <= 0:
                self.fail(f"no pointer-motion at 150,160: {motion}")
            motion = session.wait_for("pointer-motion", left)
        self.assertEqual(motion[:4], ["pointer-motion", 0, 0, 1])
        self.assertEqual(motion[5], {"monitor": {"index": 0, "position": [150, 160]}}, motion)
        self.x.run("xdotool", "click", "3")
        press, release = self.packets("pointer-button", 2)
        self.assertEqual(press[:7], ["pointer-button", 0, 0, 1, 3, True, [150, 160]])
        self.assertEqual(release[:7], ["pointer-button", 0, 0, 1, 3, False, [150, 160]])
        self.x.run("xdotool", "click", "4")  # wheel up: one press and release of button 4
        press, release = self.packets("pointer-button", 2)
        self.assertEqual([press[4], press[5], release[4], release[5]], [4, True, 4, False])
        # a double click is two presses and two releases, nothing more
        self.x.run("xdotool", "click", "--repeat", "2", "--delay", "80", "1")
        clicks = [(p[4], p[5]) for p in session.collect(1.5) if p[0] == "pointer-button"]
        self.assertEqual(clicks, [(1, True), (1, False), (1, True), (1, False)])

    def test_focus_follows_activation_and_close_asks_the_server(self):
        session = self.open_session()
        first = self.new_window(1, 40, 40, 200, 150, {"title": "first"})
        second = self.new_window(2, 300, 40, 200, 150, {"title": "second"})
        self.activate(first)
        deadline = time.monotonic() + 10
        focus = None
        while focus != ["window-focus", 1]:
            self.assertLess(time.monotonic(), deadline, f"last focus: {focus}")
            focus = session.wait_for("window-focus", max(0.1, deadline - time.monotonic()))
        self.activate(second)
        deadline = time.monotonic() + 10
        while focus != ["window-focus", 2]:
            self.assertLess(time.monotonic(), deadline, f"last focus: {focus}")
            focus = session.wait_for("window-focus", max(0.1, deadline - time.monotonic()))
        # the window manager's close, which reaches the client as WM_DELETE_WINDOW
        self.x.run("wmctrl", "-i", "-c", second)
        self.assertEqual(session.wait_for("window-close", 10), ["window-close", 2])
        # the server decides: the window stays until it is told otherwise
        time.sleep(0.5)
        self.assertEqual(self.x.find_window("second", timeout=2), second)
        session.send(["lost-window", 2])
        deadline = time.monotonic() + 10
        while self.x.query("xdotool", "search", "--onlyvisible", "--name", "^second$").split():
            self.assertLess(time.monotonic(), deadline, "window 2 still shown")
            time.sleep(0.1)


class ModalWindows(WindowsCase):
    def test_owner_of_a_modal_window_takes_no_input_focus_or_close(self):
        session = self.open_session()
        owner = self.new_window(1, 40, 40, 300, 200, {"title": "owner"})
        self.new_window(2, 80, 80, 150, 100, {"title": "modal", "transient-for": 1,
                                              "modal": True})
        session.collect(0.5)
        self.x.run("wmctrl", "-i", "-c", owner)
        self.x.run("xdotool", "mousemove", "--sync", "60", "220", "click", "1")
        self.x.run("xdotool", "key", "a")
        about_owner = [p for p in session.collect(1.5)
                       if p[0] in ("window-close", "window-focus", "keyboard-event",
                                   "pointer-button") and p[1 if p[0] != "pointer-button" else 3] == 1]
        self.assertEqual(about_owner, [])
        # once the modal window goes, the owner is the user's again
        session.send(["lost-window", 2])
        session.collect(0.5)
        self.x.run("wmctrl", "-i", "-c", owner)
        self.assertEqual(session.wait_for("window-close", 10), ["window-close", 1])


class PasswordDialog(WindowsCase):
    STAR = 0xE0E0E0
    BACKGROUND = 0x202020

    def test_typed_password_shows_as_stars_and_answers_the_challenge(self):
        # No NOLV_PASSWORD and no pinentry on PATH: the client's own dialog asks.
        self.x.env.pop("NOLV_PASSWORD", None)
        session = self.start(env={"PATH": "/nonexistent"})
        session.wait_for("hello", 30)
        server_salt = os.urandom(32)
        session.send(["challenge", base64.b64encode(server_salt).decode(), "", "hmac+sha256",
                      "hmac+sha256", "Password for test"])
        dialog = self.x.find_window("Nolv Authentication")
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + (460, 150))
        self.activate(dialog)
        self.x.run("xdotool", "type", "--delay", "50", "s3c")
        ox, oy, _, _ = self.x.geometry(dialog)
        # Stars are drawn from (20, 61) in 8x16 cells; sample the middle column of each cell.
        shot = os.path.join(self.tmp, "dialog.png")
        cells = range(4)
        points = [(ox + 20 + 8 * c + x, oy + 61 + y) for c in cells for x in range(8)
                  for y in range(16)]
        deadline = time.monotonic() + 10
        while True:
            colours = self.x.pixels(points, shot)
            lit = [sum(1 for v in colours[c * 128:(c + 1) * 128] if v == self.STAR)
                   for c in cells]
            if all(n > 0 for n in lit[:3]) or time.monotonic() > deadline:
                break
            time.sleep(0.3)
        self.assertTrue(all(n > 0 for n in lit[:3]), f"star pixels per cell: {lit}")
        self.assertEqual(lit[3], 0, f"a fourth star: {lit}")
        for cell in range(3):
            self.assertEqual(lit[cell], lit[0], f"cells differ: {lit}")

        self.x.run("xdotool", "key", "Return")
        caps = session.expect("hello", timeout=10)[1]
        client_salt = caps["challenge_client_salt"]
        salt = hmac.new(client_salt.encode(), server_salt, hashlib.sha256).hexdigest()
        response = hmac.new(b"s3c", salt.encode(), hashlib.sha256).hexdigest()
        self.assertEqual(caps["challenge_response"], response)


if __name__ == "__main__":
    unittest.main()
