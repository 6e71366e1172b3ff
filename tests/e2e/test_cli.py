"""The real nolv binary's outputs and exit codes for the command-line cases."""
import os
import pty
import re
import subprocess
import unittest

NOLV = os.environ["NOLV_BINARY"]
DATA = os.environ["NOLV_TEST_DATA"]
LINE = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (ERROR|WARN |INFO |DEBUG|TRACE) \[([^\]]*)\] (.*)$")


def run(*args, env=None, argv0=None):
    full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "QT_QPA_PLATFORM": "offscreen"}
    full_env.update(env or {})
    return subprocess.run([argv0 or NOLV, *args], executable=NOLV, capture_output=True,
                          text=True, env=full_env, timeout=30)


def log_messages(stdout):
    out = []
    for line in stdout.splitlines():
        m = LINE.match(line)
        assert m, f"not a log line: {line!r}"
        out.append((m.group(1).strip(), m.group(2), m.group(3)))
    return out


class HelpAndVersion(unittest.TestCase):
    def test_help_text_is_exact_and_names_argument_zero(self):
        with open(os.path.join(DATA, "help.txt"), encoding="utf-8") as f:
            golden = f.read()
        r = run("--bogus", "-h", argv0="/opt/bin/mynolv")
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, golden.replace("{program}", "mynolv"))
        self.assertEqual(r.stderr, "")

    def test_help_wins_over_version(self):
        r = run("--version", "--help")
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("usage: nolv [OPTIONS] [TARGET]\n"))

    def test_version(self):
        r = run("a", "b", "--version")
        self.assertEqual((r.returncode, r.stdout), (0, "nolv 0.4.0\n"))


class OptionErrors(unittest.TestCase):
    def check(self, args, lines):
        r = run(*args)
        self.assertEqual(r.returncode, 34, r.stdout)
        self.assertEqual(log_messages(r.stdout), [("ERROR", "nolv", l) for l in lines])

    def test_option_errors_log_usage_and_hint(self):
        cases = [
            (["-x"], "unrecognized option -x"),
            (["a", "b"], "more than one target: a and b"),
            (["--ssh"], "unrecognized option --ssh"),
            (["--ssh="], "--ssh: no command given"),
            (["--remote-nolv="], "--remote-nolv needs the path of the remote nolv"),
            (["--ssh=a \"b"], "--ssh: unterminated \" quote in a \"b"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.check(args, [message, "usage: nolv [OPTIONS] [TARGET]",
                                  "try 'nolv --help' for more information"])

    def test_target_errors_log_only_the_hint(self):
        cases = [
            ("udp://h:1", "unsupported protocol udp: only 'tcp', 'ssl', 'ws', 'wss', 'ssh' "
                          "and 'socket' are supported"),
            ("tcp://", "missing host:port in tcp://"),
            ("socket://run", "socket path must be absolute in socket://run"),
        ]
        for target, message in cases:
            with self.subTest(target=target):
                self.check([target], [message, "try 'nolv --help' for more information"])

    def test_no_colour_when_output_is_a_pipe(self):
        r = run("-x", env={"TERM": "xterm"})
        self.assertEqual(r.returncode, 34)
        self.assertNotIn("\x1b[", r.stdout)


def run_on_terminal(*args, env):
    """Runs nolv with its standard output on a pseudo-terminal; returns what it printed."""
    master, slave = pty.openpty()
    full_env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), **env}
    proc = subprocess.Popen([NOLV, *args], stdout=slave, stderr=subprocess.DEVNULL, env=full_env)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    proc.wait(timeout=30)
    return b"".join(chunks).decode()


class Colour(unittest.TestCase):
    def test_colour_only_on_a_terminal_without_no_color_or_dumb_term(self):
        coloured = run_on_terminal("-x", env={"TERM": "xterm"})
        self.assertIn("\x1b[31mERROR\x1b[0m [nolv] unrecognized option -x", coloured)
        for env in ({"TERM": "xterm", "NO_COLOR": ""}, {"TERM": "dumb"}):
            with self.subTest(env=env):
                plain = run_on_terminal("-x", env=env)
                self.assertIn("ERROR [nolv] unrecognized option -x", plain)
                self.assertNotIn("\x1b[", plain)


if __name__ == "__main__":
    unittest.main(verbosity=2)
