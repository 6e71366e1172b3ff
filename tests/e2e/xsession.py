"""A private X display for end-to-end tests: Xvfb on a free display number with openbox managing
it, plus the xdotool/xwininfo/xprop/ImageMagick queries the tests make of it."""

import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from nolv_peer import Peer

DEFAULT_TIMEOUT = 30
NOLV = os.environ.get("NOLV_BINARY", "")


def read_line_from_fd(fd, timeout):
    """What a program wrote on a pipe up to its first newline (-displayfd, --print-address)."""
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        chunk = os.read(fd, 256)
        if not chunk:
            break
        data += chunk
    return data.decode().strip()


def stop_process(process):
    """Ends a process that may already have ended: asks first, then kills."""
    if process.poll() is None:
        process.terminate()
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def start_xvfb(size, env, **popen_args):
    """Xvfb on a display number it chooses itself; returns (process, ":N")."""
    read_fd, write_fd = os.pipe()
    try:
        # -noreset: the server must not reset when its last client leaves, or a window manager
        # connecting just then loses its connection and exits.
        xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{size}x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(write_fd,), env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **popen_args)
        os.close(write_fd)
        write_fd = -1
        number = read_line_from_fd(read_fd, DEFAULT_TIMEOUT)
    finally:
        os.close(read_fd)
        if write_fd >= 0:
            os.close(write_fd)
    if not number:
        xvfb.kill()
        xvfb.wait()
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + number


class X11:
    """Xvfb and openbox, stopped on close. `env` reaches the display through the xcb platform."""

    # A window manager that dies while it starts is the environment failing, not the client:
    # a fresh display gets one more try, and the last failure carries openbox's own words.
    START_ATTEMPTS = 2

    def __init__(self, tmp, size="800x600"):
        for attempt in range(1, self.START_ATTEMPTS + 1):
            try:
                self._start(tmp, size)
                return
            except RuntimeError:
                if attempt == self.START_ATTEMPTS:
                    raise

    def _start(self, tmp, size):
        self.xvfb, display = start_xvfb(size, os.environ)
        self.env = dict(os.environ, DISPLAY=display,
                        XDG_RUNTIME_DIR=tmp, QT_QPA_PLATFORM="xcb")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.openbox_log = os.path.join(tmp, "openbox.log")
        with open(self.openbox_log, "w") as log:
            self.openbox = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                            stdout=log, stderr=subprocess.STDOUT)
        try:
            self.wait_for_window_manager()
        except Exception:
            self.close()
            raise

    def wait_for_window_manager(self, timeout=DEFAULT_TIMEOUT):
        """Returns once openbox has taken the screen. A window mapped while it is still starting
        may be left unmanaged and unmapped, so clients start only after this."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.openbox.poll() is not None:
                with open(self.openbox_log, errors="replace") as log:
                    said = log.read().strip()
                raise RuntimeError(f"openbox exited with {self.openbox.returncode}: {said}")
            check = self.root_property("_NET_SUPPORTING_WM_CHECK")
            if "window id #" in check:
                wm = check.split("#")[1].strip()
                name = self.query("xprop", "-id", wm, "_NET_WM_NAME")
                if '"Openbox"' in name:
                    return
            time.sleep(0.05)
        raise RuntimeError("openbox did not take the screen")

    def query(self, *args):
        """The output of a query program, empty when it fails."""
        done = subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=DEFAULT_TIMEOUT)
        return done.stdout.decode(errors="replace") if done.returncode == 0 else ""

    def run(self, *args):
        return subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=DEFAULT_TIMEOUT,
                              check=True).stdout

    def root_property(self, name):
        return self.query("xprop", "-root", name)

    def find_window(self, title, timeout=DEFAULT_TIMEOUT, visible=True):
        """The X id of the window named exactly `title`, by default only a visible one."""
        deadline = time.monotonic() + timeout
        pattern = "^" + "".join("\\" + c if not c.isalnum() else c for c in title) + "$"
        while time.monotonic() < deadline:
            only = ["--onlyvisible"] if visible else []
            ids = self.query("xdotool", "search", *only, "--name", pattern).split()
            if ids:
                return ids[0]
            time.sleep(0.1)
        raise AssertionError(f"no window named {title!r} (visible: {visible}); windows:\n"
                             + self.query("xwininfo", "-root", "-tree"))

    def geometry(self, window):
        """(x, y, width, height) of the window's client area on the screen."""
        info = self.query("xwininfo", "-id", window)
        fields = {}
        for line in info.splitlines():
            key, _, value = line.strip().partition(":")
            fields[key] = value.strip()
        return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                int(fields["Width"]), int(fields["Height"]))

    def property(self, window, name):
        return self.query("xprop", "-id", window, name)

    def window_origin(self, title, timeout=DEFAULT_TIMEOUT):
        x, y, _, _ = self.geometry(self.find_window(title, timeout))
        return x, y

    def pixels(self, points, shot):
        """The 0xRRGGBB colour of the screen at each (x, y), from one capture saved to `shot`."""
        self.run("/usr/bin/import", "-window", "root", f"png:{shot}")
        size = subprocess.run(["/usr/bin/identify", "-format", "%w %h", shot],
                              stdout=subprocess.PIPE, timeout=DEFAULT_TIMEOUT,
                              check=True).stdout.split()
        width, height = int(size[0]), int(size[1])
        raw = subprocess.run(["/usr/bin/convert", shot, "-depth", "8", "rgb:-"],
                             stdout=subprocess.PIPE, timeout=DEFAULT_TIMEOUT, check=True).stdout
        if len(raw) != width * height * 3:
            raise RuntimeError(f"screen capture of {len(raw)} bytes for {width}x{height}")
        out = []
        for x, y in points:
            if not (0 <= x < width and 0 <= y < height):
                raise ValueError(f"({x}, {y}) is off the {width}x{height} screen")
            i = (y * width + x) * 3
            out.append((raw[i] << 16) | (raw[i + 1] << 8) | raw[i + 2])
        return out

    def close(self):
        for p in (self.openbox, self.xvfb):
            stop_process(p)


class X11Case(unittest.TestCase):
    """A test with its own display, window manager and scripted server; `start` runs nolv."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        os.chmod(self.tmp, 0o700)
        self.x = X11(self.tmp)
        self.peer = Peer.tcp()
        self.client = None
        self.log_path = os.path.join(self.tmp, "nolv.log")

    def tearDown(self):
        if self.client is not None:
            stop_process(self.client)
        self.peer.close()
        self.x.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def start(self, env=None, args=("-v",)):
        """Runs nolv at scale 1 against the server; returns the accepted session."""
        full_env = dict(self.x.env, NOLV_DESKTOP_SCALING="1", NOLV_KEYBOARD_LAYOUT="us")
        full_env.update(env or {})
        with open(self.log_path, "w") as log:
            self.client = subprocess.Popen([NOLV, *args, self.peer.target], env=full_env,
                                           stdout=log, stderr=subprocess.STDOUT)
        self.session = self.peer.accept(timeout=DEFAULT_TIMEOUT)
        return self.session

    def log(self):
        with open(self.log_path) as f:
            return f.read()
