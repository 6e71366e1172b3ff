#!/usr/bin/python3
"""A paced 1080p stream end to end: what an ordinary video window costs, beside the bare library
decode of the same frames measured in the same run.

    /usr/bin/python3 bench/e2e_paced.py BARE_DECODE NOLV [NOLV ...]
        [--seconds=10] [--fps=60] [--platforms=offscreen,xcb] [--codings=jpeg,h264-1]
        [--windows=6]

For every platform (offscreen; xcb on a private Xvfb without a window manager), every coding
(JPEG; H.264 of one slice a frame) and every binary, one window of 1920x1080 and:
  paced       a draw written every 1/fps seconds for `seconds`, whether or not the earlier ones
              are answered. Figures: the client's CPU per frame (user + system time over the
              counted frames) and per thread (/proc/PID/task/*/stat, threads grouped by name, the
              main thread as "event loop"), draw written -> "window-ack" read, median and p99.
  saturated   two draws in flight (a new one as soon as one is answered): fps / bare fps.
  bare        BARE_DECODE (bench/bare_decode) over the same frames right after: TurboJPEG to
              B, G, R, A; one-thread libavcodec + swscale to B, G, R, X. Its CPU time per frame
              is what the client's figures are set beside.
Then, per platform and binary, a fresh client opens `windows` windows of 1920x1080 one after
another (each removed with "lost-window" before the next): "new-window" written -> "window-map"
read, and its first JPEG draw written -> its "window-ack" read; the first window of the process
and the median of the later ones are shown apart.
The load average is printed beside every figure: other work on the machine shows there.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peer"))
sys.path.insert(0, HERE)
import e2e_pictures as pictures  # noqa: E402
from nolv_peer import Peer, PeerError  # noqa: E402

WIDTH, HEIGHT = pictures.WIDTH, pictures.HEIGHT
WARMUP_SECONDS = 1.0
SATURATED_SECONDS = 5.0
TICKS = os.sysconf("SC_CLK_TCK")
GOALS = {"cpu": "<= 1.3x", "lat": "<= bare + 1 ms", "sat": ">= 0.95", "win": "<= 10 ms"}


def loadavg():
    return pictures.loadavg()


def task_times(pid):
    """{tid: (name, cpu seconds)} of every thread of the process."""
    times = {}
    base = f"/proc/{pid}/task"
    for tid in os.listdir(base):
        try:
            with open(f"{base}/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"{base}/{tid}/comm") as f:
                name = f.read().strip()
        except OSError:
            continue  # the thread ended meanwhile
        name = "event loop" if int(tid) == pid else name
        times[int(tid)] = (name, (int(fields[11]) + int(fields[12])) / TICKS)
    return times


def per_thread(before, after):
    """CPU seconds per thread name between two task_times snapshots."""
    spent = {}
    for tid, (name, cpu) in after.items():
        spent[name] = spent.get(name, 0.0) + cpu - before.get(tid, (name, 0.0))[1]
    return spent


def check_ack(packet):
    if packet[6] != "":
        raise PeerError(f"draw failed: {packet!r}")


def paced(client, coding, frames, seconds, fps):
    """Draws written on a fixed clock from a thread of their own; the acks read here."""
    session = client.session
    pictures.open_window(session, 1)
    session.wait_for("window-map", 30)
    total = int((WARMUP_SECONDS + seconds) * fps)
    warmup = int(WARMUP_SECONDS * fps)
    sent_at = {}
    snapshot = {}

    def sender():
        start = time.monotonic()
        for i in range(total):
            due = start + i / fps
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            sequence = i + 1
            if sequence == warmup + 1:
                snapshot["tasks"] = task_times(client.process.pid)
                snapshot["cpu"] = client.cpu_seconds()
            # Noted before the write: after it, this thread may wait for the lock that the
            # reading thread holds, and the answer would look quicker than it was.
            sent_at[sequence] = time.monotonic()
            pictures.draw(session, 1, coding, sequence, frames[i % len(frames)])

    thread = threading.Thread(target=sender, daemon=True)
    thread.start()
    # The pairs are made once the sender is done: an answer may be read before the sender's
    # dictionary is seen to hold its draw.
    answered_at = {}
    while len(answered_at) < total:
        packet = session.recv(30)
        if packet[0] != "window-ack":
            continue
        answered_at[packet[4]] = time.monotonic()
        check_ack(packet)
        if len(session.received) > 1000:
            session.received.clear()
    thread.join()
    latencies = [at - sent_at[seq] for seq, at in answered_at.items() if seq > warmup]
    cpu = client.cpu_seconds() - snapshot["cpu"]
    threads = per_thread(snapshot["tasks"], task_times(client.process.pid))
    counted = total - warmup
    latencies.sort()
    return {"cpu_ms": 1000 * cpu / counted,
            "threads_ms": {k: 1000 * v / counted for k, v in threads.items()},
            "lat_med_ms": 1000 * statistics.median(latencies),
            "lat_p99_ms": 1000 * latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]}


def new_windows(client, jpeg, count):
    session = client.session
    maps, acks = [], []
    for wid in range(1, count + 1):
        started = time.monotonic()
        pictures.open_window(session, wid)
        while True:
            packet = session.recv(30)
            if packet[0] == "window-map" and packet[1] == wid:
                break
        mapped = time.monotonic()
        pictures.draw(session, wid, "jpeg", wid, jpeg)
        written = time.monotonic()
        while True:
            packet = session.recv(30)
            if packet[0] == "window-ack" and packet[4] == wid:
                check_ack(packet)
                break
        acks.append(1000 * (time.monotonic() - written))
        maps.append(1000 * (mapped - started))
        session.send(["lost-window", wid])
        time.sleep(0.3)
        session.received.clear()
    return {"map_first_ms": maps[0], "ack_first_ms": acks[0],
            "map_later_ms": statistics.median(maps[1:]) if count > 1 else float("nan"),
            "ack_later_ms": statistics.median(acks[1:]) if count > 1 else float("nan")}


def start_xvfb(size):
    """Xvfb on a display number it picks itself: (process, ":N")."""
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{size}x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(write_fd,),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as announced:
        number = announced.readline().strip()
    if not number:
        xvfb.kill()
        xvfb.wait()
        pictures.fail("Xvfb did not start")
    return xvfb, ":" + number


class Platform:
    """The environment a client runs in; xcb gets a private Xvfb of the window's size."""

    def __init__(self, name):
        self.name = name
        self.xvfb = None
        self.env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "QT_QPA_PLATFORM": name}
        if name == "xcb":
            self.xvfb, display = start_xvfb(f"{WIDTH}x{HEIGHT}")
            self.env["DISPLAY"] = display

    def close(self):
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait()


def with_client(binary, platform, body):
    with Peer.tcp() as peer:
        client = pictures.Client(binary, peer, env=platform.env)
        try:
            return body(client)
        finally:
            client.close()


def frame_figures(binary, platform, bare, fixture, coding, args):
    frames, bare_args = fixture
    result = with_client(binary, platform,
                         lambda c: paced(c, coding, frames, args.seconds, args.fps))
    saturated = with_client(binary, platform, lambda c: pictures.stream_frames(
        c, coding, frames, SATURATED_SECONDS))
    bare_fps, bare_cpu_ms = bare_figures(bare, bare_args)
    result.update({"bare_ms": bare_cpu_ms, "sat_fps": saturated["fps"], "bare_fps": bare_fps,
                   "load": loadavg()})
    return result


def bare_figures(bare, args):
    """The bare loop's rate and its CPU time per frame (user + system): on a busy machine the
    time a frame takes on the clock is not its cost."""
    process = subprocess.Popen([bare, args[0], str(pictures.BARE_SECONDS), *args[1:]],
                               stdout=subprocess.PIPE)
    out = process.stdout.read().decode().split()
    process.stdout.close()
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0 or len(out) < 4:
        pictures.fail(f"{bare} failed ({process.returncode})")
    frames = int(out[3])
    return float(out[1]), 1000 * (usage.ru_utime + usage.ru_stime) / frames


def show_frames(label, r):
    print(f"  {label}: cpu/frame {r['cpu_ms']:.2f} ms = {r['cpu_ms'] / r['bare_ms']:.2f}x bare "
          f"{r['bare_ms']:.2f} ms; ack median {r['lat_med_ms']:.2f} ms "
          f"(bare + {r['lat_med_ms'] - r['bare_ms']:.2f}), p99 {r['lat_p99_ms']:.2f} ms; "
          f"saturated {r['sat_fps']:.1f} fps / bare {r['bare_fps']:.1f} = "
          f"{r['sat_fps'] / r['bare_fps']:.2f}  [load {r['load']}]", flush=True)
    busy = sorted(r["threads_ms"].items(), key=lambda kv: -kv[1])
    print("    per thread, ms a frame: " +
          ", ".join(f"{name} {ms:.2f}" for name, ms in busy if ms >= 0.005), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bare")
    parser.add_argument("binaries", nargs="+")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--fps", type=float, default=60.0)
    parser.add_argument("--platforms", default="offscreen,xcb")
    parser.add_argument("--codings", default="jpeg,h264-1")
    parser.add_argument("--windows", type=int, default=6)
    args = parser.parse_args()
    for path in (args.bare, *args.binaries):
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            pictures.fail(f"{path} is not an executable file")
    if pictures.FFMPEG is None:
        pictures.fail("ffmpeg is missing (it needs libx264 and the lavfi sources)")
    labels = ["nolv"] if len(args.binaries) == 1 else [
        "baseline" if i == 0 else f"new{'' if len(args.binaries) == 2 else i}"
        for i in range(len(args.binaries))]
    codings = [c for c in args.codings.split(",") if c]
    print(f"load average at start: {loadavg()}  ({os.cpu_count()} cores)", flush=True)
    results = {}
    with tempfile.TemporaryDirectory() as directory:
        fixtures = pictures.make_fixtures(directory)
        for name in [p for p in args.platforms.split(",") if p]:
            platform = Platform(name)
            try:
                for coding_name in codings:
                    coding = pictures.SCENARIOS[coding_name][0]
                    print(f"== {name} {coding_name}, paced at {args.fps:g} fps for "
                          f"{args.seconds:g} s", flush=True)
                    for label, binary in zip(labels, args.binaries):
                        r = frame_figures(binary, platform, args.bare, fixtures[coding_name],
                                          coding, args)
                        results[(name, coding_name, label)] = r
                        show_frames(label, r)
                print(f"== {name} new 1920x1080 windows", flush=True)
                jpeg = fixtures["jpeg"][0][0]
                for label, binary in zip(labels, args.binaries):
                    r = with_client(binary, platform,
                                    lambda c: new_windows(c, jpeg, args.windows))
                    r["load"] = loadavg()
                    results[(name, "windows", label)] = r
                    print(f"  {label}: new-window -> window-map first {r['map_first_ms']:.1f} ms, "
                          f"later {r['map_later_ms']:.1f} ms; first draw -> ack first "
                          f"{r['ack_first_ms']:.1f} ms, later {r['ack_later_ms']:.1f} ms  "
                          f"[load {r['load']}]", flush=True)
            finally:
                platform.close()
    print_table(args, labels, codings, results)
    print(f"\nload average at end: {loadavg()}")


def print_table(args, labels, codings, results):
    print()
    head = " | ".join(f"{name} {label}" for name in args.platforms.split(",") if name
                      for label in labels)
    print(f"| figure | {head} | goal |")
    columns = [(name, label) for name in args.platforms.split(",") if name for label in labels]
    print("|---" * (len(columns) + 2) + "|")

    def row(title, goal, value):
        cells = []
        for name, label in columns:
            try:
                cells.append(value(name, label))
            except KeyError:
                cells.append("-")
        print(f"| {title} | {' | '.join(cells)} | {goal} |")

    for c in codings:
        def fr(name, label, c=c):
            return results[(name, c, label)]
        row(f"{c}: cpu/frame / bare", GOALS["cpu"], lambda n, lb: (
            f"{fr(n, lb)['cpu_ms']:.2f} / {fr(n, lb)['bare_ms']:.2f} = "
            f"{fr(n, lb)['cpu_ms'] / fr(n, lb)['bare_ms']:.2f}x"))
        row(f"{c}: ack median (p99)", GOALS["lat"], lambda n, lb: (
            f"{fr(n, lb)['lat_med_ms']:.2f} ({fr(n, lb)['lat_p99_ms']:.1f}) ms"))
        row(f"{c}: saturated / bare", GOALS["sat"], lambda n, lb: (
            f"{fr(n, lb)['sat_fps'] / fr(n, lb)['bare_fps']:.2f}"))
        row(f"{c}: load", "", lambda n, lb: fr(n, lb)["load"])

    def win(name, label):
        return results[(name, "windows", label)]
    row("new-window -> window-map: first; later", GOALS["win"], lambda n, lb: (
        f"{win(n, lb)['map_first_ms']:.1f}; {win(n, lb)['map_later_ms']:.1f} ms"))
    row("first JPEG draw -> ack: first; later", GOALS["win"], lambda n, lb: (
        f"{win(n, lb)['ack_first_ms']:.1f}; {win(n, lb)['ack_later_ms']:.1f} ms"))


if __name__ == "__main__":
    main()
