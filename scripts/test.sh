#!/usr/bin/env bash
# Checks the format gates (clang-format, git diff --check, layers), then
# builds and runs every test three times: a normal build, an
# AddressSanitizer+UndefinedBehaviorSanitizer build with the deadlock
# detector on, and a ThreadSanitizer build, each in its own folder. Each test
# phase's wall time is printed in the summary. Last, every fuzz target runs
# briefly (scripts/fuzz.sh, FUZZ_SECONDS each, default 15, two at a time:
# build and runs stay under 3 minutes on two cores); a crash, leak or broken
# property fails the run. Exits non-zero when any gate, build, test or fuzz
# target fails.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1
jobs=$(nproc 2>/dev/null || echo 2)
# The suite is partly sleep-bound (sockets, timers, child processes): one job
# more than there are cores keeps them busy.
test_jobs=$((jobs + 1))

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp"

status=0
summary=()
run_one() {  # name sanitizer extra-cmake-args...
  local name=$1 san=$2; shift 2
  local dir=build${name:+-$name}
  echo "=== $dir: configure and build"
  if ! cmake -S . -B "$dir" -DZEP_SANITIZE="$san" "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; status=1; summary+=("$dir: configure FAILED"); return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then
    status=1; summary+=("$dir: build FAILED"); return
  fi
  echo "=== $dir: tests"
  # ThreadSanitizer needs a narrower address-space layout than some kernels use.
  local wrap=()
  [ "$san" = tsan ] && setarch -R true 2>/dev/null && wrap=(setarch -R)
  local t0=$SECONDS
  if "${wrap[@]}" ctest --test-dir "$dir" --output-on-failure -j "$test_jobs" --timeout 300; then
    summary+=("$dir: passed (test phase $((SECONDS - t0)) s)")
  else
    status=1; summary+=("$dir: FAILED (test phase $((SECONDS - t0)) s)")
  fi
}

mkdir -p /tmp 2>/dev/null
echo "=== format and layers"
if bash scripts/check_format.sh; then
  summary+=("format: passed")
else
  status=1; summary+=("format: FAILED")
fi
run_one "" "" -DZEP_BUILD_BENCH=ON
# The ASan build also routes every lock guard of the framework through the
# deadlock detector: a detector report stops the process (assertion
# "!deadLockReported"), which fails the run.
run_one asan asan -DZEP_BUILD_BENCH=OFF -DZEP_DEADLOCK_DETECTOR=ON
run_one tsan tsan -DZEP_BUILD_BENCH=OFF

echo "=== fuzz"
t0=$SECONDS
if bash scripts/fuzz.sh "${FUZZ_SECONDS:-15}"; then
  summary+=("fuzz: passed ($((SECONDS - t0)) s)")
else
  status=1; summary+=("fuzz: FAILED ($((SECONDS - t0)) s)")
fi

echo "=== summary"
printf '%s\n' "${summary[@]}"
exit $status
