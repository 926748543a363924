#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/fuzz_<name>.cpp, clang with
# Address+UndefinedBehavior sanitizers, folder build-fuzz) and runs each one
# for SECONDS (default 60) from a scratch copy of its seed corpus
# tests/fuzz/corpus/<name>/, so the runs never touch the tree. Prints one row
# per target: executions per second, coverage (cov: edges, ft: features),
# corpus size and the result. Exits non-zero when a target crashed, leaked,
# timed out, ran out of memory or broke a property; the input that did it is
# kept in build-fuzz/findings/<name>/ (add it to the corpus once fixed: the
# corpus replay test then keeps it fixed in every build).
#
# A build-fuzz configured before keeps its CMake settings: scripts/test.sh
# configures it with ZEP_THREAD_SAFETY=ON and builds every library there
# first, and the targets link those.
#
# Environment: FUZZ_JOBS targets at a time (default: the number of cores,
# at most 2), FUZZ_TARGETS a space-separated subset of names,
# FUZZ_KEEP_CORPUS=1 keeps the grown scratch corpora (their folder is printed).
set -uo pipefail
cd "$(dirname "$0")/.."
secs=${1:-60}
case $secs in '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
cores=$(nproc 2>/dev/null || echo 2)
jobs=${FUZZ_JOBS:-$((cores < 2 ? cores : 2))}
dir=build-fuzz
cxx=${FUZZ_CXX:-clang++}

if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (install clang and libclang-rt-dev)" >&2
  exit 1
fi
t0=$SECONDS
if ! CXX=$cxx cmake -S . -B "$dir" -DZEP_FUZZ=ON -DZEP_BUILD_BENCH=OFF >"$dir.configure.log" 2>&1; then
  cat "$dir.configure.log"
  exit 1
fi
if ! cmake --build "$dir" -j "$cores" --target fuzz_all; then
  echo "fuzz: build FAILED" >&2
  exit 1
fi
build_secs=$((SECONDS - t0))

targets=()
for src in tests/fuzz/fuzz_*.cpp; do
  name=$(basename "$src" .cpp)
  name=${name#fuzz_}
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $name "* ]]; then continue; fi
  targets+=("$name")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets" >&2
  exit 1
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/zepfuzz.XXXXXX")
cleanup() {
  # Only our own runs: their pids were recorded when they started.
  for pid in "${pids[@]:-}"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null; done
  if [ "${FUZZ_KEEP_CORPUS:-0}" = 1 ]; then echo "fuzz: scratch kept in $scratch"; else rm -rf "$scratch"; fi
}
pids=()
trap cleanup EXIT
trap 'exit 130' INT TERM

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_target() {  # name
  local name=$1 work=$scratch/$1
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -r "tests/fuzz/corpus/$name/." "$work/corpus/" 2>/dev/null
  # The outer timeout only guards against a run that never ends.
  timeout $((secs + 120)) "$dir/fuzz_$name" -max_total_time="$secs" -timeout=10 \
    -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/log" 2>&1
  echo $? >"$work/rc"
}

echo "=== fuzz: ${#targets[@]} targets, ${secs} s each, $jobs at a time"
t1=$SECONDS
for name in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  run_target "$name" &
  pids+=($!)
done
wait
run_secs=$((SECONDS - t1))
pids=()

status=0
printf '%-12s %10s %8s %8s %8s  %s\n' target exec/s cov ft corpus result
for name in "${targets[@]}"; do
  work=$scratch/$name
  log=$work/log
  rc=$(cat "$work/rc" 2>/dev/null || echo 1)
  execs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  line=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$line")
  result=ok
  found=$(ls "$work/artifacts" 2>/dev/null | head -1)
  if [ "$rc" != 0 ] || [ -n "$found" ]; then
    status=1
    result="FAILED (rc $rc)"
    if [ -n "$found" ]; then
      mkdir -p "$dir/findings/$name"
      cp "$work/artifacts/"* "$dir/findings/$name/"
      cp "$log" "$dir/findings/$name/$found.log"
      result="FAILED: $dir/findings/$name/$found"
    fi
  fi
  printf '%-12s %10s %8s %8s %8s  %s\n' "$name" "${execs:--}" "${cov:--}" "${ft:--}" \
    "${corp:--}" "$result"
done
for name in "${targets[@]}"; do
  if [ "$(cat "$scratch/$name/rc" 2>/dev/null || echo 1)" != 0 ]; then
    echo "--- $name: end of its log"
    grep -v '^#[0-9]' "$scratch/$name/log" | tail -30
  fi
done
echo "fuzz: build ${build_secs} s, runs ${run_secs} s, total $((SECONDS - t0)) s"
exit $status
