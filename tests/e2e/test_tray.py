"""The real nolv with real tray hosts under Xvfb: the icon docks in trayer (XEmbed), a left or
right click opens its menu, "Exit" ends the session with "connection-close" "client exit" and
code 0, the icon docks again in a tray host started anew; under a StatusNotifierItem host a
server notification reaches dunst as plain text with the program's icon and "notify_close"
withdraws it; without any tray host the session runs on."""

import re
import time
import unittest

from xsession import DesktopCase, wait_until
from test_stalled_server import flood_until_stalled


class TrayTestCase(DesktopCase):
    def tree(self):
        # xwininfo fails when a window goes away while it walks the tree: walk again.
        for _ in range(20):
            result = self.desktop.tool("xwininfo", "-root", "-tree", check=False)
            if result.returncode == 0:
                return result.stdout
            time.sleep(0.05)
        raise AssertionError("xwininfo -root -tree keeps failing: " + result.stderr)

    def docked_icon(self):
        """The id of nolv's window inside trayer's panel, or None."""
        inside = False
        panel_indent = None
        for line in self.tree().splitlines():
            indent = len(line) - len(line.lstrip())
            if '("panel" "trayer")' in line:
                inside, panel_indent = True, indent
                continue
            if inside and indent <= panel_indent and line.strip():
                inside = False
            if inside and '("nolv" "nolv")' in line:
                return line.split()[0]
        return None

    def menu(self):
        """(x, y, width, height) of nolv's visible top-level popup menu, or None."""
        for line in self.tree().splitlines():
            if line.startswith("     0x") and '("nolv" "nolv")' in line:
                m = re.search(r"(\d+)x(\d+)\+(-?\d+)\+(-?\d+)", line)
                w, h, x, y = map(int, m.groups())
                wid = line.split()[0]
                info = self.desktop.tool("xwininfo", "-id", wid, check=False).stdout
                if "IsViewable" in info and w > 40 and h > 20:
                    return x, y, w, h
        return None

    def click(self, window, button):
        self.desktop.tool("xdotool", "mousemove", "--window", window, "11", "11", "click",
                          str(button))


class TrayCase(TrayTestCase):
    def choose_exit(self, icon):
        """Opens the menu with a left click on the icon and clicks its last item, "Exit"."""
        self.click(icon, 1)
        menu = wait_until(self.menu, 10, 0.1)
        self.assertIsNotNone(menu, self.tree())
        x, y, w, h = menu
        self.desktop.tool("xdotool", "mousemove", str(x + w // 3), str(y + h - 10))
        time.sleep(0.2)
        self.desktop.tool("xdotool", "click", "1")

    def test_icon_docks_and_the_menu_exits_the_session(self):
        self.desktop.start_trayer()
        self.start_session()
        icon = wait_until(self.docked_icon, 10, 0.2)
        self.assertIsNotNone(icon, self.tree())
        self.assertIn("system tray icon added", self.client.log())
        self.assertNotIn("system tray unavailable", self.client.log())
        self.assertNotIn("no icon resource", self.client.log())

        # A right click opens the menu; Escape closes it and chooses nothing.
        self.click(icon, 3)
        self.assertIsNotNone(wait_until(self.menu, 10, 0.1), self.tree())
        self.desktop.tool("xdotool", "key", "Escape")
        self.assertTrue(wait_until(lambda: self.menu() is None, 10, 0.1), self.tree())
        self.assertNotIn("connection-close", [p[0] for p in self.session.collect(0.5)])

        # A left click opens the same menu; its last item is "Exit".
        self.choose_exit(icon)
        close = self.session.wait_for("connection-close", timeout=10)
        self.assertEqual(close, ["connection-close", "client exit"])
        self.assertEqual(self.client.exit_code_within(15), 0, self.client.log())
        log = self.client.log()
        self.assertIn("exit requested from the system tray", log)
        self.assertIn("system tray icon removed", log)

    def test_exit_from_the_menu_while_the_server_does_not_read(self):
        self.desktop.start_trayer()
        self.start_session()
        icon = wait_until(self.docked_icon, 10, 0.2)
        self.assertIsNotNone(icon, self.tree())
        self.addCleanup(flood_until_stalled(self.session, self.client.process).set)
        self.choose_exit(icon)
        self.assertEqual(self.client.exit_code_within(5), 0, self.client.log()[-3000:])
        self.assertIn("exit requested from the system tray", self.client.log())

    def test_icon_docks_again_when_the_tray_host_restarts(self):
        trayer = self.desktop.start_trayer()
        self.start_session()
        self.assertIsNotNone(wait_until(self.docked_icon, 10, 0.2), self.tree())
        self.desktop.stop(trayer)
        self.assertTrue(wait_until(lambda: self.docked_icon() is None, 10, 0.2), self.tree())
        self.desktop.start_trayer()
        self.assertIsNotNone(wait_until(self.docked_icon, 15, 0.2), self.tree())
        self.assertIsNone(self.client.process.poll(), self.client.log())

    def balloon_width(self, serial, title):
        """The width of Qt's own balloon showing `title` over the body "x"."""
        self.session.send(["notify_show", 0, serial, "App", 0, "", title, "x", -1, "", [], {}])
        self.assertTrue(self.client.wait_for_log(
            f"notification {serial} shown as a tray balloon"), self.client.log())
        balloon = wait_until(self.menu, 10, 0.1)  # a top-level popup, found like the menu
        self.assertIsNotNone(balloon, self.tree())
        self.session.send(["notify_close", serial])
        self.assertTrue(wait_until(lambda: self.menu() is None, 10, 0.1), self.tree())
        return balloon[2]

    def test_balloon_texts_are_plain_text(self):
        """Markup in a title shows as its own characters: "<b></b>" widens the balloon instead
        of vanishing into bold."""
        self.desktop.start_trayer()
        self.start_session()
        self.assertIsNotNone(wait_until(self.docked_icon, 10, 0.2), self.tree())
        letters = "W" * 30
        plain = self.balloon_width(1, letters)
        marked = self.balloon_width(2, letters + "<b></b>")
        self.assertGreater(marked, plain, self.client.log())

    def test_without_a_tray_host_the_session_runs_on(self):
        self.start_session()
        self.assertIn("system tray unavailable: no system tray host is running",
                      self.client.log())
        self.session.send(["notify_show", 0, 7, "app", 0, "", "hello", "body", -1, "", [], {}])
        self.assertTrue(self.client.wait_for_log("notification from app: hello"),
                        self.client.log())
        self.session.send(["ping", 1])
        self.session.wait_for("ping-echo", timeout=10)


class NotificationCase(TrayTestCase):
    def setUp(self):
        super().setUp()
        self.desktop.start_dbus()
        self.desktop.start_dunst()
        self.desktop.start_sni_watcher()

    def displayed(self):
        result = self.desktop.tool("dunstctl", "count", "displayed", check=False)
        return int(result.stdout.strip() or -1)

    def dunst_entries(self):
        """The notifications dunst printed, each as a dict of its fields."""
        entries = []
        for block in self.desktop.read("dunst.log").split("{\n")[1:]:
            entry = {}
            for line in block.split("\n\t"):
                key, _, value = line.strip().partition(": ")
                entry.setdefault(key, value)
            entries.append(entry)
        return entries

    def test_a_server_notification_reaches_the_notification_daemon_and_is_withdrawn(self):
        self.start_session()
        self.assertTrue(wait_until(lambda: "REGISTER item" in self.desktop.read("sni.log"), 10),
                        self.desktop.read("sni.log") + self.client.log())
        self.session.send(["notify_show", 0, 5, "Mail", 0, "", "New message",
                           "first line\r\nsecond line", -1, "", [], {}])
        self.assertTrue(wait_until(lambda: "New message" in self.desktop.read("dunst.log"), 10),
                        self.desktop.read("dunst.log") + self.client.log())
        dunst = self.desktop.read("dunst.log")
        self.assertIn("first line", dunst)
        self.assertIn("second line", dunst)
        entry = self.dunst_entries()[0]
        self.assertEqual(entry["summary"], "'New message'")
        # The program's own icon travels with it.
        self.assertEqual(entry["raw_icon set"], "true", dunst)
        log = self.client.log()
        self.assertIn("notification from Mail: New message", log)
        self.assertIn("  first line\n", log.replace("\r", "<CR>"))
        self.assertIn("notification 5 shown as a tray balloon", log)
        self.assertEqual(wait_until(lambda: self.displayed() == 1, 10), True)

        # Closing another id leaves it; closing its own id takes it off the screen.
        self.session.send(["notify_close", 4])
        self.session.send(["ping", 1])
        self.session.wait_for("ping-echo", timeout=10)
        self.assertEqual(self.displayed(), 1)
        self.session.send(["notify_close", 5])
        self.assertTrue(self.client.wait_for_log("withdrawing the tray balloon for notification 5"))
        self.assertEqual(wait_until(lambda: self.displayed() == 0, 5), True,
                         self.desktop.read("dunst.log"))
        # No empty notification was sent for the withdrawal.
        self.assertEqual(len(self.dunst_entries()), 1, self.desktop.read("dunst.log"))

    def test_notification_texts_are_plain_text(self):
        self.start_session()
        self.assertTrue(wait_until(lambda: "REGISTER item" in self.desktop.read("sni.log"), 10),
                        self.desktop.read("sni.log") + self.client.log())
        self.session.send(["notify_show", 0, 8, "App", 0, "", "<b>not bold</b> & co",
                           "x < y & z <b>bold?</b>", -1, "", [], {}])
        self.assertTrue(wait_until(lambda: self.dunst_entries(), 10),
                        self.desktop.read("dunst.log") + self.client.log())
        dunst = self.desktop.read("dunst.log")
        self.assertNotIn("Unable to parse markup", dunst)
        # What dunst hands to its renderer: every character of both texts shows as itself.
        formatted = self.dunst_entries()[0]["formatted"]
        self.assertIn("&lt;b&gt;not bold&lt;/b&gt; &amp; co", formatted, dunst)
        self.assertIn("x &lt; y &amp; z &lt;b&gt;bold?&lt;/b&gt;", formatted, dunst)


if __name__ == "__main__":
    unittest.main()
