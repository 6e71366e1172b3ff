"""One offscreen nolv process whose log goes to a file, with a watchdog on its memory: the peak
RSS is recorded, and past a limit the process is killed before it takes the machine down."""
import os
import subprocess
import tempfile
import threading
import time

NOLV = os.environ["NOLV_BINARY"]
# Far above any bound a test checks: only a client that grows without end reaches it.
RSS_KILL_BYTES = 1536 * 1024 * 1024


class WatchedClient:
    """Runs offscreen in an environment of its own; `env` adds to it or replaces parts (a display
    and its bus, for one)."""

    def __init__(self, target, args=(), env=None, rss_kill_bytes=RSS_KILL_BYTES,
                 new_session=False):
        self.dir = tempfile.TemporaryDirectory()
        os.chmod(self.dir.name, 0o700)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "QT_QPA_PLATFORM": "offscreen",
               "XDG_RUNTIME_DIR": self.dir.name, "USER": "tester", "HOSTNAME": "testhost",
               **(env or {})}
        self.log_path = os.path.join(self.dir.name, "out.log")
        self.log_file = open(self.log_path, "w")
        self.process = subprocess.Popen([NOLV, *args, target], stdout=self.log_file,
                                        stderr=subprocess.STDOUT, env=env,
                                        start_new_session=new_session)
        self.rss_kill_bytes = rss_kill_bytes
        self.max_rss = 0
        self.peak_rss = 0  # the kernel's own high-water mark, which sampling can miss
        self.rss_exceeded = False
        self._watch = threading.Thread(target=self._watch_rss, daemon=True)
        self._watch.start()

    def _watch_rss(self):
        while self.process.poll() is None:
            try:
                with open(f"/proc/{self.process.pid}/status") as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak_rss = max(self.peak_rss, int(line.split()[1]) * 1024)
                        if line.startswith("VmRSS:"):
                            rss = int(line.split()[1]) * 1024
                            self.max_rss = max(self.max_rss, rss)
                            if rss > self.rss_kill_bytes:
                                self.rss_exceeded = True
                                self.process.kill()
            except (OSError, ValueError):
                pass
            time.sleep(0.05)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_log(self, text, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log():
                return True
            time.sleep(0.05)
        return False

    def exit_code_within(self, seconds):
        """The exit code, or None when the process still runs after `seconds` (then killed)."""
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self._watch.join(5)
        self.log_file.close()
        self.dir.cleanup()


def start_client_session(test, peer, args=()):
    """A client connected to `peer` past its start-up; everything is closed at the test's end."""
    test.addCleanup(peer.close)
    client = WatchedClient(peer.target, args)
    test.addCleanup(client.close)
    session = peer.accept(timeout=20)
    test.addCleanup(session.close)
    session.expect("hello", timeout=20)
    session.send(["hello", {"version": "6.1"}])
    session.send(["startup-complete"])
    test.assertTrue(client.wait_for_log("startup complete!"), client.log())
    return client, session
