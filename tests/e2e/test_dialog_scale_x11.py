"""The real connection dialog at fractional desktop scales (Xft/DPI 120, 144, 168 and 192 from an
XSETTINGS manager, as desktop settings daemons serve it): read back from the screen, every label,
value, placeholder, button text and the footer is drawn whole in the dialog's own font, and none
of them runs into a field, a button or another text."""

import math
import os
import subprocess
import time
import unittest

from test_real_desktops_x11 import BACKGROUND, DesktopCase, XSettings
from xsession import DEFAULT_TIMEOUT, NOLV, stop_process

HERE = os.path.dirname(os.path.abspath(__file__))
FONT = os.path.join(HERE, "..", "..", "src", "client", "font_8x16.inc")

TEXT = 0xE0E0E0
DIM = 0x909090
FIELD_FILL = 0x181818
BUTTON_FILL = 0x2E2E2E
FOCUS = 0x599EFF

# (text, colour, where it belongs: "field N", "button N" or None for the dialog itself)
TEXTS = [
    ("Connect to an Nolv server", TEXT, None),
    ("Protocol", TEXT, None), ("Host", TEXT, None), ("Port", TEXT, None),
    ("Username", TEXT, None), ("Password", TEXT, None),
    ("tcp", TEXT, "field 0"), ("hostname or IP address", DIM, "field 1"),
    ("10000", TEXT, "field 2"), ("optional", DIM, "field 3"), ("optional", DIM, "field 4"),
    ("Cancel", TEXT, "button 0"), ("Connect", TEXT, "button 1"),
    ("Enter=connect  Esc=cancel", DIM, None),
]


def load_font():
    """The glyph rows of the dialog's 8x16 font, from the table the client is built with."""
    values = []
    with open(FONT) as f:
        for line in f:
            code = line.split("//")[0]
            values += [int(v, 16) for v in code.replace(",", " ").split()]
    return {chr(0x20 + i): values[i * 16:(i + 1) * 16] for i in range(len(values) // 16)}


def ink(font, text, scale):
    """The set of (dx, dy) a text covers at a whole scale; bit b of a row is column b."""
    out = set()
    for n, ch in enumerate(text):
        for row, bits in enumerate(font[ch]):
            for b in range(8):
                if (bits >> b) & 1:
                    for sy in range(scale):
                        for sx in range(scale):
                            out.add((n * 8 * scale + b * scale + sx, row * scale + sy))
    return out


class Frame:
    """One capture of a window's client area as rows of 0xRRGGBB."""

    def __init__(self, raw, width, height):
        self.width, self.height = width, height
        self.px = [[(raw[i] << 16) | (raw[i + 1] << 8) | raw[i + 2]
                    for i in range(y * width * 3, (y + 1) * width * 3, 3)] for y in range(height)]

    def boxes(self, fill):
        """Bounding boxes (x, y, w, h) of the areas of one fill colour, each grown by its
        one-pixel border; areas of a few pixels (inside glyphs) are not boxes."""
        seen = [[False] * self.width for _ in range(self.height)]
        out = []
        for y in range(self.height):
            for x in range(self.width):
                if seen[y][x] or self.px[y][x] != fill:
                    continue
                stack, x0, y0, x1, y1, count = [(x, y)], x, y, x, y, 0
                seen[y][x] = True
                while stack:
                    cx, cy = stack.pop()
                    count += 1
                    x0, y0, x1, y1 = min(x0, cx), min(y0, cy), max(x1, cx), max(y1, cy)
                    for nx, ny in ((cx + 1, cy), (cx - 1, cy), (cx, cy + 1), (cx, cy - 1)):
                        if (0 <= nx < self.width and 0 <= ny < self.height
                                and not seen[ny][nx] and self.px[ny][nx] == fill):
                            seen[ny][nx] = True
                            stack.append((nx, ny))
                if count >= 100:
                    out.append((x0 - 1, y0 - 1, x1 - x0 + 3, y1 - y0 + 3))
        return sorted(out, key=lambda b: (b[1], b[0]))

    def find_text(self, shape, width, height, colour):
        """Top-left corners where the text's cells show exactly its shape in its colour."""
        anchor = min(shape, key=lambda p: (p[1], p[0]))
        strokes = sorted(shape, key=lambda p: (p[1], p[0]))
        gaps = [(dx, dy) for dy in range(height) for dx in range(width) if (dx, dy) not in shape]
        px = self.px
        found = []
        for y in range(self.height):
            for x in range(self.width):
                if px[y][x] != colour:
                    continue
                ox, oy = x - anchor[0], y - anchor[1]
                if ox < 0 or oy < 0 or ox + width > self.width or oy + height > self.height:
                    continue
                if (all(px[oy + dy][ox + dx] == colour for dx, dy in strokes)
                        and all(px[oy + dy][ox + dx] != colour for dx, dy in gaps)):
                    found.append((ox, oy))
        return found


def layout(value):
    """A layout length: halves round away from zero."""
    return math.floor(value + 0.5)


def overlaps(a, b):
    return a[0] < b[0] + b[2] and b[0] < a[0] + a[2] and a[1] < b[1] + b[3] and b[1] < a[1] + a[3]


def inside(inner, outer):
    """Within the box and clear of its border."""
    return (outer[0] < inner[0] and inner[0] + inner[2] < outer[0] + outer[2]
            and outer[1] < inner[1] and inner[1] + inner[3] < outer[1] + outer[3])


class ScaledConnectionDialog(DesktopCase):
    SCREEN = "1280x900"
    DPIS = (120, 144, 168, 192)

    def setUp(self):
        super().setUp()
        self.font = load_font()

    def capture(self, window):
        shot = os.path.join(self.tmp, "dialog.png")
        self.x.run("/usr/bin/import", "-window", window, f"png:{shot}")
        w, h = map(int, subprocess.run(["/usr/bin/identify", "-format", "%w %h", shot],
                                       stdout=subprocess.PIPE, check=True,
                                       timeout=DEFAULT_TIMEOUT).stdout.split())
        raw = subprocess.run(["/usr/bin/convert", shot, "-depth", "8", "rgb:-"],
                             stdout=subprocess.PIPE, check=True, timeout=DEFAULT_TIMEOUT).stdout
        return Frame(raw, w, h)

    def locate(self, frame, text, colour, scale_limit):
        """(x, y, w, h) of each place the text is drawn whole, at any whole scale."""
        found = []
        for scale in range(1, scale_limit + 1):
            width = 8 * scale * len(text)
            for x, y in frame.find_text(ink(self.font, text, scale), width, 16 * scale,
                                         colour):
                found.append((x, y, width, 16 * scale))
        return found

    def check_dialog(self, dpi):
        scale = dpi / 96
        settings = XSettings(self.x.env, dpi)
        try:
            self.run_dialog(settings, scale)
        finally:
            settings.close()
            if self.client is not None:
                stop_process(self.client)
                self.client = None

    def run_dialog(self, settings, scale):
        with open(self.log_path, "w") as log:
            self.client = subprocess.Popen([NOLV, "-v"], env=self.x.env, stdout=log,
                                           stderr=subprocess.STDOUT)
        dialog = self.x.find_window("Connect to an Nolv server")
        size = (layout(420 * scale), layout(270 * scale))
        self.wait_geometry(dialog, self.x.geometry(dialog)[:2] + size)
        self.wait_colour(dialog, [(3, 3), (size[0] - 4, size[1] // 2)], BACKGROUND)
        # The caret starts over the Host placeholder; Tab takes it to the end of the port.
        self.x.run("xdotool", "windowactivate", "--sync", dialog)
        self.x.run("xdotool", "key", "Tab")
        frame = self.capture_when_focused(dialog, scale)
        fields = frame.boxes(FIELD_FILL)
        buttons = frame.boxes(BUTTON_FILL)
        self.assertEqual(len(fields), 5, fields)
        self.assertEqual(len(buttons), 2, buttons)
        buttons.sort()
        containers = {f"field {n}": box for n, box in enumerate(fields)}
        containers.update({f"button {n}": box for n, box in enumerate(buttons)})
        placed = []
        for text, colour, container in TEXTS:
            spots = [s for s in self.locate(frame, text, colour, 4) if s not in placed]
            self.assertTrue(spots, f"{text!r} is not drawn whole at {scale}")
            # "Connect" is in the title too: the one in its button counts.
            if container is not None:
                spots.sort(key=lambda s: not inside(s, containers[container]))
            spot = spots[0]
            placed.append(spot)
            # A text is never drawn larger than the layout around it.
            self.assertLessEqual(spot[3], 16 * scale, f"{text!r} at {spot}")
            if container is not None:
                self.assertTrue(inside(spot, containers[container]),
                                f"{text!r} at {spot} is not inside {container} "
                                f"{containers[container]}")
            else:
                for name, box in containers.items():
                    self.assertFalse(overlaps(spot, box), f"{text!r} at {spot} runs into "
                                                          f"{name} {box}")
        for i, a in enumerate(placed):
            for b in placed[i + 1:]:
                self.assertFalse(overlaps(a, b), f"texts at {a} and {b} overlap")
        for a in fields + buttons:
            for b in fields + buttons:
                if a != b:
                    self.assertFalse(overlaps(a, b), f"boxes {a} and {b} overlap")
        self.x.run("xdotool", "key", "Escape")
        self.assertEqual(self.client.wait(timeout=10), 0, self.log())
        self.client = None

    def capture_when_focused(self, dialog, scale):
        """A capture once the Port field's border shows the focus colour."""
        port_x, port_y = layout(96 * scale), layout(108 * scale)
        deadline = time.monotonic() + 10
        frame = self.capture(dialog)
        while frame.px[port_y][port_x] != FOCUS and time.monotonic() < deadline:
            time.sleep(0.2)
            frame = self.capture(dialog)
        self.assertEqual(frame.px[port_y][port_x], FOCUS, self.log())
        return frame

    def test_every_text_fits_its_place_at_fractional_scales(self):
        for dpi in self.DPIS:
            with self.subTest(dpi=dpi):
                self.check_dialog(dpi)


if __name__ == "__main__":
    unittest.main()
