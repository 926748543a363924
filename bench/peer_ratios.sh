#!/usr/bin/env bash
# Builds peer_bench (RelWithDebInfo, as the normal build) and runs the same
# work through the framework (twice: "framework" with the socket-thread
# engine the daemon uses, "framepoll" in the polling configuration, one
# service thread polling every socket), through libuv and through a plain
# loop, one
# process per figure and side, in repeated rounds (the side order turns from
# round to round). Prints every figure's median per side with the ratios
# framework/libuv, framework/raw and framepoll/libuv, then each run's value:
#   pingpong_1conn, pingpong_16conn  TCP echo of 64-byte messages over
#                       loopback, round trips/s (higher is better)
#   stream              TCP, one connection, MB/s (higher)
#   udp                 512-byte datagrams/s in windows of 50 (higher)
#   *_cpu               the side's CPU per round trip, MB or datagram (lower)
#   timers_cpu          10,000 repeating timers of 1 s: CPU ms per second of
#                       the process (lower)
#   timers_p50, _p99    lateness of their ticks in ms (lower)
#   hop                 a token passed between two threads, round trips/s
# and what the socket-thread engine's hop (a reader thread hands each read
# to the node's thread; libuv reads and echoes on one thread) costs of the
# one-connection ping-pong gap: "rawhop" is the plain echo with that hand-off
# added, and half a round trip of the frame's hop is one hand-off.
# The load average is printed before and after: figures taken while other
# work runs are noise, the CPU figures less so than the rates.
#
#   bench/peer_ratios.sh [REPETITIONS] [BUILD_DIR]   (defaults 3, build-bench)
#   PEER_SECONDS=1.5     the measured window of each rate, in seconds
#   PEER_BEFORE=PATH     an earlier build's peer_bench: its framework side runs
#                        in the same rounds as side "before", so a change is
#                        measured against what it replaced under one load
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-3}
build=${2:-build-bench}
seconds=${PEER_SECONDS:-1.5}
command -v python3 >/dev/null || { echo "python3 is needed to read the results" >&2; exit 2; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_BENCH=ON -DZEP_SANITIZE= \
  >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target peer_bench
bin=$build/peer_bench
sides=(framework framepoll libuv raw)
if "$bin" none libuv >/dev/null 2>&1; [ $? -eq 3 ]; then
  echo "libuv: not built in; install it (Debian: apt-get install libuv1-dev, or" \
    "scripts/deps.sh) and run again. Measuring the framework and the plain loop only."
  sides=(framework framepoll raw)
fi
before=${PEER_BEFORE:-}
if [ -n "$before" ]; then
  [ -x "$before" ] || { echo "PEER_BEFORE: no program at $before" >&2; exit 2; }
  sides+=(before)
fi
out=$(mktemp -d /tmp/peer.XXXXXX)
trap 'rm -rf "$out"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < reps; r++)); do
  for figure in pingpong_1conn pingpong_16conn stream udp timers hop; do
    these=("${sides[@]}")
    [[ $figure == pingpong_* ]] && these+=(rawhop)
    n=${#these[@]}
    for ((i = 0; i < n; i++)); do
      side=${these[$(((i + r) % n))]}
      if [ "$side" = before ]; then
        # The earlier build's framework, renamed so that its lines stand apart.
        if ! "$before" "$figure" framework "$seconds" 2>>"$out/errors" |
          awk '$2 == "framework" { $2 = "before" } { print }' >>"$out/results"; then
          echo "FAILED: $figure before: $(tail -1 "$out/errors")" >&2
        fi
      elif ! "$bin" "$figure" "$side" "$seconds" >>"$out/results" 2>>"$out/errors"; then
        echo "FAILED: $figure $side: $(tail -1 "$out/errors")" >&2
      fi
    done
  done
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out/results" "$reps" <<'PY'
import statistics, sys
from collections import defaultdict
runs, units = defaultdict(list), {}
with open(sys.argv[1]) as fh:
    for line in fh:
        name, side, value, unit = line.split()
        runs[(name, side)].append(float(value))
        units[name] = unit
med = {k: statistics.median(v) for k, v in runs.items()}
order = ["pingpong_1conn", "pingpong_1conn_cpu", "pingpong_16conn", "pingpong_16conn_cpu",
         "stream", "stream_cpu", "udp", "udp_cpu", "timers_cpu", "timers_p50", "timers_p99", "hop"]
def fmt(v):
    return "-" if v is None else (f"{v:.4g}" if abs(v) < 1000 else f"{v:.0f}")
def ratio(a, b):
    return "-" if a is None or b is None or b <= 0 else f"{a / b:.2f}"
print(f"medians of {sys.argv[2]} rounds")
have_before = any(side == "before" for (_, side) in runs)
print(f"{'figure':20s} {'unit':18s}" + (f" {'before':>10s}" if have_before else "") +
      f" {'framework':>10s} {'framepoll':>10s} {'libuv':>10s}"
      f" {'raw':>10s}" + (f" {'bf/libuv':>8s}" if have_before else "") +
      f" {'fw/libuv':>8s} {'fw/raw':>7s} {'fp/libuv':>8s}  better")
for name in order:
    if name not in units:
        continue
    fw, fp, uv, raw, bf = (med.get((name, s))
                           for s in ("framework", "framepoll", "libuv", "raw", "before"))
    better = "higher" if name in ("pingpong_1conn", "pingpong_16conn", "stream", "udp", "hop") \
        else "lower"
    print(f"{name:20s} {units[name]:18s}" + (f" {fmt(bf):>10s}" if have_before else "") +
          f" {fmt(fw):>10s} {fmt(fp):>10s} {fmt(uv):>10s}"
          f" {fmt(raw):>10s}" + (f" {ratio(bf, uv):>8s}" if have_before else "") +
          f" {ratio(fw, uv):>8s} {ratio(fw, raw):>7s} {ratio(fp, uv):>8s}"
          f"  {better}")
for name in ("pingpong_1conn", "pingpong_16conn"):
    for suffix in ("", "_cpu"):
        v = med.get((name + suffix, "rawhop"))
        if v is not None:
            print(f"{name + suffix:20s} {units[name + suffix]:18s} rawhop {fmt(v)}"
                  f" (raw {fmt(med.get((name + suffix, 'raw')))})")
print("runs:")
for (name, side), v in sorted(runs.items()):
    print(f"    {name:20s} {side:10s} {[float(fmt(x)) for x in v]}")

# The hop's share of the one-connection ping-pong gap, per round trip.
def us(name, side):
    v = med.get((name, side))
    return None if not v else 1e6 / v
fw, uv = us("pingpong_1conn", "framework"), us("pingpong_1conn", "libuv")
raw, rawhop = us("pingpong_1conn", "raw"), us("pingpong_1conn", "rawhop")
frame_hop = us("hop", "framework")
print("the socket-thread engine's hop, one-connection ping-pong (us per round trip):")
if fw is None or uv is None:
    print("    needs the framework and libuv figures")
else:
    gap = fw - uv
    print(f"    gap framework - libuv         {gap:7.2f} us (framework {fw:.2f}, libuv {uv:.2f})")
    def share(label, v):
        if v is None:
            return
        s = f"{v / gap:.0%} of the gap" if gap > 0 else "no gap"
        print(f"    {label:29s} {v:7.2f} us  {s}")
    if raw is not None and rawhop is not None:
        share("plain hand-off (rawhop - raw)", rawhop - raw)
    if frame_hop is not None:
        share("frame hand-off (hop / 2)", frame_hop / 2)
    fc, uc = med.get(("pingpong_1conn_cpu", "framework")), med.get(("pingpong_1conn_cpu", "libuv"))
    rc, hc = med.get(("pingpong_1conn_cpu", "raw")), med.get(("pingpong_1conn_cpu", "rawhop"))
    if None not in (fc, uc, rc, hc):
        cg = fc - uc
        s = f"{(hc - rc) / cg:.0%} of it" if cg > 0 else "no gap"
        print(f"    CPU gap framework - libuv     {cg:7.2f} us; plain hand-off {hc - rc:.2f} us, {s}")
PY
if [ -s "$out/errors" ]; then
  echo "messages of the runs:"
  sort -u "$out/errors"
fi
