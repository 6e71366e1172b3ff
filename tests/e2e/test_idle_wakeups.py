"""The real nolv binary idle in a session over tcp://, ssl:// and wss:// at the same time: over
TLS its threads wake about as seldom as over plain TCP (counted as context switches over 20
idle seconds), and a packet that arrives after the idle time is still read at once."""
import os
import tempfile
import time
import unittest

from nolv_peer import Peer, make_certificates
from watched_client import start_client_session

IDLE_SECONDS = 20
# Generous: a TLS session may wake a few times a second more than a TCP one, not hundreds.
EXTRA_SWITCHES_PER_SECOND = 5


def context_switches(pid):
    """Voluntary and involuntary context switches of every thread of the process so far."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except OSError:  # the thread ended meanwhile
            pass
    return total


class IdleWakeups(unittest.TestCase):
    def test_an_idle_tls_session_wakes_about_as_seldom_as_a_tcp_one(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        certs = make_certificates(directory.name)
        peers = {"tcp": (Peer.tcp(), []), "ssl": (Peer.tls(certs.cert, certs.key),
                                                  ["--ssl-insecure"]),
                 "wss": (Peer.wss(certs.cert, certs.key), ["--ssl-insecure"])}
        sessions = {}
        for kind, (peer, args) in peers.items():
            client, session = start_client_session(self, peer, args)
            sessions[kind] = (client, session)
        time.sleep(2)  # start-up work settles
        before = {k: context_switches(c.process.pid) for k, (c, _) in sessions.items()}
        time.sleep(IDLE_SECONDS)
        switches = {k: context_switches(c.process.pid) - before[k]
                    for k, (c, _) in sessions.items()}
        bound = switches["tcp"] + EXTRA_SWITCHES_PER_SECOND * IDLE_SECONDS
        for kind in ("ssl", "wss"):
            self.assertLessEqual(switches[kind], bound, switches)
        for kind, (client, session) in sessions.items():
            with self.subTest(kind=kind):
                session.send(["ping", 42, 0])
                self.assertEqual(session.wait_for("ping-echo", timeout=5)[1], 42)
                self.assertIsNone(client.process.poll(), client.log())


if __name__ == "__main__":
    unittest.main()
