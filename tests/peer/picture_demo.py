#!/usr/bin/python3
"""The demo server: one client, one window whose picture keeps changing, sent as H.264 or JPEG
draws at 30 frames a second, on the test server's library (nolv_peer).

    /usr/bin/python3 tests/peer/picture_demo.py [--port=N] [--port-file=PATH]
        [--coding=h264|jpeg] [--frames=N] [--size=WxH]

--port=0 (the default) picks a free port; the port is printed on standard output as
"listening on 127.0.0.1:PORT" and written to --port-file when given. --frames=N stops after N
frames (0: run until the client leaves). The server ends when its client disconnects.
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


def start_session(session, timeout=30):
    """Waits for the client's hello and answers with the server's."""
    session.wait_for("hello", timeout)
    session.send(["hello", {"version": "nolv-test-server demo"}])


def open_window(wid, width, height, title):
    return ["new-window", wid, 0, 0, width, height, {"title": title}]


def demo_frames(coding, width, height):
    source = f"testsrc2=size={width}x{height}:rate=30"
    if coding == "h264":
        return pictures.h264_access_units(source, 150)
    return pictures.jpeg_frames(source, 60)


def run_demo(session, coding, width, height, frames):
    """Sends the draws, paced at 30 a second; returns (draws sent, acknowledgements read)."""
    wid = 1
    session.send(open_window(wid, width, height, f"nolv demo ({coding})"))
    data = demo_frames(coding, width, height)
    options = {"full-range": False} if coding == "h264" else None
    sent = acks = 0
    next_at = time.monotonic()
    while (frames == 0 or sent < frames) and not session.closed:
        sent += 1
        session.send(pictures.draw_items(wid, 0, 0, width, height, coding, sent, options),
                     chunks={7: data[(sent - 1) % len(data)]})
        next_at += FRAME_INTERVAL
        for packet in session.collect(max(0.0, next_at - time.monotonic())):
            acks += packet[0] == "window-ack"
    return sent, acks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--coding", choices=["h264", "jpeg"], default="h264")
    parser.add_argument("--frames", type=int, default=0)
    parser.add_argument("--size", default="640x360")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    with Peer.tcp(args.port) as peer:
        print(f"listening on {peer.address}", flush=True)
        if args.port_file:
            with open(args.port_file + ".tmp", "w") as f:
                f.write(f"{peer.port}\n")
            os.replace(args.port_file + ".tmp", args.port_file)
        try:
            session = peer.accept(timeout=ACCEPT_TIMEOUT)
            start_session(session)
            sent, acks = run_demo(session, args.coding, width, height, args.frames)
            print(f"sent {sent} draws, {acks} acknowledged", flush=True)
        except (PeerError, OSError) as e:
            print(f"demo ended: {e}", flush=True)


if __name__ == "__main__":
    main()
