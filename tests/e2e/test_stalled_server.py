"""The real nolv binary against a server that stops reading: the user's ways out still end the
client promptly with its exit code, and a server that writes a large burst before it reads gets
every reply."""
import signal
import tempfile
import threading
import time
import unittest

from nolv_peer import Peer, encode_server_packet, make_certificates, HEADER
from watched_client import start_client_session

EXIT_WITHIN_SECONDS = 5


def ping_burst(total_bytes, text_size=1000):
    """Server "ping" packets carrying a text of `text_size` (echoed back), about `total_bytes`
    in all; returns (bytes, count)."""
    one = encode_server_packet(["ping", 1733822100123, 0, "x" * text_size])
    count = max(1, total_bytes // len(one))
    return one * count, count


def count_packets(data, name):
    """(packets named `name`, bytes used) among the whole client packets at the start of
    `data`, without decoding the others."""
    needle = b'["' + name.encode() + b'"'
    at = count = 0
    while at + 8 <= len(data):
        size = HEADER.unpack_from(data, at)[4]
        if at + 8 + size > len(data):
            break
        if data.startswith(needle, at + 8):
            count += 1
        at += 8 + size
    return count, at


def flood_until_stalled(session, process, total=None):
    """Writes pings without reading (`total` bytes of them, or without end) until the client's
    replies fill both socket buffers, that is until the server's unread bytes stop growing; the
    writing goes on in the background until the returned event is set or the client leaves."""
    burst, _ = ping_burst(1 << 20)
    stop = threading.Event()

    def flood():
        sent = 0
        while not stop.is_set() and (total is None or sent < total):
            try:
                session.send_raw(burst, timeout=3600)
            except Exception:  # the client went away
                return
            sent += len(burst)

    threading.Thread(target=flood, daemon=True).start()
    deadline = time.monotonic() + 60
    last, steady_since = -1, time.monotonic()
    while time.monotonic() < deadline:
        unread = session.unread_bytes()
        if unread != last:
            last, steady_since = unread, time.monotonic()
        elif unread > (64 << 10) and time.monotonic() - steady_since > 1.0:
            return stop
        if process.poll() is not None:
            raise AssertionError(f"the client ended during the flood: {process.returncode}")
        time.sleep(0.1)
    stop.set()
    raise AssertionError(f"the client's replies never backed up ({last} unread bytes)")


class StalledCase(unittest.TestCase):
    def start(self, peer, args=()):
        return start_client_session(self, peer, args)

    def flood_until_stalled(self, client, session, total=None):
        stop = flood_until_stalled(session, client.process, total)
        self.addCleanup(stop.set)


class ServerThatStopsReading(StalledCase):
    def test_console_signals_end_the_client_within_five_seconds(self):
        for sig, name in [(signal.SIGTERM, "shutdown"), (signal.SIGINT, "Ctrl-C")]:
            with self.subTest(signal=name):
                peer = Peer.tcp()
                client, session = self.start(peer)
                session.stream.pause_reading()
                self.flood_until_stalled(client, session, total=48 << 20)
                client.process.send_signal(sig)
                code = client.exit_code_within(EXIT_WITHIN_SECONDS)
                self.assertFalse(client.rss_exceeded, f"RSS {client.max_rss} bytes")
                self.assertEqual(code, 0, client.log())
                self.assertIn(f"caught {name}, disconnecting", client.log())
                self.doCleanups()

    def test_websocket_ping_is_answered_while_the_writer_waits(self):
        # The server pauses reading; the reader must answer its ping without waiting for the
        # stuck writer, and go on to read the disconnect.
        peer = Peer.ws()
        client, session = self.start(peer)
        session.stream.pause_reading()
        # Well within the client's backlog, so that its reader is still reading.
        self.flood_until_stalled(client, session, total=24 << 20)
        stream = session.stream
        stream.loop.call_soon_threadsafe(lambda: stream.loop.create_task(stream.ws.ping(b"hi")))
        session.send_raw(encode_server_packet(["disconnect", "done"]), timeout=60)
        code = client.exit_code_within(EXIT_WITHIN_SECONDS + 10)
        self.assertFalse(client.rss_exceeded, f"RSS {client.max_rss} bytes")
        self.assertEqual(code, 0, client.log())
        self.assertIn("disconnected by the server: done", client.log())


class BurstBeforeReading(StalledCase):
    """32 MiB of pings written in one go before the server reads a single reply."""

    BURST_BYTES = 32 * 1024 * 1024

    def burst_is_answered(self, peer, args=()):
        client, session = self.start(peer, args)
        session.stream.pause_reading()
        burst, count = ping_burst(self.BURST_BYTES)
        session.send_raw(burst, timeout=180)  # the client must go on reading meanwhile
        session.stream.resume_reading()
        data = bytearray()
        answered = 0
        deadline = time.monotonic() + 120
        while answered < count and time.monotonic() < deadline:
            data += session.stream.recv_some(deadline - time.monotonic())
            found, used = count_packets(data, "ping-echo")
            answered += found
            del data[:used]
        self.assertEqual(answered, count, client.log()[-2000:])
        self.assertFalse(client.rss_exceeded, f"RSS {client.max_rss} bytes")
        session.send(["disconnect", "done"])
        self.assertEqual(client.exit_code_within(20), 0, client.log()[-2000:])

    def test_tcp(self):
        self.burst_is_answered(Peer.tcp())

    def test_ssl(self):
        with tempfile.TemporaryDirectory() as directory:
            certs = make_certificates(directory)
            self.burst_is_answered(Peer.tls(certs.cert, certs.key), ["--ssl-insecure"])

    def test_wss(self):
        with tempfile.TemporaryDirectory() as directory:
            certs = make_certificates(directory)
            self.burst_is_answered(Peer.wss(certs.cert, certs.key), ["--ssl-insecure"])


if __name__ == "__main__":
    unittest.main()
