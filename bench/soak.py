#!/usr/bin/python3
"""A long session that stays busy: one nolv binary under Xvfb with openbox, a tray host (a
StatusNotifierWatcher, or trayer with --tray=xembed), a notification daemon (dunst) and a sound
server (PulseAudio with a null sink), driven by the scripted test server through rounds of
churn, sampled as it goes.

    /usr/bin/python3 bench/soak.py NOLV [--minutes=60] [--warmup-minutes=10]
        [--busy-seconds=120] [--idle-seconds=20] [--sample-seconds=10] [--tray=sni|xembed]
        [--csv=PATH]

A busy round sends, at about 130 packets a second: draws in every coding (JPEG, PNG, WebP and an
H.264 stream) into a main window and into short-lived windows (normal, override-redirect,
modal, child) that come and go with their metadata and moves; cursors and the default cursor;
window icons; bells; notifications shown and closed; clipboard texts from the server, and local
copies (xclip) that the client announces; Opus audio streams started and ended; pings both
ways. An idle round sends only pings. The client's packets are read all the time.

Sampled: RSS, private dirty memory (the heap lives there), open descriptors, threads, the X
resources the client holds (XRes: every resource, and pixmap bytes) and the sound server's
playback streams. At the end each one's slope per hour over the samples after the warm-up is
printed, busy samples and the samples at the end of idle rounds apart. Not part of the tests.
"""

import argparse
import itertools
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peer"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
os.environ.setdefault("NOLV_BINARY", "/nonexistent")  # replaced by the argument below
import pictures  # noqa: E402
from nolv_peer import Peer, PeerClosed, PeerError, PeerTimeout  # noqa: E402
from test_audio import PulseServer, ogg_packets  # noqa: E402
from xsession import X11, stop_process  # noqa: E402

from Xlib import display as xdisplay  # noqa: E402
from Xlib.ext import res as xres  # noqa: E402

MAIN_WID = 1
MAIN_SIZE = (480, 270)
SMALL_SIZE = (160, 90)
AUDIO_PACKET_SECONDS = 0.02
# Short-lived windows alive at once; each lives a few seconds.
LIVE_WINDOWS = 6
WINDOW_LIFE_SECONDS = 4.0
# (name, period in seconds) of the churn; with audio playing half the time, about 130 a second.
PERIODS = {
    "draw-main": 1 / 30,
    "draw-small": 1 / 20,
    "window": WINDOW_LIFE_SECONDS / LIVE_WINDOWS,
    "metadata": 1 / 14,
    "move": 1 / 14,
    "cursor": 1 / 6,
    "icon": 1 / 10,
    "bell": 2.0,
    "notify": 2.0,
    "server-clipboard": 3.0,
    "local-clipboard": 3.0,
    "server-ping": 1.0,
}
AUDIO_ON_SECONDS = 6.0
AUDIO_OFF_SECONDS = 6.0
TICK = 0.005


def fail(message):
    print(f"soak: {message}", file=sys.stderr)
    sys.exit(2)


# ---- fixtures ---------------------------------------------------------------------------------

def distinct_image(n, side):
    """A side x side PNG no other n gives."""
    return pictures.rgba_png(side, side, struct.pack(">I", n)[1:] + b"\xff"
                    + b"\x30\x60\x90\xff" * (side * side - 1))


def make_fixtures(directory):
    w, h = MAIN_SIZE
    colours = [0x204080, 0x802040, 0x408020, 0xc0c040]
    still = {coding: [pictures.picture(coding, w, h, c) for c in colours]
             for coding in ("jpeg", "png", "webp")}
    small = [pictures.picture(coding, *SMALL_SIZE, c)
             for coding in ("jpeg", "png", "webp") for c in colours[:2]]
    h264 = pictures.h264_access_units(f"testsrc2=size={w}x{h}:rate=30", 90)
    wav, opus = os.path.join(directory, "tone.wav"), os.path.join(directory, "tone.opus")
    subprocess.run(["sox", "-n", "-r", "48000", "-c", "2", "-b", "16", wav, "synth",
                    str(AUDIO_ON_SECONDS + 1), "sine", "440", "vol", "0.2"], check=True)
    subprocess.run(["opusenc", "--quiet", "--bitrate", "64", "--framesize", "20", wav, opus],
                   check=True)
    return {"still": still, "small": [(c, d) for c, d in zip(
        itertools.cycle(("jpeg", "jpeg", "png", "png", "webp", "webp")), small)],
        "h264": h264, "opus": ogg_packets(opus)}


# ---- samples ----------------------------------------------------------------------------------

def status_fields(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return fields


def private_dirty_kib(pid):
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Private_Dirty:"):
                return int(line.split()[1])
    return 0


class XResources:
    """The X resources of the client's connection(s), found by process id through XRes."""

    def __init__(self, display_name, pid):
        self.display = xdisplay.Display(display_name)
        self.pid = pid
        if not self.display.has_extension(xres.extname):
            raise RuntimeError("the X server has no X-Resource extension")

    def client_bases(self):
        ids = self.display.res_query_client_ids(
            [{"client": 0, "mask": xres.LocalClientPIDMask}]).ids
        return [i.spec.client for i in ids if list(i.value) == [self.pid]]

    def sample(self):
        """(resources of every type, pixmap bytes) over the client's connections."""
        count, pixmap_bytes = 0, 0
        for base in self.client_bases():
            count += sum(t.count for t in self.display.res_query_client_resources(base).types)
            reply = self.display.res_query_client_pixmap_bytes(base)
            pixmap_bytes += reply.bytes + (reply.bytes_overflow << 32)
        return count, pixmap_bytes

    def close(self):
        self.display.close()


def sink_inputs(env):
    done = subprocess.run(["pactl", "list", "short", "sink-inputs"], env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                          timeout=30)
    return len([line for line in done.stdout.splitlines() if line.strip()])


METRICS = [("rss", "RSS", "MiB"), ("dirty", "private dirty", "MiB"), ("fds", "descriptors", ""),
           ("threads", "threads", ""), ("xres", "X resources", ""),
           ("xpixmap", "X pixmap bytes", "MiB"), ("streams", "sound streams", "")]


def take_sample(pid, xres_probe, pulse_env, phase, start):
    status = status_fields(pid)
    count, pixmap_bytes = xres_probe.sample()
    return {"t": time.monotonic() - start, "phase": phase,
            "rss": int(status["VmRSS"][0]) / 1024, "dirty": private_dirty_kib(pid) / 1024,
            "fds": len(os.listdir(f"/proc/{pid}/fd")), "threads": int(status["Threads"][0]),
            "xres": count, "xpixmap": pixmap_bytes / 2**20, "streams": sink_inputs(pulse_env)}


def slope_per_hour(samples, key):
    """Least-squares slope of the key over time, per hour; None with fewer than two samples."""
    if len(samples) < 2:
        return None
    ts = [s["t"] / 3600 for s in samples]
    vs = [s[key] for s in samples]
    mt, mv = sum(ts) / len(ts), sum(vs) / len(vs)
    spread = sum((t - mt) ** 2 for t in ts)
    if spread == 0:
        return None
    return sum((t - mt) * (v - mv) for t, v in zip(ts, vs)) / spread


# ---- the session ------------------------------------------------------------------------------

class Driver:
    """The scripted server's side: sends the churn, reads and answers the client."""

    def __init__(self, session, fixtures, desktop):
        self.session = session
        self.fixtures = fixtures
        self.desktop = desktop
        self.lock = threading.Lock()
        self.sent = 0
        self.draws = 0
        self.counts = {}
        self.pings_out = {}
        self.ping_trips = []
        self.audio_sequence = 1
        self.stop = threading.Event()
        self.reader = threading.Thread(target=self.read_all, daemon=True)
        self.sequence = itertools.count(1)
        self.serial = itertools.count(1)
        self.notifications = itertools.count(1)
        self.wids = itertools.count(100)
        self.live = []  # (wid, dies at)
        self.h264_index = 0
        self.draw_turn = itertools.count()
        self.error = None

    def send(self, items, chunks=None):
        with self.lock:
            self.session.send(items, chunks=chunks)
            self.sent += 1

    def read_all(self):
        try:
            while not self.stop.is_set():
                try:
                    packet = self.session.recv(timeout=0.5)
                except PeerTimeout:
                    continue
                self.session.received.clear()
                name = packet[0] if packet else ""
                self.counts[name] = self.counts.get(name, 0) + 1
                if name == "ping":
                    self.send(["ping_echo", packet[1], 0, 0, 0, 0])
                elif name == "ping-echo" and packet[1] in self.pings_out:
                    self.ping_trips.append(time.monotonic() - self.pings_out.pop(packet[1]))
                elif (name == "audio-control" and len(packet) > 2
                      and packet[1] == "new-sequence"):
                    self.audio_sequence = packet[2]
        except (PeerClosed, PeerError, OSError) as e:
            self.error = f"reading the client: {e}"

    def start(self):
        self.reader.start()

    # -- one action each

    def draw_main(self):
        turn = next(self.draw_turn)
        coding = ("jpeg", "png", "webp", "h264")[(turn // 30) % 4]
        if coding == "h264":
            units = self.fixtures["h264"]
            data = units[self.h264_index % len(units)]
            self.h264_index += 1
        else:
            data = self.fixtures["still"][coding][turn % 4]
            self.h264_index = 0  # the next H.264 run starts from its key frame
        self.draws += 1
        self.send(pictures.draw_items(MAIN_WID, 0, 0, *MAIN_SIZE, coding, next(self.sequence)),
                  chunks={7: data})

    def draw_small(self):
        if not self.live:
            return
        wid = self.live[next(self.draw_turn) % len(self.live)][0]
        coding, data = self.fixtures["small"][next(self.draw_turn) % len(self.fixtures["small"])]
        self.draws += 1
        self.send(pictures.draw_items(wid, 0, 0, *SMALL_SIZE, coding, next(self.sequence)),
                  chunks={7: data})

    def window(self):
        now = time.monotonic()
        while self.live and self.live[0][1] <= now:
            self.send(["lost-window", self.live.pop(0)[0]])
        wid = next(self.wids)
        kind = wid % 4
        x, y = 40 + (wid * 37) % 400, 40 + (wid * 23) % 300
        w, h = SMALL_SIZE
        if kind == 0:
            self.send(["new-override-redirect", wid, x, y, w, h, {}])
        else:
            meta = {"title": f"soak {wid}"}
            if kind == 2:
                meta.update({"transient-for": MAIN_WID, "modal": True})
            elif kind == 3:
                meta.update({"parent": MAIN_WID})
            self.send(["new-window", wid, x, y, w, h, meta])
        self.live.append((wid, now + WINDOW_LIFE_SECONDS))

    def metadata(self):
        n = next(self.serial)
        targets = [MAIN_WID] + [wid for wid, _ in self.live]
        wid = targets[n % len(targets)]
        self.send(["window-metadata", wid, {"title": f"title {n} ✓", "icon-title": f"i{n}"}])

    def move(self):
        n = next(self.serial)
        if self.live:
            wid = self.live[n % len(self.live)][0]
            self.send(["window-move-resize", wid, 30 + n % 300, 30 + n % 200, *SMALL_SIZE])

    def cursor(self):
        n = next(self.serial)
        if n % 5 == 0:
            self.send(["cursor-default"])
        else:
            self.send(["cursor-data", "png", 16, 16, 2, 2, n, ""],
                      chunks={7: distinct_image(n, 16)})

    def icon(self):
        n = next(self.serial)
        self.send(["window-icon", MAIN_WID, 32, 32, "png", ""], chunks={5: distinct_image(n, 32)})

    def bell(self):
        self.send(["bell", 0, 0, 0, 440, 60])

    def notify(self):
        n = next(self.notifications)
        self.send(["notify_show", 0, n, "soak", 0, "", f"note {n}", "body", 1500, "", [], {}])
        if n > 3:
            self.send(["notify_close", n - 3])

    def server_clipboard(self):
        text = f"server text {next(self.serial)}"
        self.send(["clipboard-token", "CLIPBOARD", ["UTF8_STRING"], "UTF8_STRING",
                   "UTF8_STRING", 8, "bytes", "placeholder"], chunks={7: text.encode()})

    def local_clipboard(self):
        self.desktop.spawn_with_input("xclip", ["xclip", "-selection", "clipboard"],
                                      f"local text {next(self.serial)}")
        # finished copies end by themselves once the client took the selection away again
        self.desktop.processes = [(n, p) for n, p in self.desktop.processes
                                  if n != "xclip" or p.poll() is None]

    def server_ping(self):
        n = next(self.serial)
        self.pings_out[n] = time.monotonic()
        self.send(["ping", n, 0])

    def audio(self, index):
        packets = self.fixtures["opus"]
        seq = self.audio_sequence
        if index == 0:
            self.send(["audio-data", "opus", b"", {"sequence": seq, "start-of-stream": True}],
                      chunks={2: packets[0]})
            self.send(["audio-data", "opus", b"", {"sequence": seq}], chunks={2: packets[1]})
        i = index
        self.send(["audio-data", "opus", b"",
                   {"sequence": seq, "timestamp": int(i * AUDIO_PACKET_SECONDS * 1e9),
                    "duration": int(AUDIO_PACKET_SECONDS * 1e9)}],
                  chunks={2: packets[2 + i % (len(packets) - 2)]})

    def end_audio(self):
        self.send(["audio-data", "opus", b"", {"sequence": self.audio_sequence,
                                               "end-of-stream": True}])

    # -- rounds

    def busy(self, seconds):
        actions = {"draw-main": self.draw_main, "draw-small": self.draw_small,
                   "window": self.window, "metadata": self.metadata, "move": self.move,
                   "cursor": self.cursor, "icon": self.icon, "bell": self.bell,
                   "notify": self.notify, "server-clipboard": self.server_clipboard,
                   "local-clipboard": self.local_clipboard, "server-ping": self.server_ping}
        start = time.monotonic()
        due = {name: start for name in actions}
        audio_start, audio_index, playing = start, 0, False
        while time.monotonic() - start < seconds and self.error is None:
            now = time.monotonic()
            for name, at in due.items():
                if now >= at:
                    actions[name]()
                    # catch up without bursts when a send waited
                    due[name] = max(at + PERIODS[name], now)
            phase = (now - start) % (AUDIO_ON_SECONDS + AUDIO_OFF_SECONDS)
            if phase < AUDIO_ON_SECONDS:
                if not playing:
                    playing, audio_start, audio_index = True, now, 0
                while audio_start + audio_index * AUDIO_PACKET_SECONDS <= now:
                    self.audio(audio_index)
                    audio_index += 1
            elif playing:
                self.end_audio()
                playing = False
            time.sleep(TICK)
        if playing:
            self.end_audio()
        while self.live:
            self.send(["lost-window", self.live.pop(0)[0]])

    def idle(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and self.error is None:
            self.server_ping()
            time.sleep(1.0)

    def close(self):
        self.stop.set()
        self.reader.join(5)


def run(args):
    tmp = tempfile.TemporaryDirectory()
    os.chmod(tmp.name, 0o700)
    print("making fixtures ...", flush=True)
    fixtures = make_fixtures(tmp.name)
    desktop = X11(size="1024x768")
    pulse = peer = client = recorder = None
    try:
        desktop.start_dbus()
        desktop.start_dunst()
        if args.tray == "xembed":
            desktop.start_trayer()  # notifications then show as the tray icon's balloons
        else:
            desktop.start_sni_watcher()
        pulse = PulseServer(tmp.name)
        # A reader of the null sink at a low latency paces it like a sound card; idle, it renders
        # up to two seconds ahead, and a new stream waits that long with its queue full.
        recorder = subprocess.Popen(["parec", "--latency-msec=20", "-d", "testsink.monitor"],
                                    env=pulse.env, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        time.sleep(2.5)
        peer = Peer.tcp()
        env = dict(desktop.env, PULSE_SERVER=pulse.env["PULSE_SERVER"], HOME=tmp.name,
                   NOLV_DESKTOP_SCALING="1", NOLV_KEYBOARD_LAYOUT="us")
        log_path = os.path.join(tmp.name, "nolv.log")
        with open(log_path, "w") as log:
            client = subprocess.Popen([args.nolv, peer.target], env=env, stdout=log,
                                      stderr=subprocess.STDOUT)
        session = peer.accept(timeout=30)
        session.wait_for("hello", 30)
        session.send(["hello", {"version": "6.1", "ping": True, "audio": {"async": True},
                              "clipboard": {"enabled": True}}])
        session.wait_for("audio-capabilities", 30)
        session.send(["startup-complete"])
        session.send(["audio-capabilities", {"send": True, "encoders": ["opus"]}])
        session.wait_for("audio-control", 30)
        session.send(["new-window", MAIN_WID, 60, 60, *MAIN_SIZE, {"title": "soak main"}])
        session.wait_for("window-map", 30)
        driver = Driver(session, fixtures, desktop)
        driver.start()
        probe = XResources(desktop.env["DISPLAY"], client.pid)
        start = time.monotonic()
        samples = []
        sampling = threading.Event()

        def sample_busy():
            while not sampling.wait(args.sample_seconds):
                if client.poll() is None:
                    samples.append(take_sample(client.pid, probe_busy, pulse.env, "busy",
                                               start))

        probe_busy = XResources(desktop.env["DISPLAY"], client.pid)
        total = args.minutes * 60
        rounds = 0
        print(f"churn for {args.minutes} min: busy {args.busy_seconds} s, idle "
              f"{args.idle_seconds} s, a sample every {args.sample_seconds} s", flush=True)
        while time.monotonic() - start < total and driver.error is None:
            sampling.clear()
            sampler = threading.Thread(target=sample_busy, daemon=True)
            sampler.start()
            sent_before, t_before = driver.sent, time.monotonic()
            driver.busy(min(args.busy_seconds, max(1, total - (time.monotonic() - start))))
            rate = (driver.sent - sent_before) / (time.monotonic() - t_before)
            sampling.set()
            sampler.join()
            driver.idle(args.idle_seconds)
            if client.poll() is not None:
                break
            idle = take_sample(client.pid, probe, pulse.env, "idle", start)
            samples.append(idle)
            rounds += 1
            print(f"round {rounds} at {idle['t'] / 60:.1f} min: {rate:.0f} packets/s, idle RSS "
                  f"{idle['rss']:.1f} MiB, dirty {idle['dirty']:.1f} MiB, fds {idle['fds']}, "
                  f"threads {idle['threads']}, X resources {idle['xres']}, streams "
                  f"{idle['streams']}", flush=True)
        driver.close()
        probe.close()
        probe_busy.close()
        alive = client.poll() is None
        report(args, samples, driver, alive, log_path)
        shown = desktop.read("dunst.log").count("summary:")
        print(f"notifications the daemon showed: {shown}")
        if args.csv:
            with open(args.csv, "w") as f:
                keys = ["t", "phase"] + [k for k, _, _ in METRICS]
                f.write(",".join(keys) + "\n")
                for s in samples:
                    f.write(",".join(str(s[k]) for k in keys) + "\n")
        return 0 if alive and driver.error is None else 1
    finally:
        if client is not None:
            stop_process(client)
        if peer is not None:
            peer.close()
        if recorder is not None:
            stop_process(recorder)
        if pulse is not None:
            pulse.close()
        desktop.close()
        tmp.cleanup()


def report(args, samples, driver, alive, log_path):
    warm = args.warmup_minutes * 60
    print()
    print(f"client {'still running' if alive else 'ENDED'}; reader: {driver.error or 'ok'}")
    if not alive:
        with open(log_path, errors="replace") as f:
            print("".join(f.readlines()[-20:]))
    got = ", ".join(f"{k} {v}" for k, v in sorted(driver.counts.items()))
    print(f"packets sent {driver.sent}, draws among them {driver.draws}; from the client: {got}")
    with open(log_path, errors="replace") as f:
        lines = f.readlines()
    print(f"client log: {sum('WARN' in line for line in lines)} warnings, "
          f"{sum('ERROR' in line for line in lines)} errors of {len(lines)} lines")
    said = {}
    for line in lines:
        if "WARN" in line or "ERROR" in line:
            text = line.split("WARN", 1)[-1].split("ERROR", 1)[-1].strip()
            said[text[:100]] = said.get(text[:100], 0) + 1
    for text, count in sorted(said.items(), key=lambda kv: -kv[1])[:5]:
        print(f"  {count:>6} x {text}")
    trips = sorted(driver.ping_trips)
    if trips:
        print(f"server pings answered {len(trips)}, unanswered {len(driver.pings_out)}, round "
              f"trip median {trips[len(trips) // 2] * 1000:.1f} ms, max {trips[-1] * 1000:.1f} ms")
    print(f"slopes per hour after the first {args.warmup_minutes} min "
          f"(least squares; start and end are the first and last sample counted):")
    for phase in ("busy", "idle"):
        counted = [s for s in samples if s["phase"] == phase and s["t"] >= warm]
        print(f"  {phase}: {len(counted)} samples")
        for key, label, unit in METRICS:
            slope = slope_per_hour(counted, key)
            if slope is None:
                print(f"    {label:<16} too few samples")
                continue
            print(f"    {label:<16} {counted[0][key]:>10.1f} -> {counted[-1][key]:>10.1f} "
                  f"{unit:<3}  slope {slope:+10.2f} {unit}/h")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("nolv")
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--warmup-minutes", type=float, default=10)
    parser.add_argument("--busy-seconds", type=float, default=120)
    parser.add_argument("--idle-seconds", type=float, default=20)
    parser.add_argument("--sample-seconds", type=float, default=10)
    parser.add_argument("--tray", choices=("sni", "xembed"), default="sni")
    parser.add_argument("--csv")
    args = parser.parse_args()
    args.nolv = os.path.realpath(args.nolv)
    if not os.access(args.nolv, os.X_OK):
        fail(f"{args.nolv} is missing or not executable")
    for tool in ("Xvfb", "openbox", "trayer", "dunst", "dbus-daemon", "pulseaudio", "pactl", "parec",
                 "xclip", "sox", "opusenc", "ffmpeg", "cwebp", "/usr/bin/convert"):
        if not shutil.which(tool):
            fail(f"{tool} is missing")
    if args.warmup_minutes >= args.minutes:
        fail("the warm-up must be shorter than the run")
    sys.exit(run(args))


if __name__ == "__main__":
    main()
