#!/usr/bin/python3
"""The demo server: one client, one window whose picture keeps changing, sent as H.264 or JPEG
draws at 30 frames a second, on the test server's library (nolv_peer).

    /usr/bin/python3 tests/peer/picture_demo.py [--port=N] [--port-file=PATH]
        [--coding=h264|jpeg] [--frames=N] [--size=WxH]

--port=0 (the default) picks a free port; the port is printed on standard output as
"listening on 127.0.0.1:PORT" and written to --port-file when given. --frames=N stops after N
frames (0: run until the client leaves) and then says goodbye with "disconnect", so the client
ends as a session closed by its server; so does the user closing the window. The server ends when
its client disconnects.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pictures  # noqa: E402
from nolv_peer import Peer, PeerError  # noqa: E402

FRAME_INTERVAL = 1 / 30
# How long the demo waits for its one client.
ACCEPT_TIMEOUT = 3600
# How long the client gets to leave after the goodbye before the connection is cut.
GOODBYE_TIMEOUT = 10
# Room left above and left of the client area for a window manager's frame and title bar, which
# lie outside the area a server places.
FRAME_ROOM = 48


def start_session(session, timeout=30):
    """The start-up as a server runs it: waits for the client's hello, answers with the server's
    and completes the start-up. Returns the client's hello capabilities."""
    hello = session.wait_for("hello", timeout)
    session.send(["hello", {"version": "nolv-test-server demo"}])
    session.send(["startup-complete"])
    return hello[1] if len(hello) > 1 and isinstance(hello[1], dict) else {}


def _screen_area(caps):
    """(x, y, width, height) of the client's primary monitor (else its first), in the positions
    a server sends, which start at the top-left corner of all monitors; else the whole desktop;
    None when the hello says neither."""
    display = caps.get("display")
    display = display if isinstance(display, dict) else {}
    monitors = display.get("monitors")
    geometries = []
    for monitor in (monitors.values() if isinstance(monitors, dict) else []):
        geometry = monitor.get("geometry") if isinstance(monitor, dict) else None
        if (isinstance(geometry, list) and len(geometry) == 4
                and all(isinstance(v, int) for v in geometry)):
            geometries.append((bool(monitor.get("primary")), geometry))
    if geometries:
        min_x = min(g[0] for _, g in geometries)
        min_y = min(g[1] for _, g in geometries)
        x, y, width, height = next((g for primary, g in geometries if primary), geometries[0][1])
        return x - min_x, y - min_y, width, height
    size = display.get("desktop_size")
    if isinstance(size, list) and len(size) == 2 and all(isinstance(v, int) for v in size):
        return 0, 0, size[0], size[1]
    return None


def window_position(caps, width, height):
    """Where the demo window's client area goes: centred on the client's screen, and never so
    near its top-left corner that the window manager's frame would be cut off."""
    area = _screen_area(caps)
    if area is None:
        return FRAME_ROOM, FRAME_ROOM
    x, y, screen_width, screen_height = area
    return (x + max(FRAME_ROOM, (screen_width - width) // 2),
            y + max(FRAME_ROOM, (screen_height - height) // 2))


def open_window(wid, width, height, title, position=(0, 0)):
    return ["new-window", wid, position[0], position[1], width, height, {"title": title}]


def demo_frames(coding, width, height):
    source = f"testsrc2=size={width}x{height}:rate=30"
    if coding == "h264":
        return pictures.h264_access_units(source, 150)
    return pictures.jpeg_frames(source, 60)


def say_goodbye(session, reason):
    """Ends the session as a server does and waits a while for the client to leave."""
    session.send(["disconnect", reason])
    session.wait_closed(GOODBYE_TIMEOUT)


def run_demo(session, coding, width, height, frames, position):
    """Sends the draws, paced at 30 a second, until `frames` are sent (0: no limit), the user
    closes the window or the client leaves. Returns (draws sent, acknowledgements read, why it
    ended)."""
    wid = 1
    session.send(open_window(wid, width, height, f"nolv demo ({coding})", position))
    data = demo_frames(coding, width, height)
    options = {"full-range": False} if coding == "h264" else None
    sent = acks = 0
    next_at = time.monotonic()
    while not session.closed:
        if frames and sent == frames:
            say_goodbye(session, "demo finished")
            return sent, acks, "finished"
        sent += 1
        session.send(pictures.draw_items(wid, 0, 0, width, height, coding, sent, options),
                     chunks={7: data[(sent - 1) % len(data)]})
        next_at += FRAME_INTERVAL
        for packet in session.collect(max(0.0, next_at - time.monotonic())):
            acks += packet[0] == "window-ack"
            if packet[0] == "window-close" and packet[1:2] == [wid]:
                session.send(["lost-window", wid])
                say_goodbye(session, "demo window closed")
                return sent, acks, "window closed"
    return sent, acks, "client left"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--coding", choices=["h264", "jpeg"], default="h264")
    parser.add_argument("--frames", type=int, default=0)
    parser.add_argument("--size", default="640x360")
    args = parser.parse_args()
    if args.frames < 0:
        parser.error("--frames must be 0 or more")
    width, height = (int(v) for v in args.size.split("x"))
    with Peer.tcp(args.port) as peer:
        print(f"listening on {peer.address}", flush=True)
        if args.port_file:
            with open(args.port_file + ".tmp", "w") as f:
                f.write(f"{peer.port}\n")
            os.replace(args.port_file + ".tmp", args.port_file)
        try:
            session = peer.accept(timeout=ACCEPT_TIMEOUT)
            caps = start_session(session)
            position = window_position(caps, width, height)
            sent, acks, why = run_demo(session, args.coding, width, height, args.frames, position)
            print(f"sent {sent} draws, {acks} acknowledged; {why}", flush=True)
        except (PeerError, OSError) as e:
            print(f"demo ended: {e}", flush=True)


if __name__ == "__main__":
    main()
