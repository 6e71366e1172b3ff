"""The real nolv binary over an ssh:// target whose ssh is a fake given by --ssh, running the
scripted test server on its pipes: a console Ctrl-C to the whole process group still lets the
farewell through the child, and a child that stops reading ends the session with one error."""
import json
import os
import signal
import sys
import tempfile
import time
import unittest

from watched_client import WatchedClient

# The fake ssh: the scripted server on its standard input and output, in one of two modes.
FAKE_SSH = r'''#!/usr/bin/python3
import json, os, select, sys, time
sys.path.insert(0, {peer_dir!r})
from nolv_peer import stdio_session

MODE, RESULT = {mode!r}, {result!r}

def note(entry):
    with open(RESULT, "a") as f:
        f.write(json.dumps(entry) + "\n")

session = stdio_session()
session.wait_for("hello", timeout=20)
session.send(["hello", {{"version": "6.1"}}])
if MODE != "close-stdin-early":
    session.send(["startup-complete"])
if MODE == "farewell":
    note(session.wait_for("connection-close", timeout=30))
    while session.stream.recv_some(30):  # the client ends us by closing our input
        pass
    note("end of input")
else:
    time.sleep(0.5)
    os.close(0)  # stop reading, every copy: the client's next write fails
    os.close(session.stream.read_fd)
    session.send(["ping", 5, 0])
    out = select.poll()
    out.register(1, select.POLLERR)
    out.poll(30000)  # until the client has gone
'''


class SshChild(unittest.TestCase):
    def start(self, mode):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        self.result = os.path.join(directory.name, "result")
        fake = os.path.join(directory.name, "fake-ssh")
        with open(fake, "w") as f:
            f.write(FAKE_SSH.format(peer_dir=os.environ["NOLV_TEST_PEER"], mode=mode,
                                    result=self.result))
        os.chmod(fake, 0o755)
        # A group of its own, like a job that a console's Ctrl-C reaches as a whole.
        self.client = WatchedClient("ssh://tester@127.0.0.1/", args=["-v", f"--ssh={fake}"],
                                    new_session=True)
        self.process = self.client.process
        self.log = self.client.log
        self.wait_for_log = self.client.wait_for_log
        self.addCleanup(self.client.close)
        self.addCleanup(self.kill_group)

    def kill_group(self):
        try:
            os.killpg(self.process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.process.wait()

    def group_ends_within(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                os.killpg(self.process.pid, 0)
            except ProcessLookupError:
                return True
            time.sleep(0.05)
        return False

    def notes(self):
        if not os.path.exists(self.result):
            return []
        with open(self.result) as f:
            return [json.loads(line) for line in f]

    def test_ctrl_c_to_the_process_group_still_sends_the_farewell(self):
        self.start("farewell")
        self.assertTrue(self.wait_for_log("startup complete!"), self.log())
        os.killpg(self.process.pid, signal.SIGINT)
        self.assertEqual(self.process.wait(timeout=15), 0, self.log())
        self.assertIn("caught Ctrl-C, disconnecting", self.log())
        self.assertTrue(self.group_ends_within(10), "the ssh child outlived the client")
        self.assertEqual(self.notes(), [["connection-close", "client interrupted"],
                                        "end of input"])

    def test_a_child_that_stops_reading_ends_the_session_with_one_error(self):
        for mode, code in [("close-stdin", 1), ("close-stdin-early", 18)]:
            with self.subTest(mode=mode):
                self.start(mode)
                self.assertEqual(self.process.wait(timeout=30), code, self.log())
                log = self.log()
                self.assertEqual(
                    log.count("failed to send packet to the server: Broken pipe (os error 32)"),
                    1, log)
                self.assertNotIn("connection lost", log)
                self.doCleanups()


if __name__ == "__main__":
    unittest.main()
