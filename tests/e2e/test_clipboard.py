"""The real nolv under Xvfb keeping the X clipboard in step with the scripted server, with xclip
as the other program: a local copy reaches the server as "clipboard-data" within a second, the
text present at start is not announced, a text sent by the server is read back with xclip, and
neither side echoes what the other gave it."""

import time
import unittest

from desktop import DesktopCase, wait_until
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


if __name__ == "__main__":
    unittest.main()
