"""The real nolv binary against openssl s_server requiring a client certificate, which the client
never has: under TLS 1.3 the server's refusal arrives after the client's handshake call
returned, and it still ends the client with the handshake failure's code and message, as under
TLS 1.2."""
import os
import re
import subprocess
import tempfile
import unittest

from nolv_peer import make_certificates

NOLV = os.environ["NOLV_BINARY"]
ERROR = re.compile(r"^\S+ ERROR \[(\S+)\] (.*)$")
HINT = " (--ssl-insecure skips verification)"


class ServerRequiringAClientCertificate(unittest.TestCase):
    def serve(self, certs, version):
        server = subprocess.Popen(
            ["openssl", "s_server", f"-{version}", "-Verify", "1", "-accept", "127.0.0.1:0",
             "-cert", certs.cert, "-key", certs.key],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.addCleanup(server.wait)
        self.addCleanup(server.kill)
        for line in server.stdout:
            if line.startswith("ACCEPT 127.0.0.1:"):
                return int(line.split(":")[1])
        self.fail("openssl s_server did not start")

    def test_refusal_is_a_handshake_failure_under_tls_1_2_and_1_3(self):
        directory = tempfile.TemporaryDirectory()  # outlives the cleanups between the cases
        certs = make_certificates(directory.name)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "QT_QPA_PLATFORM": "offscreen",
               "XDG_RUNTIME_DIR": directory.name, "SSL_CERT_FILE": certs.ca}
        cases = [("tls1_3", "certificate required"), ("tls1_2", "handshake failure")]
        for version, alert in cases:
            with self.subTest(version=version):
                port = self.serve(certs, version)
                r = subprocess.run([NOLV, f"ssl://localhost:{port}/"], capture_output=True,
                                   text=True, env=env, stdin=subprocess.DEVNULL, timeout=30)
                self.assertEqual(r.returncode, 16, r.stdout)
                errors = [m.groups() for m in map(ERROR.match, r.stdout.splitlines()) if m]
                self.assertEqual(errors, [(
                    "nolv", "tls handshake failed: the server ended the handshake with the alert "
                    f'"{alert}"{HINT}')], r.stdout)
                self.assertNotIn("connection lost", r.stdout)
                self.doCleanups()
        directory.cleanup()


if __name__ == "__main__":
    unittest.main()
