"""The scripted test server itself, driven by plain Python clients over every transport, so that
a fault in the tool shows here and not as a puzzling client failure elsewhere."""

import asyncio
import os
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

import lz4.block
import websockets

import nolv_peer as P


def read_server_packet(recv):
    """(main payload, chunks) of one server packet, decompressing LZ4 payloads."""
    chunks = {}
    while True:
        magic, _flags, compression, index, size = struct.unpack(">BBBBI", recv(8))
        assert magic == 0x50
        payload = recv(size)
        if compression & 0x10:
            payload = lz4.block.decompress(payload)
        if index == 0:
            return payload, chunks
        chunks[index] = payload


def exact_reader(sock):
    def recv(n):
        data = b""
        while len(data) < n:
            more = sock.recv(n - len(data))
            if not more:
                raise EOFError
            data += more
        return data
    return recv


class PeerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.certs = P.make_certificates(cls.tmp.name)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_frames_and_lz4_prefix(self):
        self.assertEqual(P.encode_client_packet(["ping", 5]),
                         bytes([0x50, 4, 0, 0, 0, 0, 0, 10]) + b'["ping",5]')
        block = P.lz4_block(b"abc" * 10, size=1000)
        self.assertEqual(block[:4], struct.pack("<I", 1000))
        self.assertEqual(lz4.block.decompress(block[4:], uncompressed_size=30), b"abc" * 10)
        self.assertEqual(P.yaml_text(["draw", 1, b"\x01", {"z": 1.5, "a": None}]),
                         "[draw, 1, AQ==, {z: 1.5, a: null}]")

    def socket_round_trip(self, peer, wrap=None):
        box = []

        def client():
            sock = socket.create_connection(("127.0.0.1", peer.port), timeout=10)
            if wrap:
                sock = wrap(sock)
            sock.sendall(P.encode_client_packet(["hello", {"b": 1, "a": "é"}]))
            box.append(sock)

        thread = threading.Thread(target=client)
        thread.start()
        session = peer.accept()
        thread.join(10)
        sock = box[0]
        self.assertEqual(session.expect("hello"), ["hello", {"a": "é", "b": 1}])
        session.send(["draw", 1, "", {"x": 1.5}], chunks={2: b"\x00" * 10}, compress=True,
                     compress_chunks=True)
        payload, chunks = read_server_packet(exact_reader(sock))
        self.assertEqual(payload, b"[draw, 1, '', {x: 1.5}]")
        self.assertEqual(chunks, {2: b"\x00" * 10})
        sock.close()
        self.assertTrue(session.wait_closed(5))

    def test_tcp(self):
        with P.Peer.tcp() as peer:
            self.assertTrue(peer.target.startswith("tcp://127.0.0.1:"))
            self.socket_round_trip(peer)

    def test_tls(self):
        with P.Peer.tls(self.certs.cert, self.certs.key) as peer:
            self.assertTrue(peer.target.startswith("ssl://"))
            context = ssl.create_default_context(cafile=self.certs.ca)
            self.socket_round_trip(
                peer, lambda s: context.wrap_socket(s, server_hostname="localhost"))

    def websocket_round_trip(self, peer, context):
        got = []

        async def client():
            uri = peer.target.replace("127.0.0.1", "localhost")
            async with websockets.connect(uri, subprotocols=["binary"], ssl=context) as ws:
                self.assertEqual(ws.subprotocol, "binary")
                await ws.send(P.encode_client_packet(["hello", 1]))
                for _ in range(2):
                    got.append(await ws.recv())

        thread = threading.Thread(target=lambda: asyncio.run(client()))
        thread.start()
        session = peer.accept()
        self.assertEqual(session.expect("hello"), ["hello", 1])
        session.send(["ping", 5])
        session.stream.send_fragments([b"P\x04\x00\x00", b"\x00\x00\x00\x03[1]"],
                                      ping_between=True)
        thread.join(10)
        self.assertEqual(got, [P.frame(b"[ping, 5]"), P.frame(b"[1]")])
        self.assertTrue(session.wait_closed(5))

    def test_ws(self):
        with P.Peer.ws() as peer:
            self.websocket_round_trip(peer, None)

    def test_wss(self):
        with P.Peer.wss(self.certs.cert, self.certs.key) as peer:
            self.websocket_round_trip(peer, ssl.create_default_context(cafile=self.certs.ca))

    def test_stdio_script(self):
        script = os.path.join(self.tmp.name, "script.yaml")
        with open(script, "w") as f:
            f.write("- send: [ping, 5]\n- expect: hello\n- send_raw: '5004000000000003'\n"
                    "- expect: never\n  timeout: 0.2\n")
        proc = subprocess.Popen([sys.executable, P.__file__, "--transport=stdio",
                                 f"--script={script}"], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate(P.encode_client_packet(["hello"]), timeout=20)
        self.assertEqual(out, P.frame(b"[ping, 5]") + bytes.fromhex("5004000000000003"))
        # The last step fails: the client sent nothing more before the input ended.
        self.assertEqual(proc.returncode, 1, err)
        self.assertIn(b"closed the connection", err)


if __name__ == "__main__":
    unittest.main()
