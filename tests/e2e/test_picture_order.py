"""The real nolv, offscreen, against the test server: draws go from the reader straight to the
decode thread while windows are made and closed on the event loop, so a burst that closes a
window and opens one under the same id must still decode the new window's H.264 stream from its
first frame, and a stream for an id with no window must not leave its decoder behind to spoil
the stream of a window opened later under that id. The answers to a burst leave in the order of
its draws, whichever window, outcome or coding, and a painted draw's only once it is shown."""

import random
import re
import time
import unittest

import picture_demo
import pictures
from nolv_peer import Peer, encode_server_packet
from watched_client import WatchedClient

SIDE = 64


class PictureOrder(unittest.TestCase):
    def start(self):
        self.peer = Peer.tcp()
        self.addCleanup(self.peer.close)
        self.client = WatchedClient(self.peer.target, ["-vv"])
        self.addCleanup(self.client.close)
        session = self.peer.accept(timeout=10)
        self.addCleanup(session.close)
        picture_demo.start_session(session)
        return session

    def acks(self, session, count):
        found = {}
        deadline = time.monotonic() + 60
        while len(found) < count and time.monotonic() < deadline:
            ack = session.wait_for("window-ack", max(1, deadline - time.monotonic()))
            found[ack[4]] = ack
        self.assertEqual(len(found), count, f"acks: {found}\n{self.client.log()}")
        return found

    def test_a_window_id_taken_again_decodes_its_new_stream_from_the_first_frame(self):
        session = self.start()
        # The streams go on after the burst has been answered: a release that reached the decode
        # thread later than its place in the burst would by then have taken the decoder they
        # continue on.
        units = pictures.h264_access_units(f"testsrc2=size={SIDE}x{SIDE}:rate=30", 8)
        first_half, second_half = units[:4], units[4:]
        options = {"full-range": False}

        def draw(wid, sequence, unit):
            return (pictures.draw_items(wid, 0, 0, SIDE, SIDE, "h264", sequence, options),
                    {7: unit})

        def send_at_once(packets):
            # One write, so that the client reads them all at once.
            session.send_raw(b"".join(
                encode_server_packet(*packet) if isinstance(packet, tuple) else
                encode_server_packet(packet) for packet in packets))

        burst = [picture_demo.open_window(1, SIDE, SIDE, "first"), draw(1, 1, units[0]),
                 draw(1, 2, units[1]), ["lost-window", 1],
                 picture_demo.open_window(1, SIDE, SIDE, "second")]
        burst += [draw(1, 10 + i, unit) for i, unit in enumerate(first_half)]
        # No window 9 yet: its decoder goes with the draw, before window 9's own stream.
        burst.append(draw(9, 3, units[0]))
        burst.append(picture_demo.open_window(9, SIDE, SIDE, "third"))
        burst += [draw(9, 30 + i, unit) for i, unit in enumerate(first_half)]
        send_at_once(burst)
        acks = self.acks(session, 3 + 2 * len(first_half))
        # The draws for a window that went or was not there yet are shown or answered as gone,
        # never failed in decoding.
        for sequence in (1, 2, 3):
            self.assertIn(acks[sequence][6], ("", "window not found!"), acks[sequence])
        send_at_once([draw(1, 10 + len(first_half) + i, unit) for i, unit in enumerate(second_half)]
                     + [draw(9, 30 + len(first_half) + i, unit)
                        for i, unit in enumerate(second_half)])
        acks.update(self.acks(session, 2 * len(second_half)))
        for sequence in [*range(10, 10 + len(units)), *range(30, 30 + len(units))]:
            self.assertEqual(acks[sequence][6], "", acks[sequence])
            self.assertGreaterEqual(acks[sequence][5], 0, acks[sequence])
        self.assertNotIn("decoding error", self.client.log())


    def test_answers_leave_in_the_order_of_the_draws_written_in_one_go(self):
        session = self.start()
        wids = (9, 3, 5)
        missing = 77
        for wid in wids:
            session.send(picture_demo.open_window(wid, SIDE, SIDE, f"order-{wid}"))
            self.assertEqual(session.wait_for("window-map", 30)[1], wid)
        side = SIDE // 2
        png = pictures.solid_png(side, side, 0x3070B0)
        # (kind, wid, coding, data): two painted draws for each window, so that one present
        # shows several, each at a corner chosen per round.
        kinds = []
        for wid in wids:
            kinds += [("painted", wid, "png", png), ("painted", wid, "png", png),
                      ("failed", wid, "jpeg", b"not a jpeg"),
                      ("unknown coding", wid, "bogus", b"\x00" * 16)]
        kinds += [("missing window", missing, "png", png)] * 2
        sequence = 1000
        shuffle = random.Random(19)
        for round_ in range(8):
            draws = []
            for kind, wid, coding, data in shuffle.sample(kinds, len(kinds)):
                sequence += 1
                x, y = shuffle.choice([(0, 0), (side, 0), (0, side), (side, side)])
                draws.append((kind, sequence,
                              pictures.draw_items(wid, x, y, side, side, coding, sequence), data))
            written = time.monotonic()
            session.send_raw(b"".join(encode_server_packet(items, {7: data})
                                      for _, _, items, data in draws))
            answers = []
            shown_when_answered = {}
            while len(answers) < len(draws):
                left = written + 60 - time.monotonic()
                self.assertGreater(left, 0, f"round {round_}: answers {answers}")
                ack = session.wait_for("window-ack", left)
                answers.append(ack)
                shown_when_answered[ack[4]] = self.shown_since_painted(ack[1], ack[4])
            self.assertEqual([ack[4] for ack in answers], [seq for _, seq, _, _ in draws],
                             f"round {round_}: {[(k, s) for k, s, _, _ in draws]}")
            for (kind, seq, items, _), ack in zip(draws, answers):
                self.assertEqual(ack[1:5], [items[1], side, side, seq], ack)
                if kind == "painted":
                    self.assertEqual(ack[6], "", ack)
                    self.assertGreaterEqual(ack[5], 0, ack)
                    self.assertTrue(shown_when_answered[seq], f"{seq} answered before shown")
                else:
                    self.assertEqual(ack[5], -1, (kind, ack))
                    want = {"failed": "invalid jpeg header", "unknown coding":
                            "unsupported encoding bogus", "missing window": "window not found!"}
                    self.assertTrue(ack[6].startswith(want[kind]), (kind, ack))
        self.assertIsNone(self.client.process.poll(), self.client.log())

    def shown_since_painted(self, wid, sequence):
        """Whether the log, read as the answer arrives, shows the window presented after the
        draw was painted: a painted draw's answer waits for that present."""
        log = self.client.log()
        painted = log.find(f"paint({sequence}, ")
        if painted < 0:
            return False
        return re.search(rf"perf: draw_screen wid={wid} ", log[painted:]) is not None


if __name__ == "__main__":
    unittest.main()
