#!/bin/bash
# The whole benchmark table: a baseline nolv binary against a new one, interleaved, medians of
# three runs, with the machine's load at start and end.
#
#   bench/run_all.sh BASELINE_NOLV NEW_NOLV [extra options for e2e_pictures.py]
#
# NEW_NOLV's build directory must hold the benchmark programs (cmake --build BUILD builds them
# with the default NOLV_BENCH=ON): BUILD/bench/bare_decode and the others listed below.
# Needs /usr/bin/python3, ffmpeg with libx264 and Xvfb (scripts/install-deps installs them).
set -euo pipefail

usage() {
  sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
[[ $# -ge 2 ]] || usage
baseline=$(realpath "$1")
new=$(realpath "$2")
shift 2
here=$(cd "$(dirname "$0")" && pwd)
build=$(dirname "$new")
bare="$build/bench/bare_decode"

for tool in /usr/bin/python3 ffmpeg Xvfb; do
  command -v "$tool" > /dev/null || { echo "run_all.sh: $tool is missing" >&2; exit 2; }
done
for binary in "$baseline" "$new" "$bare"; do
  [[ -x "$binary" ]] || { echo "run_all.sh: $binary is missing or not executable" >&2; exit 2; }
done

echo "== pictures: $baseline (baseline) vs $new (new)"
/usr/bin/python3 "$here/e2e_pictures.py" "$baseline" "$new" "$bare" "$@"

# An ordinary stream: paced at 60 fps, offscreen and on a private Xvfb, and new windows.
echo
echo "== paced stream and new windows: $baseline (baseline) vs $new (new)"
/usr/bin/python3 "$here/e2e_paced.py" "$bare" "$baseline" "$new"

# The rows of the other benchmarks, when NEW_NOLV's build has them; each prints its own figures.
for extra in small_packets_bench handover_bench; do
  program="$build/bench/$extra"
  if [[ -x "$program" ]]; then
    echo
    echo "== $extra (load average $(cut -d' ' -f1-3 /proc/loadavg))"
    "$program"
  else
    echo
    echo "== $extra: not built in $build/bench, row skipped"
  fi
done
echo
echo "load average at the very end: $(cut -d' ' -f1-3 /proc/loadavg)"
