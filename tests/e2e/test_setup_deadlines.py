"""The real nolv binary against servers that never answer one step of the connection set-up: a
TCP connect that never completes, a TLS handshake and a websocket upgrade that are never
answered. Each step gives up at its deadline (30 s) with the reason and that step's exit code.
The clients run side by side, so the test waits for the deadline once."""
import os
import re
import socket
import ssl
import subprocess
import tempfile
import threading
import unittest

from nolv_peer import make_certificates

NOLV = os.environ["NOLV_BINARY"]
LINE = re.compile(r"^\S+ ERROR \[nolv\] (.*)$")
DEADLINE_SECONDS = 30
TIMEOUT = "the server did not answer within 30s"
HINT = " (--ssl-insecure skips verification)"


def silent_listener():
    """Accepts connections and never says a word."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    return listener


def full_listener():
    """A listener whose accept queue is full, so that a further connect is never completed."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    fillers = []
    for _ in range(2):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(listener.getsockname())
        fillers.append(s)
    return listener, fillers


def tls_listener_silent_after_the_handshake(certs):
    """Completes TLS handshakes, then never answers."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certs.cert, certs.key)
    kept = []

    def serve():
        while True:
            try:
                conn, _ = listener.accept()
                kept.append(context.wrap_socket(conn, server_side=True))
            except OSError:
                return

    threading.Thread(target=serve, daemon=True).start()
    return listener


class SetupDeadlines(unittest.TestCase):
    def test_every_waiting_step_gives_up_at_its_deadline(self):
        silent = silent_listener()
        self.addCleanup(silent.close)
        full, fillers = full_listener()
        self.addCleanup(full.close)
        for s in fillers:
            self.addCleanup(s.close)
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        tls = tls_listener_silent_after_the_handshake(make_certificates(directory.name))
        self.addCleanup(tls.close)
        port, full_port = silent.getsockname()[1], full.getsockname()[1]
        tls_port = tls.getsockname()[1]
        cases = [
            ([f"tcp://127.0.0.1:{full_port}/"], 18,
             f'failed to connect to "127.0.0.1:{full_port}": {TIMEOUT}'),
            (["--ssl-insecure", f"ssl://127.0.0.1:{port}/"], 16,
             f"tls handshake failed: {TIMEOUT}"),
            ([f"ssl://127.0.0.1:{port}/"], 16, f"tls handshake failed: {TIMEOUT}{HINT}"),
            ([f"ws://127.0.0.1:{port}/"], 18, f"websocket handshake failed: {TIMEOUT}"),
            (["--ssl-insecure", f"wss://127.0.0.1:{port}/"], 16,
             f"tls handshake failed: {TIMEOUT}"),
            (["--ssl-insecure", f"wss://127.0.0.1:{tls_port}/"], 18,
             f"websocket handshake failed: {TIMEOUT}"),
        ]
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "QT_QPA_PLATFORM": "offscreen"}
        results = [None] * len(cases)

        def run(i, args):
            results[i] = subprocess.run([NOLV, *args], capture_output=True, text=True, env=env,
                                        stdin=subprocess.DEVNULL, timeout=DEADLINE_SECONDS + 30)

        threads = [threading.Thread(target=run, args=(i, c[0])) for i, c in enumerate(cases)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for (args, code, message), r in zip(cases, results):
            with self.subTest(args=args):
                self.assertIsNotNone(r)
                self.assertEqual(r.returncode, code, r.stdout)
                errors = [m.group(1) for m in map(LINE.match, r.stdout.splitlines()) if m]
                self.assertEqual(errors, [message], r.stdout)


if __name__ == "__main__":
    unittest.main()
