#!/usr/bin/env bash
# The test command (CI runs exactly this). In order:
#   1. format gates: clang-format, git diff --check, the layer check;
#   2. three builds, each with every test: normal (benchmarks too, folder
#      build), AddressSanitizer+UndefinedBehaviorSanitizer with the deadlock
#      detector (build-asan) and ThreadSanitizer (build-tsan). The builds run
#      one after another on every core; a build's tests run while the next
#      build compiles (they mostly wait on sockets, timers and child
#      processes), one test phase at a time;
#   3. thread safety: every library of src/ compiled by clang with
#      -Wthread-safety -Werror (ZEP_THREAD_SAFETY), in the fuzz build's
#      folder build-fuzz, whose fuzz targets then reuse those libraries;
#   4. every fuzz target briefly (scripts/fuzz.sh, FUZZ_SECONDS each, default
#      10, two at a time); a crash, leak or broken property fails the run.
# The summary gives each step's result and time; the last line counts the
# tests of the three builds. Exits non-zero when any gate, build, test or
# fuzz target fails. A compiler cache is used where one is installed
# (ccache), never required.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
# The suite is sleep-bound (sockets, timers, child processes): it needs far
# less CPU than one core, so its phases run beside a compile, with two jobs
# more than there are cores.
test_jobs=$((jobs + 2))
gen=()
command -v ninja >/dev/null 2>&1 && gen=(-G Ninja)

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"

status=0
summary=()
passed=0 failed=0 skipped=0
t_start=$SECONDS

build_one() {  # dir cmake-args... ; configures and builds, 0 when both worked
  local dir=$1 t0=$SECONDS; shift
  echo "=== $dir: configure and build"
  # A folder configured before keeps its generator.
  local g=("${gen[@]}")
  [ -f "$dir/CMakeCache.txt" ] && g=()
  if ! cmake -S . -B "$dir" "${g[@]}" "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; summary+=("$dir: configure FAILED"); return 1
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    status=1; summary+=("$dir: build FAILED ($((SECONDS - t0)) s)"); return 1
  fi
  build_secs=$((SECONDS - t0))
}

# One test phase in the background: its output goes to DIR/ctest.log and is
# shown when finish_tests collects it.
test_pid="" test_dir="" test_build_secs=0
start_tests() {  # dir sanitizer
  local dir=$1 san=$2
  # ThreadSanitizer needs a narrower address-space layout than some kernels use.
  local wrap=()
  [ "$san" = tsan ] && setarch -R true 2>/dev/null && wrap=(setarch -R)
  echo "=== $dir: tests start (output follows when they end)"
  test_dir=$dir test_build_secs=$build_secs
  (
    t0=$SECONDS
    "${wrap[@]}" ctest --test-dir "$dir" --output-on-failure -j "$test_jobs" --timeout 300 \
      >"$dir/ctest.log" 2>&1
    rc=$?
    echo $((SECONDS - t0)) >"$dir/ctest.secs"
    exit $rc
  ) &
  test_pid=$!
}
finish_tests() {
  [ -n "$test_pid" ] || return 0
  local rc=0
  wait "$test_pid" || rc=$?
  local secs log=$test_dir/ctest.log
  secs=$(cat "$test_dir/ctest.secs" 2>/dev/null || echo "?")
  echo "=== $test_dir: tests"
  cat "$log"
  local line total=0 nfail=0 nskip=0
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  if [ -n "$line" ]; then
    nfail=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  fi
  nskip=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log")
  passed=$((passed + total - nfail - nskip)) failed=$((failed + nfail)) skipped=$((skipped + nskip))
  local what="build ${test_build_secs} s, test phase ${secs} s"
  if [ "$rc" = 0 ] && [ "$total" -gt 0 ]; then
    summary+=("$test_dir: passed ($what)")
  else
    status=1; summary+=("$test_dir: FAILED ($what)")
    [ "$total" -gt 0 ] || failed=$((failed + 1))
  fi
  test_pid=""
}

run_build() {  # dir sanitizer cmake-args...
  local dir=$1 san=$2; shift 2
  if build_one "$dir" -DZEP_SANITIZE="$san" "$@"; then
    finish_tests
    start_tests "$dir" "$san"
  fi
}

echo "=== format and layers"
if bash scripts/check_format.sh; then
  summary+=("format: passed")
else
  status=1; summary+=("format: FAILED")
fi
run_build build "" -DZEP_BUILD_BENCH=ON
# The ASan build also routes every lock guard of the framework through the
# deadlock detector: a detector report stops the process (assertion
# "!deadLockReported"), which fails the run.
run_build build-asan asan -DZEP_BUILD_BENCH=OFF -DZEP_DEADLOCK_DETECTOR=ON
run_build build-tsan tsan -DZEP_BUILD_BENCH=OFF

# Thread safety: the fuzz build's folder, configured with the analysis on,
# builds every library first; scripts/fuzz.sh keeps that setting (CMake's
# cache) and builds its targets on those libraries.
echo "=== thread safety"
t0=$SECONDS
fuzz_gen=("${gen[@]}")
[ -f build-fuzz/CMakeCache.txt ] && fuzz_gen=()
if command -v clang++ >/dev/null &&
  CXX=clang++ cmake -S . -B build-fuzz "${fuzz_gen[@]}" -DZEP_FUZZ=ON -DZEP_THREAD_SAFETY=ON \
    -DZEP_BUILD_BENCH=OFF >build-fuzz.configure.log 2>&1 &&
  cmake --build build-fuzz -j "$jobs" --target zep_libs; then
  safety="thread-safety: passed ($((SECONDS - t0)) s)"
else
  [ -f build-fuzz.configure.log ] && tail -20 build-fuzz.configure.log
  status=1; safety="thread-safety: FAILED ($((SECONDS - t0)) s)"
fi
# The fuzz targets are busy on every core: the last test phase ends first.
finish_tests
summary+=("$safety")

echo "=== fuzz"
t0=$SECONDS
if bash scripts/fuzz.sh "${FUZZ_SECONDS:-10}"; then
  summary+=("fuzz: passed ($((SECONDS - t0)) s)")
else
  status=1; summary+=("fuzz: FAILED ($((SECONDS - t0)) s)")
fi

echo "=== summary ($((SECONDS - t_start)) s)"
printf '%s\n' "${summary[@]}"
echo "tests: $passed passed, $failed failed, $skipped skipped"
exit $status
