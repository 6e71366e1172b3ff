"""A private X display for end-to-end tests: Xvfb on a free display number, openbox (or xfwm4,
i3, fluxbox, icewm) managing it or not, the desktop services a test may add (a D-Bus session
bus, a tray host: trayer for XEmbed or the StatusNotifierWatcher of sni-watcher.py, the dunst
notification daemon), and the xdotool/xwininfo/xprop/ImageMagick queries the tests make of it.
Everything started here is recorded and stopped by close(), newest first; nothing else is
touched."""

import os
import select
import subprocess
import tempfile
import time
import unittest

from nolv_peer import Peer
from watched_client import WatchedClient

DEFAULT_TIMEOUT = 30
NOLV = os.environ.get("NOLV_BINARY", "")
HERE = os.path.dirname(os.path.abspath(__file__))
SNI_WATCHER = os.path.join(HERE, "sni-watcher.py")
# What a desktop-services test hands its programs: nothing of the caller's own session (its bus,
# its home) leaks in.
ISOLATED_ENV = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "USER": "tester",
                "HOSTNAME": "testhost", "NO_COLOR": "1"}


# Program -> (command line, the start of the name it gives its check window).
WINDOW_MANAGERS = {
    "openbox": (["openbox", "--sm-disable"], "Openbox"),
    "xfwm4": (["xfwm4", "--compositor=off", "--sm-client-disable"], "Xfwm4"),
    "i3": (["i3"], "i3"),
    "fluxbox": (["fluxbox"], "Fluxbox"),
    "icewm": (["icewm"], "IceWM"),
}


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


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


def start_announcing(start, timeout=DEFAULT_TIMEOUT):
    """Starts a program that announces itself with one line on a pipe (a display number, a bus
    address): `start(fd)` passes the pipe's write end on and returns the process. Returns the
    process and the line, empty when none came."""
    read_fd, write_fd = os.pipe()
    try:
        process = start(write_fd)
        os.close(write_fd)
        write_fd = -1
        line = read_line_from_fd(read_fd, timeout)
    finally:
        os.close(read_fd)
        if write_fd >= 0:
            os.close(write_fd)
    return process, line


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
    # -noreset: the server must not reset when its last client leaves, or a window manager
    # connecting just then loses its connection and exits.
    xvfb, number = start_announcing(lambda fd: subprocess.Popen(
        ["Xvfb", "-displayfd", str(fd), "-screen", "0", f"{size}x24", "-nolisten", "tcp",
         "-noreset"], pass_fds=(fd,), env=env, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **popen_args))
    if not number:
        xvfb.kill()
        xvfb.wait()
        raise RuntimeError("Xvfb did not start")
    return xvfb, ":" + number


# i3 lets a window with this title float, framed, as it does a dialog; every other window it tiles.
I3_FLOATING_TITLE = "floating"


class X11:
    """A display in a private directory (`dir`, removed on close). `env` reaches the display
    through the xcb platform; it starts from `base_env` (by default this process's own).
    `window_manager`: True for openbox, "openbox", "xfwm4", "i3", "fluxbox", "icewm", or False
    for none."""

    # A window manager that dies while it starts is the environment failing, not the client:
    # a fresh display gets one more try, and the last failure carries the manager's own words.
    START_ATTEMPTS = 2

    def __init__(self, size="800x600", window_manager=True, base_env=None):
        self._tmp = tempfile.TemporaryDirectory()
        self.dir = self._tmp.name
        os.chmod(self.dir, 0o700)
        self.processes = []  # (name, Popen), in the order started
        try:
            for attempt in range(1, self.START_ATTEMPTS + 1):
                try:
                    self._start(size, window_manager, base_env)
                    return
                except RuntimeError:
                    self.stop_all()
                    if attempt == self.START_ATTEMPTS:
                        raise
        except BaseException:
            self.close()
            raise

    def _start(self, size, window_manager, base_env):
        self.env = dict(os.environ if base_env is None else base_env,
                        XDG_RUNTIME_DIR=self.dir, QT_QPA_PLATFORM="xcb")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("DISPLAY", None)
        xvfb, display = start_xvfb(size, self.env)
        self.processes.append(("Xvfb", xvfb))
        self.env["DISPLAY"] = display
        if window_manager is True:
            window_manager = "openbox"
        if not window_manager:
            return
        if window_manager in ("xfwm4", "fluxbox", "icewm"):
            # They keep their settings under HOME, and fluxbox and icewm write theirs there.
            self.env["HOME"] = self.dir
        if window_manager == "xfwm4":
            # xfwm4 reads its settings over the session bus.
            self.start_dbus()
        args, name = WINDOW_MANAGERS[window_manager]
        if window_manager == "i3":
            # Without a file of its own, i3 starts its configuration wizard.
            with open(self.path("i3.conf"), "w") as f:
                f.write("# i3 config file (v4)\nfont pango:monospace 8\n"
                        f'for_window [title="^{I3_FLOATING_TITLE}$"] floating enable\n')
            args = [*args, "-c", self.path("i3.conf")]
        elif window_manager == "fluxbox":
            # Its style's wallpaper tool fails here and says so in a window of its own, which
            # takes the focus: the root window is left alone.
            os.makedirs(self.path(".fluxbox"), exist_ok=True)
            with open(self.path(".fluxbox/overlay"), "w") as f:
                f.write("background: none\n")
        self.window_manager = self.spawn(window_manager, args, log=f"{window_manager}.log")
        self.wait_for_window_manager(window_manager, name)

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, name, args, log=None, **kwargs):
        """Starts a program on the display; its output goes to the file `log` of the directory."""
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

    def wait_for_window_manager(self, program="openbox", name="Openbox",
                                timeout=DEFAULT_TIMEOUT):
        """Returns once the window manager has taken the screen. A window mapped while it is
        still starting may be left unmanaged and unmapped, so clients start only after this."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.window_manager.poll() is not None:
                said = self.read(f"{program}.log").strip()
                raise RuntimeError(
                    f"{program} exited with {self.window_manager.returncode}: {said}")
            check = self.root_property("_NET_SUPPORTING_WM_CHECK")
            if "window id #" in check:
                wm = check.split("#")[1].strip()
                # icewm's name goes on with its version
                if f'"{name}' in self.query("xprop", "-id", wm, "_NET_WM_NAME"):
                    return
            time.sleep(0.05)
        raise RuntimeError(f"{program} did not take the screen")

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

    def start_dbus(self):
        """A private session bus; its address goes into the environment of what starts later."""
        _, address = start_announcing(lambda fd: self.spawn(
            "dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--nosyslog",
                            f"--print-address={fd}"], pass_fds=(fd,)))
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

    def tool(self, *args, check=True, input=None, timeout=DEFAULT_TIMEOUT):
        """A program run to its end as text, its failure left to the caller when check=False."""
        return subprocess.run(list(args), env=self.env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, check=check, input=input,
                              timeout=timeout)

    def stop(self, process):
        stop_process(process)

    def stop_all(self):
        for _, process in reversed(self.processes):
            stop_process(process)
        self.processes = []

    def close(self):
        self.stop_all()
        self._tmp.cleanup()


class X11Case(unittest.TestCase):
    """A test with its own display, window manager and scripted server; `start` runs nolv."""

    SCREEN = "800x600"

    def setUp(self):
        self.x = X11(size=self.SCREEN)
        self.tmp = self.x.dir
        self.peer = Peer.tcp()
        self.client = None
        self.log_path = os.path.join(self.tmp, "nolv.log")

    def tearDown(self):
        if self.client is not None:
            stop_process(self.client)
        self.peer.close()
        self.x.close()

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


class DesktopCase(unittest.TestCase):
    """A test with its own display and no window manager, its programs cut off from the caller's
    session, and whichever desktop services it starts; `start_session` runs nolv against the
    scripted server."""

    def setUp(self):
        self.desktop = X11(size="1024x768", window_manager=False, base_env=ISOLATED_ENV)
        self.desktop.env["HOME"] = self.desktop.dir
        self.addCleanup(self.desktop.close)

    def start_session(self, server_caps=None, wait_for_log="startup complete!"):
        """nolv through hello and start-up complete; returns the client's hello."""
        self.peer = Peer.tcp()
        self.addCleanup(self.peer.close)
        self.client = WatchedClient(self.peer.target, ["-v"], env=self.desktop.env)
        self.addCleanup(self.client.close)
        self.session = self.peer.accept(timeout=15)
        self.addCleanup(self.session.close)
        hello = self.session.wait_for("hello", timeout=15)
        self.session.send(["hello", dict({"version": "6.1"}, **(server_caps or {}))])
        self.session.send(["startup-complete"])
        self.assertTrue(self.client.wait_for_log(wait_for_log, 15), self.client.log())
        return hello
