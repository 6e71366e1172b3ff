"""The real nolv binary ends with the connection error's code and logs its message."""
import os
import re
import socket
import subprocess
import tempfile
import threading
import unittest

NOLV = os.environ["NOLV_BINARY"]
LINE = re.compile(r"^\S+ ERROR \[nolv\] (.*)$")
HINT = " (--ssl-insecure skips verification)"


def run(*args, env=None):
    full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "QT_QPA_PLATFORM": "offscreen"}
    full_env.update(env or {})
    return subprocess.run([NOLV, *args], capture_output=True, text=True, env=full_env,
                          stdin=subprocess.DEVNULL, timeout=30)


def errors(stdout):
    return [m.group(1) for m in map(LINE.match, stdout.splitlines()) if m]


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class OneShotServer:
    """Accepts one connection on 127.0.0.1, reads the request head (when `read_head`), answers
    `reply`, closes."""

    def __init__(self, reply, read_head=True):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(1)
        self.sock.settimeout(20)
        self.port = self.sock.getsockname()[1]
        self.thread = threading.Thread(target=self._serve, args=(reply, read_head), daemon=True)
        self.thread.start()

    def _serve(self, reply, read_head):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(20)
            data = b""
            while read_head and b"\r\n\r\n" not in data:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                data += chunk
            conn.sendall(reply)

    def close(self):
        self.thread.join(20)
        self.sock.close()


class ConnectErrors(unittest.TestCase):
    def check(self, args, code, message, env=None):
        r = run(*args, env=env)
        self.assertEqual(r.returncode, code, r.stdout + r.stderr)
        self.assertIn(message, errors(r.stdout), r.stdout)

    def test_option_and_kind_errors(self):
        port = closed_port()
        cases = [
            (["--ssl-insecure", "socket:///tmp/x"], 34,
             "--ssl-insecure only applies to ssl:// and wss:// connections"),
            (["--ssh=ssh", "--remote-nolv=x", f"tcp://127.0.0.1:{port}/"], 34,
             "--ssh only applies to ssh:// connections"),
            (["--remote-nolv=x", f"ws://127.0.0.1:{port}/"], 34,
             "--remote-nolv only applies to ssh:// connections"),
            (["socket:///tmp/x"], 18,
             "Unix-domain socket connections are not supported on this platform"),
            ([f"tcp://127.0.0.1:{port}/"], 18,
             f'failed to connect to "127.0.0.1:{port}": Connection refused (os error 111)'),
            ([f"127.0.0.1:{port}"], 18,
             f'failed to connect to "127.0.0.1:{port}": Connection refused (os error 111)'),
            (["--ssh=nolv-test-no-such-ssh", "ssh://h/"], 8,
             "ssh connection failed: failed to launch nolv-test-no-such-ssh: "
             "No such file or directory (os error 2)"),
        ]
        for args, code, message in cases:
            with self.subTest(args=args):
                self.check(args, code, message)

    def test_websocket_handshake_refused(self):
        server = OneShotServer(b"HTTP/1.1 200 OK\r\n\r\n")
        try:
            self.check([f"ws://127.0.0.1:{server.port}/"], 18,
                       "websocket handshake failed: unexpected websocket handshake response: "
                       "HTTP/1.1 200 OK")
        finally:
            server.close()

    def test_tls_failure_carries_the_hint(self):
        with tempfile.TemporaryDirectory() as d:
            # The peer is no TLS server at all: the handshake fails, the hint is still added.
            server = OneShotServer(b"HTTP/1.1 400 Bad Request\r\n\r\n", read_head=False)
            try:
                r = run(f"ssl://127.0.0.1:{server.port}/",
                        env={"SSL_CERT_FILE": os.path.join(d, "none.pem"), "SSL_CERT_DIR": d})
            finally:
                server.close()
        self.assertEqual(r.returncode, 16, r.stdout)
        messages = [m for m in errors(r.stdout) if m.startswith("tls handshake failed: ")]
        self.assertEqual(len(messages), 1, r.stdout)
        self.assertTrue(messages[0].endswith(HINT), messages[0])


if __name__ == "__main__":
    unittest.main()
