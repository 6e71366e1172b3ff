"""The real nolv under Xvfb keeping the X clipboard in step with the scripted server, with xclip
as the other program: a local copy reaches the server as "clipboard-data" within a second, the
text present at start is not announced, a text sent by the server is read back with xclip, and
neither side echoes what the other gave it; long texts go both ways in pieces, other targets
are served, a text with a NUL goes both ways whole, and an owner that never answers leaves the
session responsive."""

import os
import subprocess
import time
import unittest

from xsession import HERE, DesktopCase, wait_until
from nolv_peer import PeerTimeout

CLIPBOARD_TARGETS = ["UTF8_STRING", "TEXT", "STRING", "text/plain;charset=utf-8", "text/plain"]


class ClipboardCase(DesktopCase):
    def start_session(self):
        hello = super().start_session({"clipboard": {"enabled": True}},
                                      wait_for_log="clipboard thread started")
        self.assertIn("clipboard", hello[1])

    def copy_locally(self, text):
        """xclip owns the clipboard with `text` (it stays until it loses the selection)."""
        process = self.desktop.spawn_with_input(
            "xclip", ["xclip", "-quiet", "-selection", "clipboard"], text)
        self.assertEqual(wait_until(self.read_locally_is(text), 10, 0.05), True)
        return process

    def read_locally(self):
        result = self.desktop.tool("xclip", "-o", "-selection", "clipboard", check=False,
                                   timeout=10)
        return result.stdout if result.returncode == 0 else None

    def read_target(self, target, selection="clipboard"):
        """The bytes that xclip gets for `target`, or None."""
        result = subprocess.run(["xclip", "-o", "-selection", selection, "-t", target],
                                env=self.desktop.env, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, timeout=20, check=False)
        return result.stdout if result.returncode == 0 else None

    def send_server_text(self, text):
        self.session.send(["clipboard-token", "CLIPBOARD", ["UTF8_STRING"], "UTF8_STRING",
                           "UTF8_STRING", 8, "bytes", "placeholder"],
                          chunks={7: text.encode("utf-8")})

    def ping_round_trips(self, count, gap=0.05):
        """Seconds from each server "ping" to its "ping-echo"."""
        trips = []
        for n in range(count):
            sent = time.monotonic()
            self.session.send(["ping", 1000 + n, 0])
            while True:
                packet = self.session.recv(timeout=30)
                if packet[0] == "ping-echo" and packet[1] == 1000 + n:
                    break
            trips.append(time.monotonic() - sent)
            time.sleep(gap)
        return trips

    def percentile_95(self, values):
        ordered = sorted(values)
        return ordered[min(len(ordered) - 1, int(len(ordered) * 0.95))]

    def read_locally_is(self, text):
        return lambda: self.read_locally() == text

    def clipboard_data(self, timeout):
        """The next "clipboard-data" packet, skipping others; None when none comes in time."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                packet = self.session.recv(timeout=left)
            except PeerTimeout:
                return None
            if packet[0] == "clipboard-data":
                return packet

    def announced_text(self, packet):
        self.assertEqual(packet[1], "CLIPBOARD")
        props = packet[2]
        self.assertEqual(props["claim"], True)
        self.assertEqual(props["greedy"], True)
        self.assertEqual(props["targets"], CLIPBOARD_TARGETS)
        entry = props["data"]["UTF8_STRING"]
        self.assertEqual(entry[:3], ["UTF8_STRING", 8, "bytes"])
        return entry[3]

    def test_a_local_copy_reaches_the_server_within_a_second(self):
        self.copy_locally("there before the session")
        self.start_session()
        # The text found at start is not announced.
        self.assertIsNone(self.clipboard_data(1.5))

        self.copy_locally("copied with xclip")
        packet = self.clipboard_data(1.0)
        self.assertIsNotNone(packet, self.client.log())
        self.assertEqual(self.announced_text(packet), "copied with xclip")

        # The same text copied again is not announced again; a new one is.
        self.copy_locally("copied with xclip")
        self.assertIsNone(self.clipboard_data(1.2))
        self.copy_locally("héllo ✓ 日本")
        packet = self.clipboard_data(1.0)
        self.assertIsNotNone(packet, self.client.log())
        self.assertEqual(self.announced_text(packet), "héllo ✓ 日本")

        # The server asks for it with a target of the five and gets the same text back.
        self.session.send(["clipboard-request", 42, "CLIPBOARD", "TEXT"])
        answer = self.session.wait_for("clipboard-contents", timeout=5)
        self.assertEqual(answer, ["clipboard-contents", 42, "CLIPBOARD", "TEXT", 8, "bytes",
                                  "héllo ✓ 日本"])

    def test_a_server_text_can_be_read_back_and_is_not_echoed(self):
        self.start_session()
        text = "from the server: ünïcode ✓\nsecond line"
        self.session.send(["clipboard-token", "CLIPBOARD", ["UTF8_STRING"], "UTF8_STRING",
                           "UTF8_STRING", 8, "bytes", "placeholder"],
                          chunks={7: text.encode("utf-8")})
        self.assertTrue(wait_until(self.read_locally_is(text), 5, 0.1),
                        f"{self.read_locally()!r}\n{self.client.log()}")
        # Neither the thread's poll nor the event loop sends it back.
        self.assertIsNone(self.clipboard_data(2.0), self.client.log())

        # A second text, given as "clipboard-data" with only a "text/plain" entry.
        self.session.send(["clipboard-data", "CLIPBOARD", {"data": {
            "text/plain": ["text/plain", 8, "bytes", "plain text".encode("utf-8")]}}])
        self.assertTrue(wait_until(self.read_locally_is("plain text"), 5, 0.1),
                        f"{self.read_locally()!r}\n{self.client.log()}")
        self.assertIsNone(self.clipboard_data(1.5), self.client.log())

        # Then a local copy still goes out.
        self.copy_locally("local after server")
        packet = self.clipboard_data(1.0)
        self.assertIsNotNone(packet, self.client.log())
        self.assertEqual(self.announced_text(packet), "local after server")
        self.assertNotIn("failed to set the clipboard", self.client.log())

    def test_long_texts_go_both_ways_in_pieces(self):
        self.start_session()
        # 8 MiB held by xclip: far above what one property carries, so it comes in pieces.
        local = "".join(f"{n:07d}\n" for n in range(1 << 20))
        self.desktop.spawn_with_input("xclip", ["xclip", "-quiet", "-selection", "clipboard"],
                                      local)
        packet = self.clipboard_data(30.0)
        self.assertIsNotNone(packet, self.client.log())
        self.assertEqual(self.announced_text(packet), local)

        # About 4.5 MiB from the server, taken by xclip from nolv.
        remote = "ünï " * (3 << 18)
        self.send_server_text(remote)
        self.assertTrue(wait_until(lambda: self.read_target("UTF8_STRING") ==
                                   remote.encode("utf-8"), 30, 0.5), self.client.log())
        self.assertIsNone(self.clipboard_data(1.5), self.client.log())

    def test_a_server_text_is_served_in_each_text_target(self):
        self.start_session()
        text = "héllo ✓"
        self.send_server_text(text)
        self.assertTrue(wait_until(self.read_locally_is(text), 5, 0.1), self.client.log())
        utf8 = text.encode("utf-8")
        for target, expected in [("UTF8_STRING", utf8), ("TEXT", utf8),
                                 ("text/plain;charset=utf-8", utf8), ("text/plain", utf8),
                                 ("STRING", "héllo ?".encode("latin-1"))]:
            self.assertEqual(self.read_target(target), expected, target)
        targets = self.read_target("TARGETS").decode().split()
        for target in ("TARGETS", "UTF8_STRING", "STRING", "TEXT", "text/plain"):
            self.assertIn(target, targets)
        self.assertIsNone(self.read_target("image/png"))

    def test_a_text_with_a_nul_goes_both_ways_whole(self):
        self.start_session()
        self.send_server_text("before\0after")
        self.assertTrue(wait_until(lambda: self.read_target("UTF8_STRING") == b"before\0after",
                                   5, 0.1), f"{self.read_target('UTF8_STRING')!r}")
        # Not sent back cut at the NUL.
        self.assertIsNone(self.clipboard_data(1.5), self.client.log())

        self.desktop.spawn_with_input("xclip", ["xclip", "-quiet", "-selection", "clipboard"],
                                      "left\0right")
        packet = self.clipboard_data(5.0)
        self.assertIsNotNone(packet, self.client.log())
        self.assertEqual(self.announced_text(packet), "left\0right")

    def test_an_owner_that_never_answers_leaves_the_session_responsive(self):
        self.desktop.spawn("hung owner", ["/usr/bin/python3",
                                          os.path.join(HERE, "hung_clipboard_owner.py"), "120"],
                           log="owner.log")
        self.assertTrue(wait_until(lambda: "owner ready" in self.desktop.read("owner.log"), 15),
                        self.desktop.read("owner.log"))
        self.start_session()
        # Several polls run into the owner's silence meanwhile.
        trips = self.ping_round_trips(80)
        self.assertLess(self.percentile_95(trips), 0.1, sorted(trips))
        # A text from the server still reaches the clipboard, taken from the silent owner.
        self.send_server_text("past the silent owner")
        self.assertTrue(wait_until(self.read_locally_is("past the silent owner"), 10, 0.1),
                        self.client.log())


if __name__ == "__main__":
    unittest.main()
