"""The real nolv under Xvfb and openbox against the test server: a JPEG, a PNG, a WebP and an H.264
picture drawn side by side into one window show their colours on screen, and every draw is
acknowledged (decode time for a painted draw, -1 and the message for the others); a picture large
enough to be painted and presented in row bands shows whole at desktop scale 1.5."""

import os
import time
import unittest

import picture_demo
import pictures
from xsession import X11Case

TITLE = "pictures-e2e"
SIDE = 64
# (coding, colour, x of the tile)
TILES = [("jpeg", 0xC03020, 0), ("png", 0x20A040, 64), ("webp", 0x3050D0, 128),
         ("h264", 0xE0C010, 192)]
TOLERANCE = 14  # JPEG and limited-range H.264 of a solid colour come back within a few steps


def channels(rgb):
    return (rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF


def near(a, b):
    return all(abs(x - y) <= TOLERANCE for x, y in zip(channels(a), channels(b)))


class PicturesOnScreen(X11Case):
    def test_four_codings_show_and_every_draw_is_acknowledged(self):
        session = self.start(args=())
        picture_demo.start_session(session)
        session.send(picture_demo.open_window(1, SIDE * 4, SIDE, TITLE))

        h264 = pictures.h264_access_units(f"color=c=0xE0C010:size={SIDE}x{SIDE}:rate=30", 2)
        draws = []  # (sequence, items, data, expected decode time sign, expected message)
        seq = 100
        for coding, colour, x in TILES:
            if coding == "h264":
                seq += 1
                draws.append((seq, pictures.draw_items(1, x, 0, SIDE, SIDE, coding, seq),
                              pictures.h264_headers_only(h264[0]), "painted", ""))
                data = h264[0]
                options = {"full-range": False}
            else:
                data = pictures.picture(coding, SIDE, SIDE, colour)
                options = None
            seq += 1
            draws.append((seq, pictures.draw_items(1, x, 0, SIDE, SIDE, coding, seq, options),
                          data, "painted", ""))
        seq += 1
        draws.append((seq, pictures.draw_items(77, 0, 0, SIDE, SIDE, "png", seq),
                      pictures.solid_png(SIDE, SIDE, 0), "unpainted", "window not found!"))
        seq += 1
        draws.append((seq, pictures.draw_items(1, 0, 0, SIDE, SIDE, "jpeg", seq),
                      b"not a jpeg", "unpainted", "invalid jpeg header: "))
        for _, items, data, _, _ in draws:
            session.send(items, chunks={7: data})

        acks = {}
        deadline = time.monotonic() + 60
        while len(acks) < len(draws) and time.monotonic() < deadline:
            ack = session.wait_for("window-ack", max(1, deadline - time.monotonic()))
            acks[ack[4]] = ack
        self.assertEqual(len(acks), len(draws), f"acks: {acks}")
        for sequence, items, _, kind, message in draws:
            ack = acks[sequence]
            self.assertEqual(len(ack), 7)
            self.assertEqual(ack[1:4], [items[1], SIDE, SIDE])
            if kind == "painted":
                self.assertGreaterEqual(ack[5], 0, ack)
                self.assertEqual(ack[6], "", ack)
            else:
                self.assertEqual(ack[5], -1, ack)
                self.assertTrue(ack[6].startswith(message), ack)

        ox, oy = self.x.window_origin(TITLE)
        points = [(ox + x + SIDE // 2, oy + SIDE // 2) for _, _, x in TILES]
        shot = os.path.join(self.tmp, "shot.png")
        got = []
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            got = self.x.pixels(points, shot)
            if all(near(g, c) for g, (_, c, _) in zip(got, TILES)):
                break
            time.sleep(0.5)
        for g, (coding, colour, _) in zip(got, TILES):
            self.assertTrue(near(g, colour), f"{coding}: got {g:06x}, want {colour:06x}")


class LargePictureScaled(X11Case):
    SCREEN = "1920x1200"
    # Four quadrants of a 1000x600 picture; the window is 1500x900 on screen at scale 1.5.
    WIDTH, HEIGHT = 1000, 600
    QUADRANTS = [[0xC03020, 0x20A040], [0x3050D0, 0xE0C010]]  # [row][column]

    def quadrant_png(self):
        half_w, half_h = self.WIDTH // 2, self.HEIGHT // 2
        rows = []
        for colours in self.QUADRANTS:
            rows += ["(", "-size", f"{half_w}x{half_h}", *(f"xc:#{c:06x}" for c in colours),
                     "+append", ")"]
        return pictures._run([pictures.CONVERT, *rows, "-append", "PNG24:-"])

    def test_every_band_of_a_large_scaled_picture_shows(self):
        session = self.start(env={"NOLV_DESKTOP_SCALING": "1.5"})
        picture_demo.start_session(session)
        session.send(picture_demo.open_window(1, self.WIDTH, self.HEIGHT, TITLE))
        session.send(pictures.draw_items(1, 0, 0, self.WIDTH, self.HEIGHT, "png", 1),
                     chunks={7: self.quadrant_png()})
        ack = session.wait_for("window-ack", 60)
        self.assertEqual(ack[4:7:2], [1, ""], ack)

        ox, oy = self.x.window_origin(TITLE)
        local_w, local_h = self.WIDTH * 3 // 2, self.HEIGHT * 3 // 2
        # Every sixteenth of the height, at both edges and beside the middle of each half: a band
        # left out, or painted or presented from the wrong rows, shows the wrong colour.
        points, wanted = [], []
        for i in range(16):
            y = (local_h - 1) * i // 15
            for x in (0, local_w // 2 - 2, local_w // 2 + 1, local_w - 1):
                points.append((ox + x, oy + y))
                wanted.append(self.QUADRANTS[y * 2 // local_h][x * 2 // local_w])
        shot = os.path.join(self.tmp, "shot.png")
        got = []
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            got = self.x.pixels(points, shot)
            if got == wanted:
                break
            time.sleep(0.5)
        wrong = [(p, f"{g:06x}", f"{w:06x}") for p, g, w in zip(points, got, wanted) if g != w]
        self.assertEqual(wrong, [], self.log())


if __name__ == "__main__":
    unittest.main()
