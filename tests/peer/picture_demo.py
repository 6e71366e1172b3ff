#!/usr/bin/python3
"""The demo server: one client, one window whose picture keeps changing, sent as H.264 or JPEG
draws at 30 frames a second. Every draw the client acknowledges is counted.

    /usr/bin/python3 tests/peer/picture_demo.py [--port=N] [--port-file=PATH]
        [--coding=h264|jpeg] [--frames=N] [--size=WxH]

--port=0 (the default) picks a free port; the port is printed on standard output as
"listening on 127.0.0.1:PORT" and written to --port-file when given. --frames=N stops after N
frames (0: run until the client leaves). The server ends when its client disconnects.
"""

import argparse
import json
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pictures  # noqa: E402

HEADER = struct.Struct(">BBBBI")
TEXT_PAYLOAD = 0x04
MAX_PAYLOAD = 64 * 1024 * 1024


class Wire:
    """Packets over one connected socket: JSON text out (JSON is YAML too), raw chunks before
    the main packet; the client's JSON packets in."""

    def __init__(self, sock):
        self.sock = sock
        self.buffer = b""

    def send(self, items, chunks=None):
        out = b""
        for index, data in sorted((chunks or {}).items()):
            out += HEADER.pack(0x50, 0, 0, index, len(data)) + data
        text = json.dumps(items, separators=(",", ":")).encode()
        out += HEADER.pack(0x50, TEXT_PAYLOAD, 0, 0, len(text)) + text
        self.sock.sendall(out)

    def _fill(self, n):
        while len(self.buffer) < n:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed")
            self.buffer += data

    def recv(self):
        """The next packet of the client as a list of items. Nothing is consumed until the
        whole packet is there, so a non-blocking socket may be read with it."""
        self._fill(8)
        magic, _flags, _compression, _index, size = HEADER.unpack(self.buffer[:8])
        if magic != 0x50 or size > MAX_PAYLOAD:
            raise ValueError(f"bad packet header from the client: {magic} {size}")
        self._fill(8 + size)
        payload, self.buffer = self.buffer[8:8 + size], self.buffer[8 + size:]
        return json.loads(payload)

    def recv_until(self, name, timeout):
        """Reads packets until one named `name` arrives; the ones before it are returned too."""
        self.sock.settimeout(timeout)
        seen = []
        try:
            while True:
                packet = self.recv()
                seen.append(packet)
                if packet and packet[0] == name:
                    return packet, seen
        finally:
            self.sock.settimeout(None)


def listen(port):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", port))
    server.listen(1)
    return server


def start_session(wire, timeout=30):
    """Waits for the client's hello and answers with the server's."""
    wire.recv_until("hello", timeout)
    wire.send(["hello", {"version": "nolv-test-server 1"}])


def open_window(wid, width, height, title):
    return ["new-window", wid, 0, 0, width, height, {"title": title}]


def demo_frames(coding, width, height):
    source = f"testsrc2=size={width}x{height}:rate=30"
    if coding == "h264":
        return pictures.h264_access_units(source, 150)
    return pictures.jpeg_frames(source, 60)


def run_demo(wire, coding, width, height, frames):
    wid = 1
    wire.send(open_window(wid, width, height, f"nolv demo ({coding})"))
    pictures_data = demo_frames(coding, width, height)
    options = {"full-range": False} if coding == "h264" else None
    acks = 0
    wire.sock.setblocking(False)
    sequence = 0
    next_at = time.monotonic()
    while frames == 0 or sequence < frames:
        data = pictures_data[sequence % len(pictures_data)]
        sequence += 1
        wire.sock.setblocking(True)
        wire.send(pictures.draw_items(wid, 0, 0, width, height, coding, sequence, options),
                  {7: data})
        wire.sock.setblocking(False)
        # Count what the client sent meanwhile; a closed connection ends the demo.
        try:
            while True:
                packet = wire.recv()
                if packet and packet[0] == "window-ack":
                    acks += 1
        except (BlockingIOError, InterruptedError):
            pass
        next_at += 1 / 30
        time.sleep(max(0.0, next_at - time.monotonic()))
    return sequence, acks


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--coding", choices=["h264", "jpeg"], default="h264")
    parser.add_argument("--frames", type=int, default=0)
    parser.add_argument("--size", default="640x360")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.split("x"))
    server = listen(args.port)
    port = server.getsockname()[1]
    print(f"listening on 127.0.0.1:{port}", flush=True)
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write(f"{port}\n")
        os.replace(args.port_file + ".tmp", args.port_file)
    conn, _ = server.accept()
    server.close()
    wire = Wire(conn)
    try:
        start_session(wire)
        sent, acks = run_demo(wire, args.coding, width, height, args.frames)
        print(f"sent {sent} draws, {acks} acknowledged", flush=True)
    except (EOFError, ConnectionError, socket.timeout) as e:
        print(f"client gone: {e}", flush=True)
    finally:
        conn.close()


if __name__ == "__main__":
    main()
