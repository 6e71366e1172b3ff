"""A private desktop for end-to-end tests: Xvfb, a D-Bus session bus, a tray host (trayer for
XEmbed, or the StatusNotifierWatcher of sni-watcher.py), a notification daemon (dunst), and
the nolv client in it. Everything started here is recorded and stopped by close(), newest
first; nothing else is touched."""

import os
import subprocess
import tempfile
import time
import unittest

from nolv_peer import Peer
from xsession import read_line_from_fd, start_xvfb, stop_process

NOLV = os.environ.get("NOLV_BINARY", "")
HERE = os.path.dirname(os.path.abspath(__file__))
SNI_WATCHER = os.path.join(HERE, "sni-watcher.py")


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Desktop:
    def __init__(self, width=1024, height=768):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name
        os.chmod(self.dir, 0o700)
        self.processes = []  # (name, Popen), in the order started
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": self.dir,
                    "HOME": self.dir, "QT_QPA_PLATFORM": "xcb", "USER": "tester",
                    "HOSTNAME": "testhost", "NO_COLOR": "1"}
        try:
            self._start_xvfb(width, height)
        except BaseException:
            self.close()
            raise

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, name, args, log=None, **kwargs):
        out = open(self.path(log), "w") if log else subprocess.DEVNULL
        process = subprocess.Popen(args, env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, **kwargs)
        if log:
            out.close()
        self.processes.append((name, process))
        return process

    def spawn_with_input(self, name, args, text):
        """A program that reads `text` on its standard input, which is then closed."""
        process = subprocess.Popen(args, env=self.env, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append((name, process))
        process.stdin.write(text.encode("utf-8"))
        process.stdin.close()
        return process

    def read(self, log):
        try:
            with open(self.path(log), encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def _start_xvfb(self, width, height):
        xvfb, self.env["DISPLAY"] = start_xvfb(f"{width}x{height}", self.env)
        self.processes.append(("Xvfb", xvfb))

    def start_dbus(self):
        """A private session bus; its address goes into the environment of what starts later."""
        addr_r, addr_w = os.pipe()
        try:
            self.spawn("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--nosyslog",
                                       f"--print-address={addr_w}"], pass_fds=(addr_w,))
            os.close(addr_w)
            addr_w = -1
            address = read_line_from_fd(addr_r, 30)
        finally:
            os.close(addr_r)
            if addr_w >= 0:
                os.close(addr_w)
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def start_trayer(self):
        """An XEmbed tray host at the top right; returns once it owns the tray selection."""
        process = self.spawn("trayer", ["trayer", "--edge", "top", "--align", "right",
                                        "--widthtype", "pixel", "--width", "100", "--height",
                                        "24", "--SetDockType", "true"], log="trayer.log")
        if not wait_until(self.tray_manager_present, 15, 0.1):
            raise RuntimeError("trayer did not take the tray selection: " + self.read("trayer.log"))
        return process

    def tray_manager_present(self):
        # trayer's window carries its name; the selection owner is what Qt looks for.
        result = self.tool("xdotool", "search", "--classname", "trayer", check=False)
        return bool(result.stdout.split())

    def start_dunst(self):
        self.spawn("dunst", ["dunst", "-print"], log="dunst.log")
        if not wait_until(lambda: self.bus_has("org.freedesktop.Notifications"), 15, 0.1):
            raise RuntimeError("dunst did not take its bus name: " + self.read("dunst.log"))

    def start_sni_watcher(self):
        self.spawn("sni-watcher", ["/usr/bin/python3", SNI_WATCHER], log="sni.log")
        if not wait_until(lambda: "watcher ready" in self.read("sni.log"), 15, 0.1):
            raise RuntimeError("the watcher did not start: " + self.read("sni.log"))

    def bus_has(self, name):
        result = self.tool("gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                           "--object-path", "/org/freedesktop/DBus", "--method",
                           "org.freedesktop.DBus.NameHasOwner", name, check=False)
        return "true" in result.stdout

    def tool(self, *args, check=True, input=None, timeout=30):
        return subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, check=check, input=input,
                              timeout=timeout)

    def stop(self, process):
        stop_process(process)

    def close(self):
        for _, process in reversed(self.processes):
            self.stop(process)
        self.processes = []
        self.tmp.cleanup()


class Nolv:
    """The nolv binary in a desktop; its log goes to a file so that a full pipe never blocks."""

    def __init__(self, desktop, target, args=()):
        self.desktop = desktop
        self.process = desktop.spawn("nolv", [NOLV, "-v", *args, target], log="nolv.log")

    def log(self):
        return self.desktop.read("nolv.log")

    def wait_for_log(self, text, timeout=10):
        return wait_until(lambda: text in self.log(), timeout)

    def wait(self, timeout=15):
        return self.process.wait(timeout=timeout)


class DesktopCase(unittest.TestCase):
    """A test with its own desktop; `start_session` runs nolv against the scripted server."""

    def setUp(self):
        self.desktop = Desktop()
        self.addCleanup(self.desktop.close)

    def start_session(self, server_caps=None, wait_for_log="startup complete!"):
        """nolv through hello and start-up complete; returns the client's hello."""
        self.peer = Peer.tcp()
        self.addCleanup(self.peer.close)
        self.client = Nolv(self.desktop, self.peer.target)
        self.session = self.peer.accept(timeout=15)
        self.addCleanup(self.session.close)
        hello = self.session.wait_for("hello", timeout=15)
        self.session.send(["hello", dict({"version": "6.1"}, **(server_caps or {}))])
        self.session.send(["startup-complete"])
        self.assertTrue(self.client.wait_for_log(wait_for_log, 15), self.client.log())
        return hello
