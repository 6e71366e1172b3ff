"""The real nolv under xfce4-panel (a tray host that takes the icon over D-Bus, so balloons become
freedesktop notifications) with dunst as the notification service: as under an XEmbed tray there
is one balloon at a time, a newer notification replaces the one shown, even in a burst, and
"notify_close" of the shown one takes it off the screen."""

import os
import unittest

from xsession import DesktopCase, wait_until

# One panel along the top holding only the notification area, as xfconf stores a panel; without
# a stored panel xfce4-panel asks the user which one to make.
PANEL_CHANNEL = """<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="26"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
"""


class XfcePanelNotifications(DesktopCase):
    def setUp(self):
        super().setUp()
        config = os.path.join(self.desktop.dir, "config")
        channels = os.path.join(config, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(channels)
        with open(os.path.join(channels, "xfce4-panel.xml"), "w") as f:
            f.write(PANEL_CHANNEL)
        self.desktop.env["XDG_CONFIG_HOME"] = config
        self.desktop.start_dbus()
        self.desktop.start_dunst()
        self.desktop.spawn("xfce4-panel", ["xfce4-panel", "--disable-wm-check"], log="panel.log")
        if not wait_until(lambda: self.desktop.bus_has("org.kde.StatusNotifierWatcher"), 20, 0.1):
            raise RuntimeError("xfce4-panel hosts no tray: " + self.desktop.read("panel.log"))

    def displayed(self):
        result = self.desktop.tool("dunstctl", "count", "displayed", check=False)
        return int(result.stdout.strip() or -1)

    def summaries_shown(self):
        """The summaries dunst printed, in order."""
        return [line.strip().partition(": ")[2].strip("'") for line in self.desktop.read("dunst.log")
                .splitlines() if line.strip().startswith("summary: ")]

    def notify(self, nid, summary):
        self.session.send(["notify_show", 0, nid, "App", 0, "", summary, "body", -1, "", [], {}])

    def settle(self):
        """Until the client has handled everything sent so far and dunst has shown the last."""
        self.session.send(["ping", 1])
        self.session.wait_for("ping-echo", timeout=10)

    def assert_displayed(self, count):
        """dunst comes to show `count` notifications and stays there for a second."""
        reached = wait_until(lambda: self.displayed() == count, 5, 0.1)
        stayed = reached and not wait_until(lambda: self.displayed() != count, 1, 0.1)
        self.assertTrue(stayed, f"{self.displayed()} shown, want {count}\n"
                        + self.desktop.read("dunst.log") + self.client.log())

    def wait_shown(self, summary):
        self.assertTrue(wait_until(lambda: summary in self.summaries_shown(), 10),
                        self.desktop.read("dunst.log") + self.client.log())

    def test_one_balloon_replaced_by_newer_ones_and_withdrawn_by_close(self):
        self.start_session()
        self.assertTrue(self.client.wait_for_log("system tray icon added", 10), self.client.log())
        cases = [  # (notification ids sent in a row, what stays on screen)
            ([1, 2, 3], "note 3"),
            (list(range(10, 40)), "note 39"),
        ]
        for ids, last in cases:
            with self.subTest(count=len(ids)):
                for nid in ids:
                    self.notify(nid, f"note {nid}")
                self.settle()
                self.wait_shown(last)
                # Whatever came in between, one notification shows, and it is the last one.
                self.assert_displayed(1)
                # Closing the older ones changes nothing; closing the shown one withdraws it.
                for nid in ids[:-1]:
                    self.session.send(["notify_close", nid])
                self.settle()
                self.assert_displayed(1)
                self.session.send(["notify_close", ids[-1]])
                self.assert_displayed(0)

    def test_close_right_after_show_withdraws_it(self):
        self.start_session()
        self.assertTrue(self.client.wait_for_log("system tray icon added", 10), self.client.log())
        # The close comes before the service has answered with the notification's id.
        self.notify(7, "gone at once")
        self.session.send(["notify_close", 7])
        self.settle()
        self.assert_displayed(0)


if __name__ == "__main__":
    unittest.main()
