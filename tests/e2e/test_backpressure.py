"""The real nolv binary under floods from the server: it stops reading while too much waits to
be dealt with, so its memory stays bounded, and it still answers every packet in order."""
import json
import os
import socket
import struct
import subprocess
import threading
import time
import unittest

from nolv_peer import Peer, encode_server_packet, frame, yaml_text
from pictures import draw_items
from watched_client import RSS_KILL_BYTES, WatchedClient

# Peak memory allowed for one 1080p window under any flood.
RSS_BOUND_BYTES = 600 * 1024 * 1024
# The address checker's shadow memory and redzones grow every allocation; in the sanitized run
# the bound would measure the checker as much as the client.
if os.environ.get("NOLV_SANITIZED"):
    RSS_BOUND_BYTES *= 2
# How long the server floods; long enough to pass the bound many times over when nothing
# stops the client from reading (it takes in gigabytes per second).
FLOOD_SECONDS = 8
WIDTH, HEIGHT = 1920, 1080
HEADER = struct.Struct(">BBBBI")


def noisy_jpeg(width, height):
    """A JPEG of noise: megabytes each, so a flood of them is heavy on the wire too."""
    return subprocess.run(["/usr/bin/convert", "-size", f"{width}x{height}", "xc:", "+noise",
                           "Random", "-quality", "90", "jpg:-"],
                          stdout=subprocess.PIPE, check=True, timeout=60).stdout


class PacketCollector:
    """Reads the client's packets on its own thread, straight from the socket, so that the
    flooding thread's sends are never disturbed by the session's timeouts."""

    def __init__(self, sock, buffered):
        # Blocking from here on, and never switched while the thread reads: switching a socket
        # to blocking marks it so before the descriptor follows, and a read that starts in
        # between fails with EAGAIN, which ends the collecting for good.
        sock.settimeout(None)
        self.sock = sock
        self.data = bytearray(buffered)
        self.packets = []
        self.lock = threading.Lock()
        self.ended = "still reading"  # why the reading stopped, for failure messages
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while True:
            try:
                chunk = self.sock.recv(1 << 20)
            except OSError as error:
                self.ended = f"read failed: {error!r}"
                return
            if not chunk:
                self.ended = "the client closed the connection"
                return
            self.data += chunk
            while len(self.data) >= 8:
                size = HEADER.unpack_from(self.data, 0)[4]
                if len(self.data) < 8 + size:
                    break
                packet = json.loads(bytes(self.data[8:8 + size]))
                del self.data[:8 + size]
                with self.lock:
                    self.packets.append(packet)

    def named(self, name):
        with self.lock:
            return [p for p in self.packets if p and p[0] == name]

    def wait_for_count(self, name, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.thread.is_alive():
            if len(self.named(name)) >= count:
                return True
            time.sleep(0.05)
        return len(self.named(name)) >= count


class FloodCase(unittest.TestCase):
    rss_kill_bytes = RSS_KILL_BYTES

    def start_session(self):
        self.peer = Peer.tcp()
        self.addCleanup(self.peer.close)
        self.client = WatchedClient(self.peer.target, rss_kill_bytes=self.rss_kill_bytes)
        self.addCleanup(self.client.close)
        self.session = self.peer.accept(timeout=10)
        self.addCleanup(self.session.close)
        self.session.expect("hello", timeout=10)
        self.session.send(["hello", {"version": "6.1"}])
        self.session.send(["startup-complete"])
        self.sock = self.session.stream.sock
        self.sock.settimeout(None)
        return self.session

    def flood(self, frame_for, seconds=FLOOD_SECONDS, stall_seconds=None):
        """Sends frame_for(0), frame_for(1), ... for `seconds`; with `stall_seconds`, stops early
        once one send has been blocked that long (the client no longer reads); without it the
        socket keeps its mode, which a PacketCollector reading it at the same time relies on.
        Returns the count of frames sent whole."""
        if stall_seconds is not None:
            self.sock.settimeout(stall_seconds)
        sent = 0
        deadline = time.monotonic() + seconds
        try:
            while time.monotonic() < deadline and self.client.process.poll() is None:
                self.sock.sendall(frame_for(sent))
                sent += 1
        except socket.timeout:
            pass  # the client stopped reading: TCP holds the server back
        except OSError:
            pass  # the client is gone; the memory check below says why
        return sent

    def assert_memory_bounded(self):
        self.assertLess(self.client.max_rss, RSS_BOUND_BYTES,
                        f"peak RSS {self.client.max_rss >> 20} MiB\n" + self.client.log()[-3000:])


class PictureFloodTest(FloodCase):
    def test_a_flood_of_1080p_jpeg_draws_is_painted_and_acknowledged_in_order_in_bounded_memory(
            self):
        session = self.start_session()
        session.send(["new-window", 1, 0, 0, WIDTH, HEIGHT, {"title": "flood"}])
        jpeg = noisy_jpeg(WIDTH, HEIGHT)
        collector = PacketCollector(self.sock, session.buffer)

        picture = frame(jpeg, index=7, flags=0)

        def draw(i):
            items = draw_items(1, 0, 0, WIDTH, HEIGHT, "jpeg", i + 1)
            return picture + frame(yaml_text(items).encode())

        sent = self.flood(draw)
        self.assertGreater(sent, 0)
        # Nothing dropped: every draw is acknowledged, painted, in the order it was sent.
        self.assertTrue(collector.wait_for_count("window-ack", sent, timeout=240),
                        f"{len(collector.named('window-ack'))} of {sent} draws acknowledged; "
                        f"client exit {self.client.process.poll()}, "
                        f"rss killed {self.client.rss_exceeded}, "
                        f"peak {self.client.max_rss >> 20} MiB, collector: {collector.ended}\n"
                        + self.client.log()[-3000:])
        acks = collector.named("window-ack")
        self.assertEqual([ack[4] for ack in acks], list(range(1, sent + 1)))
        self.assertTrue(all(ack[5] >= 0 and ack[6] == "" for ack in acks), acks[:3])
        self.assert_memory_bounded()
        print(f"{sent} draws, peak RSS {self.client.max_rss >> 20} MiB")


class PingFloodTest(FloodCase):
    def test_a_ping_flood_from_a_server_that_never_reads_leaves_memory_bounded(self):
        self.start_session()
        # Many packets to a send, as a server that writes without pause sends them; each carries
        # a text that its echo repeats.
        batch = b"".join(encode_server_packet(["ping", 1733822100123 + i, 0, "x" * 1000])
                         for i in range(500))
        self.flood(lambda i: batch, stall_seconds=5)
        self.assertIsNone(self.client.process.poll(), "the client ended\n" + self.client.log())
        self.assert_memory_bounded()
        print(f"peak RSS {self.client.max_rss >> 20} MiB")


if __name__ == "__main__":
    unittest.main()
