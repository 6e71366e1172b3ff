"""The real nolv binary under floods of draws that cost far more than their bytes on the wire:
huge lists that take many times their text once parsed, and tiny H.264 frames that take
milliseconds each to decode. Its memory stays bounded, pings do not wait behind a backlog of
draws, and every draw is still answered in order."""
import os
import socket
import subprocess
import unittest

from nolv_peer import encode_server_packet, frame, yaml_text
from pictures import draw_items, h264_access_units
from test_backpressure import HEIGHT, WIDTH, FloodCase, PacketCollector


class ParsedValuesFloodTest(FloodCase):
    """Slow 8192x8192 draws, each carrying a list of half a million one-digit numbers: two bytes
    a value on the wire, tens of bytes once parsed."""

    DRAWS = 40
    VALUES = 500_000
    # Two pictures of 256 MiB (one decoding, one waiting to be painted), the decoder's
    # coefficients of a progressive picture, and the session's budget of parsed lists. Charged
    # at their bytes on the wire, the lists of the forty draws alone would take over 1 GiB.
    PEAK_BOUND_BYTES = 1280 * 1024 * 1024 * (2 if os.environ.get("NOLV_SANITIZED") else 1)
    rss_kill_bytes = PEAK_BOUND_BYTES + (256 << 20)

    def test_draws_with_huge_lists_are_charged_at_what_they_take_in_memory(self):
        session = self.start_session()
        session.send(["new-window", 1, 0, 0, 1024, 768, {"title": "lists"}])
        # Progressive: a second to decode, so the reader runs far ahead of the decoder.
        side = 8192
        jpeg = subprocess.run(["/usr/bin/convert", "-size", f"{side}x{side}", "xc:#336699",
                               "-interlace", "Plane", "jpg:-"],
                              stdout=subprocess.PIPE, check=True, timeout=60).stdout
        values = "[" + ",".join(["0"] * self.VALUES) + "]"
        collector = PacketCollector(self.sock, session.buffer)
        for sequence in range(1, self.DRAWS + 1):
            items = yaml_text(draw_items(1, 0, 0, side, side, "jpeg", sequence))
            text = items[:-1] + ", " + values + "]"
            try:
                self.sock.sendall(frame(jpeg, index=7, flags=0) + frame(text.encode()))
            except OSError:
                break  # the client is gone; the checks below say why
        self.assertTrue(collector.wait_for_count("window-ack", self.DRAWS, timeout=180),
                        f"{len(collector.named('window-ack'))} of {self.DRAWS} draws "
                        f"acknowledged; client exit {self.client.process.poll()}, "
                        f"killed for memory {self.client.rss_exceeded}, peak "
                        f"{self.client.peak_rss >> 20} MiB\n" + self.client.log()[-3000:])
        acks = collector.named("window-ack")
        self.assertEqual([ack[4] for ack in acks], list(range(1, self.DRAWS + 1)))
        self.assertTrue(all(ack[5] >= 0 and ack[6] == "" for ack in acks), acks[:3])
        self.assertLess(self.client.peak_rss, self.PEAK_BOUND_BYTES,
                        f"peak RSS {self.client.peak_rss >> 20} MiB")
        print(f"peak RSS {self.client.peak_rss >> 20} MiB")


class TinyDrawFloodTest(FloodCase):
    """Static 1080p H.264 frames of about a hundred bytes, each a few milliseconds of decoding,
    sent without waiting for their answers. The server's own socket buffer is kept small: what it
    holds lies beyond the client's reach, which can only bound what it has read itself."""

    DRAWS = 6000
    PING_EVERY = 200
    # Draws read ahead of a ping and not yet answered when it is echoed: those the session lets
    # wait to be decoded and painted (kMaxWaitingDraws, 128), and those painted but not yet
    # presented.
    DRAWS_AHEAD_OF_A_PING = 2 * 128
    # Answers the server gets while one ping waits for its echo: the draws ahead of it in the
    # client's socket buffer as well (a few hundred kilobytes of them). A reader that stops at
    # the session's byte budget holds a hundred thousand such draws.
    ANSWERS_WHILE_A_PING_WAITS = 4000

    def test_pings_in_a_flood_of_tiny_draws_wait_behind_a_bounded_number_of_draws(self):
        session = self.start_session()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 16 * 1024)
        session.send(["new-window", 1, 0, 0, WIDTH, HEIGHT, {"title": "flood"}])
        units = h264_access_units(f"color=c=0x336699:size={WIDTH}x{HEIGHT}:rate=30", 2)
        self.assertLess(len(units[1]), 200)
        collector = PacketCollector(self.sock, session.buffer)

        def draw(sequence):
            unit = units[0] if sequence == 1 else units[1]
            items = draw_items(1, 0, 0, WIDTH, HEIGHT, "h264", sequence)
            return frame(unit, index=7, flags=0) + frame(yaml_text(items).encode())

        acks_when_pinged = {}
        for first in range(1, self.DRAWS + 1, self.PING_EVERY):
            last = min(first + self.PING_EVERY, self.DRAWS + 1)
            self.sock.sendall(b"".join(draw(i) for i in range(first, last)))
            acks_when_pinged[last - 1] = len(collector.named("window-ack"))
            self.sock.sendall(encode_server_packet(["ping", last - 1, 0]))
        pings = len(acks_when_pinged)

        self.assertTrue(collector.wait_for_count("ping-echo", pings, timeout=120),
                        f"{len(collector.named('ping-echo'))} of {pings} pings echoed\n"
                        + self.client.log()[-3000:])
        self.assertTrue(collector.wait_for_count("window-ack", self.DRAWS, timeout=120),
                        f"{len(collector.named('window-ack'))} of {self.DRAWS} draws acknowledged"
                        f"\n" + self.client.log()[-3000:])
        with collector.lock:
            packets = list(collector.packets)
        acks = [p for p in packets if p[0] == "window-ack"]
        self.assertEqual([ack[4] for ack in acks], list(range(1, self.DRAWS + 1)))
        self.assertTrue(all(ack[5] >= 0 and ack[6] == "" for ack in acks),
                        [ack for ack in acks if ack[5] < 0][:3])

        # Where each echo comes among the answers: how many draws sent before the ping were
        # still unanswered, and how many answers came while it waited.
        ahead, waited, answered = {}, {}, 0
        for packet in packets:
            if packet[0] == "window-ack":
                answered += 1
            elif packet[0] == "ping-echo":
                sent_before = packet[1]
                ahead[sent_before] = sent_before - answered
                waited[sent_before] = answered - acks_when_pinged[sent_before]
        self.assertEqual(sorted(ahead), sorted(acks_when_pinged))
        report = f"draws ahead {ahead}\nanswers while waiting {waited}"
        self.assertLessEqual(max(ahead.values()), self.DRAWS_AHEAD_OF_A_PING, report)
        self.assertLessEqual(max(waited.values()), self.ANSWERS_WHILE_A_PING_WAITS, report)
        self.assert_memory_bounded()
        print(f"most draws ahead of a ping {max(ahead.values())}, most answers while one waited "
              f"{max(waited.values())}, peak RSS {self.client.max_rss >> 20} MiB")


if __name__ == "__main__":
    unittest.main()
