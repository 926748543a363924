#!/usr/bin/env bash
# Builds the throughput benchmarks (RelWithDebInfo, as the normal build) and
# prints each pair's ratio against its plain yardstick, from the medians of
# a few repetitions run in one process per pair:
#   BM_Queue_CrossThread   / BM_StdQueue_CrossThread   aim >= 0.5
#   BM_TcpEngine_Bytes     / BM_TcpRaw_Bytes           aim >= 0.7
#   BM_UdpEngine_Datagrams / BM_UdpRaw_Datagrams       aim >= 0.9
#   BM_FixMem_MallocFree   / BM_NewDelete (time)       aim <= 1.0, at 1,000 and 100,000 live
# The load average is printed before and after: on a busy machine the pairs
# move apart, the yardsticks (one thread less) less than the engine.
#
#   bench/handoff_ratios.sh [BUILD_DIR] [REPETITIONS]   (defaults build-bench, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-bench}
reps=${2:-3}
command -v python3 >/dev/null || { echo "python3 is needed to read the results" >&2; exit 2; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_BUILD_BENCH=ON -DZEP_SANITIZE= \
  >"$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target bench_frame bench_net bench_fixmem
out=$(mktemp -d /tmp/handoff.XXXXXX)
trap 'rm -rf "$out"' EXIT
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
run() {  # name binary filter
  "$build/$2" --benchmark_filter="$3" --benchmark_repetitions="$reps" \
    --benchmark_format=json >"$out/$1.json" 2>"$out/$1.err" || { cat "$out/$1.err"; exit 1; }
}
run queue bench_frame '^BM_(Std)?Queue_CrossThread'
run udp bench_net '^BM_Udp(Raw|Engine)_Datagrams'
run tcp bench_net '^BM_Tcp(Raw|Engine)_Bytes'
run fixmem bench_fixmem '^BM_(FixMem_MallocFree|NewDelete)/'
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$out" <<'PY'
import json, statistics, sys, os
d = sys.argv[1]
def runs(f):
    with open(os.path.join(d, f + ".json")) as fh:
        return [b for b in json.load(fh)["benchmarks"] if b.get("run_type") == "iteration"]
def rate(bs, name, key):
    v = [b[key] for b in bs if b["run_name"] == name or b["run_name"].startswith(name + "/")]
    return statistics.median(v), v
def show(label, a, b, aim, higher):
    ok = (a[0] / b[0] >= aim) if higher else (a[0] / b[0] <= aim)
    print(f"{label:48s} {a[0] / b[0]:6.2f}  (aim {'>=' if higher else '<='} {aim}; "
          f"{'met' if ok else 'MISSED'})")
    print(f"    runs: {[round(x, 3) for x in a[1]]} / {[round(x, 3) for x in b[1]]}")
q = runs("queue")
show("Queue_CrossThread / StdQueue_CrossThread (items/s)",
     rate(q, "BM_Queue_CrossThread", "items_per_second"),
     rate(q, "BM_StdQueue_CrossThread", "items_per_second"), 0.5, True)
t = runs("tcp")
show("TcpEngine_Bytes / TcpRaw_Bytes (bytes/s)",
     rate(t, "BM_TcpEngine_Bytes", "bytes_per_second"),
     rate(t, "BM_TcpRaw_Bytes", "bytes_per_second"), 0.7, True)
u = runs("udp")
show("UdpEngine_Datagrams / UdpRaw_Datagrams (items/s)",
     rate(u, "BM_UdpEngine_Datagrams", "items_per_second"),
     rate(u, "BM_UdpRaw_Datagrams", "items_per_second"), 0.9, True)
f = runs("fixmem")
for live in ("1000", "100000"):
    show(f"FixMem_MallocFree / NewDelete at {live} (cpu ns)",
         rate(f, f"BM_FixMem_MallocFree/{live}", "cpu_time"),
         rate(f, f"BM_NewDelete/{live}", "cpu_time"), 1.0, False)
PY
