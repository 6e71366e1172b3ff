"""A server that misbehaves gets its packet refused and nothing worse: lying size prefixes,
packets named like the client's own events, echoed times at the integer limits and floods of
bells, each against the real binary over a real socket."""
import os
import shutil
import tempfile
import time
import unittest

import test_session
from nolv_peer import COMPRESSION_LZ4, frame
from test_audio import PulseServer


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


class HostileServer(test_session.SessionCase):
    def assert_alive(self, session):
        """The session goes on: a ping is still answered."""
        session.send(["ping", 77, 0])
        echo = session.wait_for("ping-echo", timeout=10)
        self.assertEqual(echo[1], 77)
        return echo

    def test_size_prefixes_that_lie_cost_no_memory(self):
        session = self.start_session()
        pid = self.client.process.pid
        # Three chunks each claiming 256 MiB for one byte of output, then the main packet.
        lie = b"".join(frame(b"\x00\x00\x00\x10" + b"\x10a", index=i, flags=0,
                             compression=COMPRESSION_LZ4) for i in (1, 2, 3))
        packet = lie + frame(b"[draw, 1]")
        limit = rss_bytes(pid) + 256 * 1024 * 1024
        peak = 0
        for _ in range(41):
            session.send_raw(packet)
            for _ in range(5):
                peak = max(peak, rss_bytes(pid))
                if peak > limit:
                    self.client.process.kill()
                    self.fail(f"the client grew to {peak >> 20} MiB")
                time.sleep(0.01)
        self.assert_alive(session)
        peak = max(peak, rss_bytes(pid))
        self.assertLess(peak, limit)
        self.assertIn("dropping chunk 1: lz4 decompression failed: the size prefix 268435456 is "
                      "more than a block of 2 bytes can produce (510)", self.client.log())

    def test_packets_named_like_internal_events_are_unknown_types(self):
        session = self.start_session()
        forged = [["tray-exit"], ["audio-worker-failed", "gone"],
                  ["challenge-password", "chosen by the server"], ["interrupt", "Ctrl-C"],
                  ["draw-decoded", 1, 0, 0, 1, 1, "png", "", 1, 4],
                  ["draw-failed", 1, 0, 0, 1, 1, "png", "the server's own text", 1, 4],
                  ["connection-lost", "x"], ["invalid-packet", "x"], ["send-ping", ""]]
        for items in forged:
            session.send(items)
        self.assert_alive(session)
        self.assertEqual([p[0] for p in session.received], ["hello", "ping-echo"])
        log = self.client.log()
        for items in forged:
            self.assertIn(f"unhandled packet type {items[0]}\n", log)
        self.assertNotIn("exit requested from the system tray", log)
        self.assertNotIn("speaker forwarding disabled", log)
        self.assertIsNone(self.client.process.poll())

    def test_server_values_are_cut_in_the_log(self):
        session = self.start_session()
        title = "t" * (4 << 20)
        session.send(["new-window", 1, 0, 0, 100, 100, {"title": title}])
        session.send(["server-event", "e" * (4 << 20)])
        self.assert_alive(session)
        # A payload that is one huge string instead of a list ends the session.
        session.send_yaml("x" * (8 << 20))
        self.assertEqual(self.client.exit_code_within(15), 9)
        log = self.client.log()
        self.assertLess(len(log), 64 * 1024)
        cut = f"…[{(4 << 20) - 300} bytes cut]"
        self.assertIn('new window 0x1 : "' + "t" * 300 + cut + '"', log)
        self.assertIn("server event: " + "e" * 300 + cut, log)
        self.assertIn('packet is not an array: String("' + "x" * 292 + "…[", log)

    def test_echoed_times_at_the_integer_limits_never_store_a_negative_round_trip(self):
        session = self.start_session()
        for echoed in (-2**63, 2**63 - 1, -1):
            session.send(["ping_echo", echoed])
            round_trip = self.assert_alive(session)[5]
            self.assertGreaterEqual(round_trip, 0, echoed)


@unittest.skipUnless(shutil.which("pulseaudio") and shutil.which("pactl"),
                     "needs pulseaudio and pactl")
class BellFlood(test_session.SessionCase):
    def test_a_flood_of_bells_rings_a_few_at_once(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        os.chmod(tmp.name, 0o700)
        pulse = PulseServer(tmp.name)
        self.addCleanup(pulse.close)
        session = self.start(env={"PULSE_SERVER": pulse.env["PULSE_SERVER"]})
        session.send(["hello", {"version": "6.1"}])
        session.send(["startup-complete"])
        self.assertTrue(self.client.wait_for_log("startup complete!"), self.client.log())
        pid = self.client.process.pid
        before = thread_count(pid)
        for _ in range(300):
            session.send(["bell", 0, 0, 0, 440, 5000])
        self.assertEqual(session.collect(0.1), [])
        self.assertTrue(self.client.wait_for_log("dropping a bell: 4 are already ringing"))
        time.sleep(0.5)
        self.assertLessEqual(thread_count(pid) - before, 4)
        session.send(["ping", 5, 0])
        session.wait_for("ping-echo", timeout=10)
        self.assertIsNone(self.client.process.poll())


if __name__ == "__main__":
    unittest.main()
