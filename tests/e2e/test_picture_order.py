"""The real nolv, offscreen, against the test server: draws go from the reader straight to the
decode thread while windows are made and closed on the event loop, so a burst that closes a
window and opens one under the same id must still decode the new window's H.264 stream from its
first frame, and a stream for an id with no window must not leave its decoder behind to spoil
the stream of a window opened later under that id."""

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
        self.client = WatchedClient(self.peer.target, ["-v"])
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


if __name__ == "__main__":
    unittest.main()
