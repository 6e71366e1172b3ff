#!/usr/bin/python3
"""nolv_peer: the scripted test server that every end-to-end test of nolv talks to.

It listens on 127.0.0.1 (tcp, TLS, ws, wss) or speaks on its own standard input and output (the
ssh transport runs it as the remote command), sends server packets (YAML text, raw chunks, LZ4
payloads, or any bytes at all) and reads the client's packets (JSON text behind the 8-byte
header). Run it with Debian's /usr/bin/python3 (python3-yaml, python3-lz4, python3-websockets).

Wire format, as both sides frame it:

    header  = 0x50, flags, compression, chunk index, payload size (32-bit big-endian)
    server packet = up to 3 raw chunks (index 1..15) then the main packet (index 0, flags 0x04,
                    YAML text); compression 0x10 = size-prefixed LZ4 block
    client packet = 0x50 0x04 0x00 0x00 size, then compact JSON text

Library use (every wait is bounded; a missed expectation raises PeerError):

    from nolv_peer import Peer

    with Peer.tcp() as peer:                    # also Peer.tls(cert, key), Peer.ws(), Peer.wss(..)
        client = start_nolv(peer.target)        # "tcp://127.0.0.1:PORT/" (ssl://, ws://, wss://)
        session = peer.accept(timeout=10)
        hello = session.wait_for("hello")       # the client's packet as a Python list
        session.send(["hello", {"version": "x"}])
        session.send(["draw", 1, 0, 0, 4, 4, "png", b"", 1, 16, {}], chunks={7: png},
                     compress_chunks=True)
        session.send_yaml("[ping, 5]")          # exact payload text
        session.send_raw(frame(b"[x]", flags=0))  # any bytes
        session.expect("ping-echo", timeout=5)  # the very next packet must be this one
        session.close()

Building blocks: `frame(payload, index=0, flags=0x04, compression=0)` makes one framed payload,
`lz4_block(data, size=None)` the size-prefixed LZ4 payload (`size` overrides the prefix),
`yaml_text(items)` the one-line YAML text of a list, `encode_client_packet(items)` what the
client writes, `make_certificates(directory)` a test CA and a localhost server certificate.

Scenarios: `run_script(session, steps)` runs a list of steps, each a one-key mapping:

    {"send": [items...]}        optional "chunks": {index: base64}, "compress": true
    {"send_yaml": "text"}       {"send_raw": "hex bytes"}
    {"expect": "name"}          the next client packet is named so (optional "timeout")
    {"wait_for": "name"}        skip other packets until one is named so
    {"sleep": seconds}          {"close": null}      {"wait_closed": seconds}

Command line (prints "listening on 127.0.0.1:PORT" when listening, and writes the port to
--port-file when given; with --script runs the scenario on the first client, else echoes every
client packet to standard error as JSON lines until the client leaves):

    /usr/bin/python3 nolv_peer.py [--transport=tcp|tls|ws|wss|stdio] [--port=0]
        [--port-file=PATH] [--cert=PEM --key=PEM] [--script=FILE.yaml|json] [--timeout=S]
"""

import argparse
import array
import asyncio
import base64
import fcntl
import json
import os
import queue
import select
import socket
import ssl
import struct
import subprocess
import sys
import termios
import threading
import time

import lz4.block
import yaml

HEADER = struct.Struct(">BBBBI")
MAGIC = 0x50
FLAG_TEXT = 0x04
COMPRESSION_LZ4 = 0x10
# The client never sends more than this in one packet; a larger size means a broken stream.
MAX_CLIENT_PAYLOAD = 256 * 1024 * 1024
DEFAULT_TIMEOUT = 10.0


class PeerError(Exception):
    """A scenario expectation failed, or the client broke the protocol."""


class PeerTimeout(PeerError):
    """Nothing (or not enough) arrived in time."""


class PeerClosed(PeerError):
    """The client closed the connection."""


# ---------------------------------------------------------------------------------------------
# Encoding


def frame(payload, index=0, flags=FLAG_TEXT, compression=0, size=None):
    """One header and its payload. `size` overrides the header's payload size."""
    return HEADER.pack(MAGIC, flags, compression, index,
                       len(payload) if size is None else size) + payload


def lz4_block(data, size=None):
    """The size-prefixed LZ4 payload: 4-byte little-endian size, then one LZ4 block."""
    block = lz4.block.compress(data, store_size=True)
    if size is not None:
        block = struct.pack("<I", size) + block[4:]
    return block


def _plain(value):
    """Python values as YAML would carry them: bytes become base64 text."""
    if isinstance(value, (bytes, bytearray)):
        return base64.b64encode(bytes(value)).decode("ascii")
    if isinstance(value, (list, tuple)):
        return [_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: _plain(v) for k, v in value.items()}
    return value


def yaml_text(items):
    """One-line YAML (flow style) for a list of items, keys in the order given."""
    return yaml.safe_dump(_plain(list(items)), default_flow_style=True, allow_unicode=True,
                          sort_keys=False, width=1 << 30).rstrip("\n")


def encode_server_packet(items=None, chunks=None, compress=False, compress_chunks=False,
                         text=None):
    """The bytes of one server packet: the chunks (index -> bytes, sent in index order), then
    the main packet with `text` (str or bytes) or the YAML of `items`."""
    out = b""
    for index, data in sorted((chunks or {}).items()):
        if compress_chunks:
            out += frame(lz4_block(data), index=index, flags=0, compression=COMPRESSION_LZ4)
        else:
            out += frame(bytes(data), index=index, flags=0)
    payload = text if text is not None else yaml_text(items)
    if isinstance(payload, str):
        payload = payload.encode("utf-8")
    if compress:
        out += frame(lz4_block(payload), compression=COMPRESSION_LZ4)
    else:
        out += frame(payload)
    return out


def encode_client_packet(items):
    """What the client writes for a packet: its header and compact JSON with sorted keys."""
    text = json.dumps(items, separators=(",", ":"), sort_keys=True,
                      ensure_ascii=False).encode("utf-8")
    return frame(text)


# ---------------------------------------------------------------------------------------------
# Byte streams: the same blocking interface over a socket, a websocket or standard input/output


class _Stream:
    def send(self, data, timeout=DEFAULT_TIMEOUT):
        raise NotImplementedError

    def raw_socket(self):
        """The connection's socket (for its kernel queues); None for pipes."""
        return None

    def pause_reading(self):
        """Stops taking the client's bytes off the socket; a plain socket is only read on
        demand anyway."""

    def resume_reading(self):
        pass

    def recv_some(self, timeout):
        """Some bytes (b"" at the end of the stream); PeerTimeout when none arrive in time."""
        raise NotImplementedError

    def close(self):
        raise NotImplementedError


class SocketStream(_Stream):
    """A connected socket (plain or TLS)."""

    def __init__(self, sock):
        self.sock = sock

    def send(self, data, timeout=DEFAULT_TIMEOUT):
        self.sock.settimeout(timeout)
        self.sock.sendall(data)

    def raw_socket(self):
        return self.sock

    def recv_some(self, timeout):
        if isinstance(self.sock, ssl.SSLSocket) and self.sock.pending():
            return self.sock.recv(65536)
        self.sock.settimeout(max(timeout, 0.001))
        try:
            return self.sock.recv(65536)
        except socket.timeout as e:
            raise PeerTimeout("no bytes from the client in time") from e
        except (ConnectionResetError, ssl.SSLEOFError):
            return b""

    def close(self):
        try:
            if isinstance(self.sock, ssl.SSLSocket):
                self.sock.settimeout(1)
                try:
                    self.sock.unwrap()
                except (OSError, ssl.SSLError, ValueError):
                    pass
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()


class FdStream(_Stream):
    """Two file descriptors: the ssh transport's standard input and output."""

    def __init__(self, read_fd, write_fd):
        self.read_fd = read_fd
        self.write_fd = write_fd

    def send(self, data, timeout=DEFAULT_TIMEOUT):
        view = memoryview(data)
        while view:
            written = os.write(self.write_fd, view)
            view = view[written:]

    def recv_some(self, timeout):
        ready, _, _ = select.select([self.read_fd], [], [], max(timeout, 0))
        if not ready:
            raise PeerTimeout("no bytes from the client in time")
        return os.read(self.read_fd, 65536)

    def close(self):
        for fd in {self.read_fd, self.write_fd}:
            try:
                os.close(fd)
            except OSError:
                pass


class WebsocketStream(_Stream):
    """One websocket connection of the server's event loop, used from a blocking thread. Every
    `send` is one binary message; received messages are concatenated into a byte stream."""

    def __init__(self, loop, ws):
        self.loop = loop
        self.ws = ws
        self.incoming = queue.Queue()
        self.done = asyncio.Event()  # set when the connection should end
        self.messages = []  # every message the client sent, as received (bytes or str)
        self.reading = asyncio.Event()  # cleared: the pump takes no more messages
        self.reading.set()

    def _call(self, coroutine, timeout=DEFAULT_TIMEOUT):
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout)

    def send(self, data, timeout=DEFAULT_TIMEOUT):
        self._call(self.ws.send(bytes(data)), timeout)

    def raw_socket(self):
        return self.ws.transport.get_extra_info("socket")

    def pause_reading(self):
        """Once the library's small queue of messages is full it stops reading the socket, so
        the client's writes back up as they would against a server that does not read."""
        self.loop.call_soon_threadsafe(self.reading.clear)

    def resume_reading(self):
        self.loop.call_soon_threadsafe(self.reading.set)

    def send_fragments(self, parts, ping_between=False):
        """One binary message sent as several frames (continuations); with `ping_between` a
        ping frame goes out between the first and the second fragment."""
        async def fragments():
            for i, part in enumerate(parts):
                if ping_between and i == 1:
                    await self.ws.ping(b"mid")
                yield bytes(part)

        self._call(self.ws.send(fragments()))

    def ping(self, data=b""):
        """Sends a ping; returns once the client's pong arrived (PeerTimeout otherwise)."""
        async def ping_and_wait():
            pong = await self.ws.ping(data)
            await asyncio.wait_for(pong, DEFAULT_TIMEOUT)

        try:
            self._call(ping_and_wait(), DEFAULT_TIMEOUT + 1)
        except (asyncio.TimeoutError, TimeoutError) as e:
            raise PeerTimeout("no pong from the client") from e

    def recv_some(self, timeout):
        try:
            data = self.incoming.get(timeout=max(timeout, 0.001))
        except queue.Empty as e:
            raise PeerTimeout("no websocket message from the client in time") from e
        if data is None:
            self.incoming.put(None)  # the end stays the end
            return b""
        return data

    def close(self, code=1000):
        async def closing():
            await self.ws.close(code)
            self.done.set()

        try:
            self._call(closing())
        except Exception:  # the connection may already be gone
            self.loop.call_soon_threadsafe(self.done.set)


# ---------------------------------------------------------------------------------------------
# Sessions


class Session:
    """One client connection: sends server packets, reads and decodes the client's packets.
    `received` keeps every client packet read so far, in order."""

    def __init__(self, stream, peer_name="client"):
        self.stream = stream
        self.peer_name = peer_name
        self.buffer = bytearray()
        self.received = []
        self.closed = False

    # -- sending

    def send(self, items, chunks=None, compress=False, compress_chunks=False):
        """Sends one packet: `items` as YAML text; `chunks` maps an item index to raw bytes
        sent as a chunk before it (the item itself is normally an empty placeholder)."""
        self.stream.send(encode_server_packet(items, chunks, compress, compress_chunks))

    def send_yaml(self, text, chunks=None, compress=False):
        """Sends exactly this payload text (str or bytes) as the main packet."""
        self.stream.send(encode_server_packet(None, chunks, compress, text=text))

    def send_raw(self, data, timeout=DEFAULT_TIMEOUT):
        """Sends these bytes unchanged (hand-built headers, partial packets); over a websocket
        they are one message, which the client reads as part of its byte stream."""
        self.stream.send(bytes(data), timeout)

    def unread_bytes(self):
        """How many of the client's bytes wait in this side's socket, not yet read."""
        sock = self.stream.raw_socket()
        if sock is None:
            return 0
        count = array.array("i", [0])
        fcntl.ioctl(sock.fileno(), termios.FIONREAD, count)
        return count[0]

    # -- receiving

    def _fill(self, n, deadline):
        while len(self.buffer) < n:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise PeerTimeout(f"timed out waiting for {n - len(self.buffer)} more bytes")
            data = self.stream.recv_some(remaining)
            if not data:
                self.closed = True
                raise PeerClosed(f"the {self.peer_name} closed the connection")
            self.buffer += data

    def recv_frame(self, timeout=DEFAULT_TIMEOUT):
        """The next framed packet exactly as sent: (header bytes, payload bytes)."""
        deadline = time.monotonic() + timeout
        self._fill(8, deadline)
        magic, _flags, _compression, _index, size = HEADER.unpack(bytes(self.buffer[:8]))
        if magic != MAGIC:
            raise PeerError(f"bad magic byte {magic} from the {self.peer_name}")
        if size > MAX_CLIENT_PAYLOAD:
            raise PeerError(f"payload size {size} from the {self.peer_name} is too large")
        self._fill(8 + size, deadline)
        header = bytes(self.buffer[:8])
        payload = bytes(self.buffer[8:8 + size])
        del self.buffer[:8 + size]
        return header, payload

    def recv(self, timeout=DEFAULT_TIMEOUT):
        """The next client packet, decoded from its JSON text (a list)."""
        header, payload = self.recv_frame(timeout)
        if header[1] != FLAG_TEXT or header[2] != 0 or header[3] != 0:
            raise PeerError(f"unexpected header {list(header)} from the {self.peer_name}")
        try:
            packet = json.loads(payload.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as e:
            raise PeerError(f"undecodable packet {payload[:200]!r}: {e}") from e
        if not isinstance(packet, list):
            raise PeerError(f"packet is not a list: {packet!r}")
        self.received.append(packet)
        return packet

    def expect(self, name, timeout=DEFAULT_TIMEOUT):
        """The next packet, which must be named `name`."""
        packet = self.recv(timeout)
        if not packet or packet[0] != name:
            raise PeerError(f"expected {name!r}, got {packet!r}")
        return packet

    def wait_for(self, name, timeout=DEFAULT_TIMEOUT):
        """Reads packets until one named `name` arrives and returns it; the others stay in
        `received`."""
        deadline = time.monotonic() + timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise PeerTimeout(f"no {name!r} packet in time; got {self.received!r}")
            packet = self.recv(remaining)
            if packet and packet[0] == name:
                return packet

    def collect(self, duration):
        """Every packet that arrives within `duration` seconds (stops early at the end)."""
        deadline = time.monotonic() + duration
        packets = []
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return packets
            try:
                packets.append(self.recv(remaining))
            except (PeerTimeout, PeerClosed):
                return packets

    def wait_closed(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the client to close the connection; packets read meanwhile go to
        `received`. True when it closed in time."""
        deadline = time.monotonic() + timeout
        while not self.closed:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return False
            try:
                self.recv(remaining)
            except PeerClosed:
                return True
            except PeerTimeout:
                return False
        return True

    def close(self):
        self.stream.close()


# ---------------------------------------------------------------------------------------------
# Listeners


class Peer:
    """A listener on 127.0.0.1 (free port unless given) that hands out `Session`s. Use it as a
    context manager, or call `close()`; sessions are closed with it."""

    def __init__(self, kind, port=0, ssl_context=None):
        self.kind = kind
        self.ssl_context = ssl_context
        self.sessions = []
        self._pending = queue.Queue()
        self._server = None
        self._loop = None
        self._thread = None
        if kind in ("tcp", "tls"):
            self._server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self._server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self._server.bind(("127.0.0.1", port))
            self._server.listen(8)
            self.port = self._server.getsockname()[1]
        elif kind in ("ws", "wss"):
            self._start_websocket_server(port)
        else:
            raise ValueError(f"unknown transport {kind!r}")

    @classmethod
    def tcp(cls, port=0):
        return cls("tcp", port)

    @classmethod
    def tls(cls, certfile, keyfile, port=0):
        return cls("tls", port, server_ssl_context(certfile, keyfile))

    @classmethod
    def ws(cls, port=0):
        return cls("ws", port)

    @classmethod
    def wss(cls, certfile, keyfile, port=0):
        return cls("wss", port, server_ssl_context(certfile, keyfile))

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    @property
    def target(self):
        """The connection target for the client, e.g. "tcp://127.0.0.1:4321/"."""
        scheme = {"tcp": "tcp", "tls": "ssl", "ws": "ws", "wss": "wss"}[self.kind]
        return f"{scheme}://{self.address}/"

    def accept(self, timeout=DEFAULT_TIMEOUT):
        """The next client connection as a Session (TLS handshake or websocket upgrade
        done)."""
        if self._server is not None:
            self._server.settimeout(timeout)
            try:
                conn, _ = self._server.accept()
            except socket.timeout as e:
                raise PeerTimeout("no client connected in time") from e
            if self.ssl_context is not None:
                conn.settimeout(timeout)
                conn = self.ssl_context.wrap_socket(conn, server_side=True)
            session = Session(SocketStream(conn))
        else:
            try:
                stream = self._pending.get(timeout=timeout)
            except queue.Empty as e:
                raise PeerTimeout("no websocket client connected in time") from e
            session = Session(stream)
        self.sessions.append(session)
        return session

    def _start_websocket_server(self, port):
        import websockets  # only the websocket kinds need it

        started = threading.Event()
        failure = []

        async def handler(ws, _path=None):
            stream = WebsocketStream(asyncio.get_running_loop(), ws)
            self._pending.put(stream)
            reader = asyncio.ensure_future(self._pump(ws, stream))
            await stream.done.wait()
            reader.cancel()

        async def serve():
            try:
                self._ws_server = await websockets.serve(
                    handler, "127.0.0.1", port, subprotocols=["binary"], compression=None,
                    max_size=None, ssl=self.ssl_context)
            except Exception as e:  # reported to the constructor's thread
                failure.append(e)
                started.set()
                return
            self.port = self._ws_server.sockets[0].getsockname()[1]
            started.set()

        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True,
                                        name="nolv-peer-ws")
        self._thread.start()
        asyncio.run_coroutine_threadsafe(serve(), self._loop)
        if not started.wait(DEFAULT_TIMEOUT) or failure:
            raise PeerError(f"websocket server did not start: {failure}")

    @staticmethod
    async def _pump(ws, stream):
        import websockets

        try:
            while True:
                await stream.reading.wait()
                message = await ws.recv()
                stream.messages.append(message)
                stream.incoming.put(message if isinstance(message, bytes) else message.encode())
        except websockets.ConnectionClosed:
            pass
        finally:
            stream.incoming.put(None)
            stream.done.set()

    def close(self):
        for session in self.sessions:
            try:
                session.close()
            except Exception:
                pass
        if self._server is not None:
            self._server.close()
        if self._loop is not None:
            async def stop():
                self._ws_server.close()
                await self._ws_server.wait_closed()

            try:
                asyncio.run_coroutine_threadsafe(stop(), self._loop).result(DEFAULT_TIMEOUT)
            except Exception:
                pass
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(DEFAULT_TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def stdio_session():
    """A Session on this process's standard input and output (the ssh transport's remote end).
    Nothing else may write to standard output meanwhile: log to standard error."""
    read_fd = os.dup(sys.stdin.fileno())
    write_fd = os.dup(sys.stdout.fileno())
    return Session(FdStream(read_fd, write_fd), "ssh client")


# ---------------------------------------------------------------------------------------------
# TLS material


def server_ssl_context(certfile, keyfile):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certfile, keyfile)
    return context


class Certificates:
    """Paths of a test CA and a server certificate for localhost and 127.0.0.1."""

    def __init__(self, directory):
        self.ca = os.path.join(directory, "ca.pem")
        self.ca_key = os.path.join(directory, "ca.key")
        self.cert = os.path.join(directory, "server.pem")
        self.key = os.path.join(directory, "server.key")


def make_certificates(directory, names=("DNS:localhost", "IP:127.0.0.1")):
    """Writes a P-256 test CA and a server certificate signed by it (valid 30 days, for
    `names`) into `directory` with openssl, and returns their paths."""
    certs = Certificates(directory)

    def openssl(*args):
        subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE, timeout=60)

    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", certs.ca_key, "-out", certs.ca, "-days", "30", "-subj", "/CN=Test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    csr = os.path.join(directory, "server.csr")
    openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", certs.key, "-out", csr, "-subj", "/CN=localhost")
    ext = os.path.join(directory, "server.ext")
    with open(ext, "w") as f:
        f.write(f"subjectAltName={','.join(names)}\nextendedKeyUsage=serverAuth\n"
                "basicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", csr, "-CA", certs.ca, "-CAkey", certs.ca_key,
            "-CAcreateserial", "-out", certs.cert, "-days", "30", "-extfile", ext)
    return certs


# ---------------------------------------------------------------------------------------------
# Scenarios


def run_script(session, steps, log=None):
    """Runs scenario steps (see the module docstring) on a session; raises PeerError on the
    first step that fails. `log` receives one line per step when given."""
    for number, step in enumerate(steps, 1):
        if not isinstance(step, dict) or not step:
            raise PeerError(f"step {number} is not a mapping: {step!r}")
        action = next(iter(step))
        arg = step[action]
        timeout = float(step.get("timeout", DEFAULT_TIMEOUT))
        if log:
            log(f"step {number}: {action}")
        if action == "send":
            chunks = {int(k): base64.b64decode(v) for k, v in (step.get("chunks") or {}).items()}
            session.send(arg, chunks=chunks, compress=bool(step.get("compress")),
                         compress_chunks=bool(step.get("compress_chunks")))
        elif action == "send_yaml":
            session.send_yaml(arg, compress=bool(step.get("compress")))
        elif action == "send_raw":
            session.send_raw(bytes.fromhex(arg))
        elif action == "expect":
            session.expect(arg, timeout)
        elif action == "wait_for":
            session.wait_for(arg, timeout)
        elif action == "sleep":
            time.sleep(float(arg))
        elif action == "close":
            session.close()
        elif action == "wait_closed":
            if not session.wait_closed(float(arg)):
                raise PeerTimeout("the client did not close the connection")
        else:
            raise PeerError(f"step {number}: unknown action {action!r}")


def load_script(path):
    with open(path, encoding="utf-8") as f:
        return yaml.safe_load(f)  # JSON is YAML too


def main(argv=None):
    parser = argparse.ArgumentParser(description="nolv scripted test server")
    parser.add_argument("--transport", choices=["tcp", "tls", "ws", "wss", "stdio"],
                        default="tcp")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--port-file")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--script")
    parser.add_argument("--timeout", type=float, default=60.0,
                        help="how long to wait for the client to connect")
    args = parser.parse_args(argv)

    def log(line):
        print(line, file=sys.stderr, flush=True)

    peer = None
    if args.transport == "stdio":
        session = stdio_session()
    else:
        if args.transport in ("tls", "wss") and not (args.cert and args.key):
            parser.error("--cert and --key are needed for tls and wss")
        peer = {"tcp": lambda: Peer.tcp(args.port),
                "ws": lambda: Peer.ws(args.port),
                "tls": lambda: Peer.tls(args.cert, args.key, args.port),
                "wss": lambda: Peer.wss(args.cert, args.key, args.port)}[args.transport]()
        print(f"listening on {peer.address}", flush=True)
        if args.port_file:
            with open(args.port_file + ".tmp", "w") as f:
                f.write(f"{peer.port}\n")
            os.replace(args.port_file + ".tmp", args.port_file)
        session = peer.accept(args.timeout)
    status = 0
    try:
        if args.script:
            run_script(session, load_script(args.script), log)
        else:
            while True:
                log(json.dumps(session.recv(timeout=24 * 3600)))
    except PeerClosed as e:
        if args.script:  # the scenario wanted more from the client
            log(f"nolv_peer: {e}")
            status = 1
    except PeerError as e:
        log(f"nolv_peer: {e}")
        status = 1
    finally:
        session.close()
        if peer is not None:
            peer.close()
    return status


if __name__ == "__main__":
    sys.exit(main())
