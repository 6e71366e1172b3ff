"""The real nolv binary holding a session with the scripted test server: hellos both ways, the
password challenge, pings, remote logging, the endings and their exit codes, interrupts."""
import base64
import hashlib
import hmac
import os
import signal
import tempfile
import time
import unittest

import json
import sys

from nolv_peer import Peer, make_certificates
from watched_client import WatchedClient



class SessionCase(unittest.TestCase):
    def start(self, env=None, peer=None, target=None, args=()):
        self.peer = peer or Peer.tcp()
        self.addCleanup(self.peer.close)
        self.client = WatchedClient(target or self.peer.target, ["-v", *args], env)
        self.addCleanup(self.client.close)
        self.session = self.peer.accept(timeout=10)
        self.addCleanup(self.session.close)
        self.hello = self.session.expect("hello", timeout=10)
        return self.session

    def start_session(self, caps=None, env=None):
        """Hello both ways and startup-complete."""
        session = self.start(env)
        session.send(["hello", {"version": "6.1", **(caps or {})}])
        session.send(["startup-complete"])
        self.assertTrue(self.client.wait_for_log("startup complete!"), self.client.log())
        return session

    def exit_code(self):
        return self.client.exit_code_within(15)


class Hello(SessionCase):
    def test_hello_both_ways_then_an_interrupt_closes_the_session(self):
        session = self.start_session({"modifiers-keynames": {"shift": ["Shift_L"]}})
        self.assertEqual(len(self.hello), 2)
        caps = self.hello[1]
        self.assertEqual(caps["version"], "0.4.0")
        self.assertEqual(caps["platform"], "win32")
        self.assertEqual(caps["user"], "tester")
        self.assertEqual(caps["hostname"], "testhost")
        self.assertEqual(caps["encoding"]["core"], ["jpeg", "png", "webp", "h264"])
        self.assertNotIn("challenge_response", caps)
        self.assertNotIn("audio", caps)  # no audio server is reachable from the test's client
        self.assertIn("monitors", caps["display"])  # the offscreen screen
        self.assertTrue(self.client.wait_for_log("server version 6.1"))
        self.client.process.send_signal(signal.SIGINT)
        packet = session.wait_for("connection-close", timeout=10)
        self.assertEqual(packet, ["connection-close", "client interrupted"])
        self.assertEqual(self.exit_code(), 0)
        log = self.client.log()
        self.assertIn("caught Ctrl-C, disconnecting", log)
        self.assertIn("speaker forwarding unavailable: ", log)

    def test_interrupt_before_startup_complete_still_closes_with_zero(self):
        session = self.start()
        self.client.process.send_signal(signal.SIGTERM)
        self.assertEqual(session.wait_for("connection-close", timeout=10),
                         ["connection-close", "client interrupted"])
        self.assertEqual(self.exit_code(), 0)
        self.assertIn("caught shutdown, disconnecting", self.client.log())


class Transports(SessionCase):
    """The same short session over every transport."""

    def session_over(self, peer, target=None, args=()):
        session = self.start(peer=peer, target=target, args=args)
        session.send(["hello", {"version": "6.1"}])
        session.send(["startup-complete"])
        session.send(["ping", 42, 0])
        self.assertEqual(session.wait_for("ping-echo"), ["ping-echo", 42, 0, 0, 0, -1, ""])
        self.client.process.send_signal(signal.SIGINT)
        self.assertEqual(session.wait_for("connection-close", timeout=10),
                         ["connection-close", "client interrupted"])
        self.assertEqual(self.exit_code(), 0, self.client.log())

    def test_tls_ws_and_wss(self):
        with tempfile.TemporaryDirectory() as directory:
            certs = make_certificates(directory)
            for make in (lambda: Peer.tls(certs.cert, certs.key), Peer.ws,
                         lambda: Peer.wss(certs.cert, certs.key)):
                peer = make()
                with self.subTest(kind=peer.kind):
                    self.session_over(peer, args=["--ssl-insecure"] if peer.kind != "ws" else [])
                    self.doCleanups()

    def test_ssh_child_running_the_peer_on_its_pipes(self):
        with tempfile.TemporaryDirectory() as directory:
            script = os.path.join(directory, "script.json")
            with open(script, "w") as f:
                json.dump([{"wait_for": "hello"}, {"send": ["hello", {"version": "6.1"}]},
                           {"send": ["startup-complete"]}, {"send": ["ping", 9, 0]},
                           {"wait_for": "ping-echo"}, {"send": ["disconnect", "done"]},
                           {"wait_closed": 10}], f)
            fake_ssh = os.path.join(directory, "fake-ssh")
            peer_program = os.path.join(os.environ["NOLV_TEST_PEER"], "nolv_peer.py")
            with open(fake_ssh, "w") as f:
                f.write(f"#!/bin/sh\nexec {sys.executable} {peer_program} --transport=stdio "
                        f"--script={script}\n")
            os.chmod(fake_ssh, 0o755)
            client = WatchedClient("ssh://tester@127.0.0.1/", ["-v", f"--ssh={fake_ssh}"])
            self.addCleanup(client.close)
            self.assertEqual(client.exit_code_within(30), 0, client.log())
            log = client.log()
            self.assertIn("startup complete!", log)
            self.assertIn("got ping, sending echo time=9", log)
            self.assertIn("disconnected by the server: done", log)


class EarlyInterrupt(unittest.TestCase):
    def test_ctrl_c_while_connecting_ends_the_process_by_the_signal(self):
        # A listener that accepts but never answers the TLS handshake keeps the connect waiting.
        import socket
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        self.addCleanup(listener.close)
        port = listener.getsockname()[1]
        client = WatchedClient(f"ssl://127.0.0.1:{port}/", ["-v", "--ssl-insecure"])
        self.addCleanup(client.close)
        conn, _ = listener.accept()
        self.addCleanup(conn.close)
        time.sleep(0.5)
        client.process.send_signal(signal.SIGINT)
        self.assertEqual(client.exit_code_within(10), -signal.SIGINT, client.log())
        self.assertIn("caught Ctrl-C", client.log())


class Challenge(SessionCase):
    def test_challenge_answered_from_nolv_password(self):
        session = self.start(env={"NOLV_PASSWORD": "pass phrase"})
        server_salt = os.urandom(32)
        session.send(["challenge", base64.b64encode(server_salt).decode(), "", "hmac+sha256",
                      "hmac+sha256"])
        caps = session.expect("hello", timeout=10)[1]
        client_salt = caps["challenge_client_salt"]
        self.assertEqual(len(client_salt), 64)
        salt = hmac.new(client_salt.encode(), server_salt, hashlib.sha256).hexdigest()
        response = hmac.new(b"pass phrase", salt.encode(), hashlib.sha256).hexdigest()
        self.assertEqual(caps["challenge_response"], response)
        self.assertEqual(len(caps["challenge_padding"]), 128)
        session.send(["disconnect", "authentication failed"])
        self.assertEqual(self.exit_code(), 28)

    def test_pinentry_program_given_by_its_path_answers(self):
        # A scripted pinentry outside PATH, named by its absolute path, and another one called
        # "pinentry" on PATH that must not be asked.
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        script = ("#!/bin/sh\necho OK ready\nwhile read cmd; do\n  case \"$cmd\" in\n"
                  "    GETPIN) echo 'D {}'; echo OK;;\n    BYE) echo OK; exit 0;;\n"
                  "    *) echo OK;;\n  esac\ndone\n")
        for folder, password in (("chosen", "from the chosen one"), ("on-path", "from PATH")):
            os.mkdir(os.path.join(tmp.name, folder))
            program = os.path.join(tmp.name, folder, "pinentry")
            with open(program, "w") as f:
                f.write(script.format(password))
            os.chmod(program, 0o755)
        chosen = os.path.join(tmp.name, "chosen", "pinentry")
        session = self.start(env={"PINENTRY_PROGRAM": chosen,
                                  "PATH": os.path.join(tmp.name, "on-path") + ":/usr/bin:/bin"})
        server_salt = os.urandom(32)
        session.send(["challenge", base64.b64encode(server_salt).decode(), "", "hmac+sha256",
                      "hmac+sha256"])
        caps = session.expect("hello", timeout=10)[1]
        salt = hmac.new(caps["challenge_client_salt"].encode(), server_salt,
                        hashlib.sha256).hexdigest()
        response = hmac.new(b"from the chosen one", salt.encode(), hashlib.sha256).hexdigest()
        self.assertEqual(caps["challenge_response"], response, self.client.log())
        self.assertIn(f"prompting for the password via {chosen}", self.client.log())

    def test_unsupported_digest_ends_with_28(self):
        session = self.start(env={"NOLV_PASSWORD": "x"})
        session.send(["challenge", base64.b64encode(b"salt").decode(), "", "hmac+sha256"])
        self.assertEqual(self.exit_code(), 28)
        self.assertIn("unsupported challenge digest (hmac+sha256/xor)", self.client.log())


class Ping(SessionCase):
    def test_server_ping_is_echoed_and_client_pings_are_measured(self):
        session = self.start_session({"ping": True})
        session.send(["ping", 1234, 0])
        self.assertEqual(session.wait_for("ping-echo"), ["ping-echo", 1234, 0, 0, 0, -1, ""])
        ping = session.wait_for("ping", timeout=12)  # every 5 seconds
        self.assertEqual(len(ping), 2)
        session.send(["ping_echo", ping[1]])
        self.assertTrue(self.client.wait_for_log("ping echo: client round-trip"))
        session.send(["ping", 7, 0, "text"])
        echo = session.wait_for("ping-echo")
        self.assertEqual(echo[6], "text")
        self.assertGreaterEqual(echo[5], 0)


class RemoteLogging(SessionCase):
    def test_log_records_are_forwarded_once_the_server_asks(self):
        session = self.start()
        session.send(["server-event", "before"])
        session.send(["hello", {"version": "6.1", "remote-logging": {"receive": True}}])
        session.wait_for("logging-event", timeout=10)
        messages = [p for p in session.received if p[0] == "logging-event"]
        self.assertEqual(messages[0][1], 20)
        self.assertEqual(messages[0][2], "remote logging enabled")
        self.assertIsInstance(messages[0][3], int)
        session.send(["server-event", "after"])
        later = session.wait_for("logging-event", timeout=10)
        self.assertEqual(later[1:3], [20, "server event: after"])
        self.assertFalse(any("before" in str(p) for p in session.received))


class Endings(SessionCase):
    def test_disconnect_reasons_and_their_codes(self):
        cases = [
            (True, ["disconnect", "server shutdown"], 0),
            (True, ["disconnect", "idle timeout"], 0),
            (True, ["disconnect", "ping timeout"], 7),
            (False, ["disconnect", "internal error"], 18),
            (True, ["connection-close", "x", "authentication failed"], 28),
        ]
        for after_startup, packet, code in cases:
            with self.subTest(packet=packet, after_startup=after_startup):
                session = self.start_session() if after_startup else self.start()
                session.send(packet)
                self.assertEqual(self.exit_code(), code, self.client.log())
                self.doCleanups()

    def test_lost_connection(self):
        for after_startup, code in [(True, 1), (False, 18)]:
            with self.subTest(after_startup=after_startup):
                session = self.start_session() if after_startup else self.start()
                session.close()
                self.assertEqual(self.exit_code(), code)
                self.assertIn("connection lost: connection closed by the server", self.client.log())
                self.doCleanups()

    def test_invalid_packet(self):
        for after_startup, code in [(True, 9), (False, 18)]:
            with self.subTest(after_startup=after_startup):
                session = self.start_session() if after_startup else self.start()
                session.send_yaml("{a: 1}")
                self.assertEqual(self.exit_code(), code)
                self.assertIn("invalid packet received: received invalid packet data type",
                              self.client.log())
                self.doCleanups()


if __name__ == "__main__":
    unittest.main()
