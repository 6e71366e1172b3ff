#!/usr/bin/python3
"""Pictures end to end: two nolv binaries (a baseline and a new one) against the scripted test
server, in turns, with the bare library decode rate measured in the same run.

    /usr/bin/python3 bench/e2e_pictures.py BASELINE_NOLV NEW_NOLV BARE_DECODE
        [--runs=3] [--seconds=6] [--only=SCENARIO,...]

Every scenario opens one 1920x1080 window and keeps two draws in flight: a new draw goes out as
soon as one is acknowledged. The client runs with QT_QPA_PLATFORM=offscreen. Scenarios:
  jpeg        60 JPEG frames of a moving test picture, in turn
  jpeg-1.5    the same at desktop scale 1.5 (NOLV_DESKTOP_SCALING)
  h264-1      an H.264 stream whose frames are one slice each
  h264-4      the same picture coded in four slices a frame
  windows-50  50 windows of 1920x1080, one H.264 frame each: RSS growth over the 50 back
              buffers; then draws for 50 window ids that have no window, and the threads after
After each binary's run of a frame scenario, BARE_DECODE (bench/bare_decode) decodes the same
input: TurboJPEG for the JPEG frames, one-thread libavcodec with the same conversion to
B, G, R, X for H.264. Each figure is the median of the runs; binaries run interleaved.

Columns: fps (acknowledged draws a second), ack latency median and p99 (draw sent to its
"window-ack" read), CPU per frame (user + system time of the client), peak RSS (VmHWM), and
bare fps (the library alone, same input, same run).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "peer"))
from nolv_peer import Peer, PeerError, yaml_text  # noqa: E402

WIDTH, HEIGHT = 1920, 1080
IN_FLIGHT = 2
WARMUP_FRAMES = 10
WINDOWS = 50
BARE_SECONDS = 3
TICKS = os.sysconf("SC_CLK_TCK")
FFMPEG = shutil.which("ffmpeg")


def fail(message):
    print(f"e2e_pictures: {message}", file=sys.stderr)
    sys.exit(2)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---- fixtures ---------------------------------------------------------------------------------

def run(args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True,
                          timeout=300).stdout


def jpeg_frames(frames=60):
    stream = run([FFMPEG, "-loglevel", "error", "-f", "lavfi", "-i",
                  f"testsrc2=size={WIDTH}x{HEIGHT}:rate=30", "-frames:v", str(frames),
                  "-c:v", "mjpeg", "-q:v", "5", "-f", "image2pipe", "-"])
    soi = b"\xff\xd8"
    return [soi + part for part in stream.split(soi) if part]


def h264_units(slices, frames=150):
    """Access units of a baseline, no-delay stream with this many slices a frame; the first
    holds the stream headers and the IDR frame."""
    stream = run([FFMPEG, "-loglevel", "error", "-f", "lavfi", "-i",
                  f"testsrc2=size={WIDTH}x{HEIGHT}:rate=30", "-frames:v", str(frames),
                  "-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "veryfast",
                  "-tune", "zerolatency", "-profile:v", "baseline",
                  "-x264-params", f"aud=1:sliced-threads=0:slices={slices}",
                  "-bsf:v", "h264_mp4toannexb", "-f", "h264", "-"])
    aud = b"\x00\x00\x00\x01\x09"
    return [aud + part for part in stream.split(aud) if part], stream


def slices_per_frame(unit):
    return sum(1 for nal in unit.split(b"\x00\x00\x01")[1:] if nal and nal[0] & 0x1F in (1, 5))


def make_fixtures(directory):
    fixtures = {}
    frames = jpeg_frames()
    paths = []
    for i, data in enumerate(frames):
        path = os.path.join(directory, f"frame{i:03}.jpg")
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    fixtures["jpeg"] = (frames, ["jpeg", *paths])
    for slices in (1, 4):
        units, stream = h264_units(slices)
        found = slices_per_frame(units[1])
        if found != slices:
            fail(f"the H.264 clip has {found} slices a frame, not {slices}")
        path = os.path.join(directory, f"slices{slices}.h264")
        with open(path, "wb") as f:
            f.write(stream)
        fixtures[f"h264-{slices}"] = (units, ["h264", path])
    return fixtures


# ---- one client -------------------------------------------------------------------------------

class Client:
    """nolv past its start-up; offscreen unless `env` gives the platform's environment."""

    def __init__(self, binary, peer, scale=None, env=None):
        self.dir = tempfile.TemporaryDirectory()
        os.chmod(self.dir.name, 0o700)
        base = env or {"PATH": os.environ.get("PATH", "/usr/bin:/bin"),
                       "QT_QPA_PLATFORM": "offscreen"}
        env = dict(base, XDG_RUNTIME_DIR=self.dir.name, USER="bench", HOSTNAME="benchhost")
        if scale:
            env["NOLV_DESKTOP_SCALING"] = scale
        self.log = open(os.path.join(self.dir.name, "out.log"), "w")
        self.process = subprocess.Popen([binary, peer.target], stdout=self.log,
                                        stderr=subprocess.STDOUT, env=env)
        self.session = peer.accept(timeout=30)
        self.session.wait_for("hello", 30)
        self.session.send(["hello", {"version": "nolv-bench"}])
        self.session.send(["startup-complete"])

    def status(self, key):
        with open(f"/proc/{self.process.pid}/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def cpu_seconds(self):
        with open(f"/proc/{self.process.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime

    def close(self):
        self.session.close()
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.log.close()
        self.dir.cleanup()


def open_window(session, wid):
    session.send(["new-window", wid, 0, 0, WIDTH, HEIGHT, {"title": f"bench {wid}"}])


def draw_text(wid, coding, sequence):
    """The draw's YAML text, formatted directly: the YAML library would cost the scripted server
    more time per draw than the client's network path, and that time would count as the
    client's."""
    options = ", {full-range: false}" if coding == "h264" else ""
    return f"[draw, {wid}, 0, 0, {WIDTH}, {HEIGHT}, {coding}, '', {sequence}, 0{options}]"


def draw(session, wid, coding, sequence, data):
    session.send_yaml(draw_text(wid, coding, sequence), chunks={7: data})


def stream_frames(client, coding, frames, seconds):
    """Two draws in flight for `seconds` after a warm-up; returns the figures."""
    session = client.session
    open_window(session, 1)
    sent_at = {}
    latencies = []
    sequence = 0
    acked = 0

    def send_next():
        nonlocal sequence
        sequence += 1
        sent_at[sequence] = time.monotonic()
        draw(session, 1, coding, sequence, frames[(sequence - 1) % len(frames)])

    for _ in range(IN_FLIGHT):
        send_next()
    start = end = None
    cpu_start = 0.0
    while True:
        packet = session.recv(30)
        if packet[0] != "window-ack":
            continue
        now = time.monotonic()
        if packet[6] != "":
            raise PeerError(f"draw failed: {packet!r}")
        acked += 1
        if acked == WARMUP_FRAMES:
            start, cpu_start, counted = now, client.cpu_seconds(), 0
        elif start is not None:
            counted += 1
            latencies.append(now - sent_at.pop(packet[4]))
            if now - start >= seconds:
                end = now
                break
        session.received.clear()
        send_next()
    cpu = client.cpu_seconds() - cpu_start
    latencies.sort()
    return {"fps": counted / (end - start),
            "lat_med_ms": 1000 * statistics.median(latencies),
            "lat_p99_ms": 1000 * latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))],
            "cpu_ms": 1000 * cpu / counted,
            "peak_rss_mb": client.status("VmHWM") / 1024}


def many_windows(client, first_unit):
    """50 windows with one H.264 frame each; then as many draws for ids without a window, whose
    decoders must not stay behind (counted in the threads)."""
    session = client.session

    def draws(wids, sequence):
        for wid in wids:
            sequence += 1
            draw(session, wid, "h264", sequence, first_unit)
        acks = 0
        while acks < len(wids):
            packet = session.recv(60)
            acks += packet[0] == "window-ack"
        session.received.clear()
        return sequence

    time.sleep(1)
    rss_before = client.status("VmRSS")
    for wid in range(1, WINDOWS + 1):
        open_window(session, wid)
    sequence = draws(list(range(1, WINDOWS + 1)), 0)
    time.sleep(1)
    rss_after = client.status("VmRSS")
    draws(list(range(1001, 1001 + WINDOWS)), sequence)
    time.sleep(2)  # decoders of window-less ids are released after their draws
    back_buffers = WINDOWS * WIDTH * HEIGHT * 4
    return {"rss_ratio": (rss_after - rss_before) * 1024 / back_buffers,
            "rss_growth_mb": (rss_after - rss_before) / 1024,
            "threads": client.status("Threads"),
            "peak_rss_mb": client.status("VmHWM") / 1024}


def bare_rate(bare, args):
    out = run([bare, args[0], str(BARE_SECONDS), *args[1:]]).decode()
    return float(out.split()[1])


SCENARIOS = {
    "jpeg": ("jpeg", "jpeg", None),
    "jpeg-1.5": ("jpeg", "jpeg", "1.5"),
    "h264-1": ("h264", "h264-1", None),
    "h264-4": ("h264", "h264-4", None),
    "windows-50": ("h264", "h264-1", None),
}


def run_scenario(name, binary, bare, fixtures, seconds):
    coding, fixture, scale = SCENARIOS[name]
    frames, bare_args = fixtures[fixture]
    with Peer.tcp() as peer:
        client = Client(binary, peer, scale)
        try:
            if name == "windows-50":
                result = many_windows(client, frames[0])
            else:
                result = stream_frames(client, coding, frames, seconds)
        finally:
            client.close()
    if name != "windows-50":
        result["bare_fps"] = bare_rate(bare, bare_args)
    return result


# ---- the table --------------------------------------------------------------------------------

def median_of(results, key):
    values = [r[key] for r in results if key in r]
    return statistics.median(values) if values else float("nan")


def print_table(names, results):
    print()
    print(f"{'scenario':<11} {'binary':<9} {'fps':>7} {'bare fps':>9} {'lat med':>8} "
          f"{'lat p99':>8} {'cpu/frame':>9} {'peak RSS':>9}")
    for name in names:
        if name == "windows-50":
            continue
        for label in ("baseline", "new"):
            r = results[(name, label)]
            print(f"{name:<11} {label:<9} {median_of(r, 'fps'):7.1f} {median_of(r, 'bare_fps'):9.1f} "
                  f"{median_of(r, 'lat_med_ms'):6.1f}ms {median_of(r, 'lat_p99_ms'):6.1f}ms "
                  f"{median_of(r, 'cpu_ms'):7.1f}ms {median_of(r, 'peak_rss_mb'):7.0f}MB")
    if "windows-50" in names:
        for label in ("baseline", "new"):
            r = results[("windows-50", label)]
            print(f"{'windows-50':<11} {label:<9} RSS growth {median_of(r, 'rss_growth_mb'):.0f} MB"
                  f" = {median_of(r, 'rss_ratio'):.2f}x the back buffers, "
                  f"{median_of(r, 'threads'):.0f} threads")

    rows = []

    def fps_over_bare(name, label):
        r = results.get((name, label))
        if not r:
            return float("nan")
        return statistics.median(x["fps"] / x["bare_fps"] for x in r)

    def fps_over(name_a, name_b, label):
        ra, rb = results.get((name_a, label)), results.get((name_b, label))
        if not ra or not rb:
            return float("nan")
        return statistics.median(x["fps"] / y["fps"] for x, y in zip(ra, rb))

    if "jpeg" in names:
        rows.append(("1080p JPEG stream, client fps / bare TurboJPEG decode loop", ">= 0.92",
                     lambda label: f"{fps_over_bare('jpeg', label):.2f}"))
    if "h264-1" in names:
        rows.append(("1080p single-slice H.264, client fps / bare 1-thread decode + conversion",
                     ">= 0.92", lambda label: f"{fps_over_bare('h264-1', label):.2f}"))
    if "h264-4" in names:
        rows.append(("1080p four-slice H.264, client fps / bare 1-thread decode + conversion",
                     "(info)", lambda label: f"{fps_over_bare('h264-4', label):.2f}"))
    if "jpeg" in names and "jpeg-1.5" in names:
        rows.append(("fps at scale 1.5 / fps at scale 1.0, same JPEG stream", ">= 0.90",
                     lambda label: f"{fps_over('jpeg-1.5', 'jpeg', label):.2f}"))
    if "windows-50" in names:
        rows.append(("50 windows 1080p + H.264 frame each: RSS growth / back buffers; threads",
                     "<= 2.9x; <= 64",
                     lambda label: f"{median_of(results[('windows-50', label)], 'rss_ratio'):.2f}x; "
                                   f"{median_of(results[('windows-50', label)], 'threads'):.0f}"))
    print()
    print(f"| {'figure':<75} | {'baseline':>14} | {'new':>14} | {'goal':>14} |")
    for title, goal, value in rows:
        print(f"| {title:<75} | {value('baseline'):>14} | {value('new'):>14} | {goal:>14} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     usage="%(prog)s BASELINE_NOLV NEW_NOLV BARE_DECODE "
                                           "[--runs=3] [--seconds=6] [--only=...]")
    parser.add_argument("baseline")
    parser.add_argument("new")
    parser.add_argument("bare")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=6.0)
    parser.add_argument("--only", default=",".join(SCENARIOS))
    args = parser.parse_args()
    for path in (args.baseline, args.new, args.bare):
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            fail(f"{path} is not an executable file")
    if FFMPEG is None:
        fail("ffmpeg is missing (apt-get install ffmpeg; it needs libx264 and the lavfi sources)")
    names = [n for n in args.only.split(",") if n]
    for n in names:
        if n not in SCENARIOS:
            fail(f"unknown scenario {n}; known: {', '.join(SCENARIOS)}")

    for coding in ("jpeg", "h264"):
        items = ["draw", 7, 0, 0, WIDTH, HEIGHT, coding, "", 3, 0]
        if coding == "h264":
            items.append({"full-range": False})
        if draw_text(7, coding, 3) != yaml_text(items):
            fail(f"draw text {draw_text(7, coding, 3)!r} is not the YAML {yaml_text(items)!r}")
    print(f"load average at start: {loadavg()}  ({os.cpu_count()} cores)", flush=True)
    with tempfile.TemporaryDirectory() as directory:
        fixtures = make_fixtures(directory)
        results = {}
        for run_index in range(args.runs):
            for name in names:
                for label, binary in (("baseline", args.baseline), ("new", args.new)):
                    r = run_scenario(name, binary, args.bare, fixtures, args.seconds)
                    results.setdefault((name, label), []).append(r)
                    shown = ", ".join(f"{k} {v:.2f}" for k, v in r.items())
                    print(f"run {run_index + 1} {name} {label}: {shown}  [load {loadavg()}]",
                          flush=True)
    print_table(names, results)
    print(f"\nload average at end: {loadavg()}")


if __name__ == "__main__":
    main()
