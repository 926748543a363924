#!/usr/bin/env bash
# Measures the daemon against the reference server on 127.0.0.1 (numbers for
# the notes, not a test):
#   login   time from start to the last "login succeeded" line
#   memory  peak and current resident size (VmHWM, VmRSS), thread count and
#           open descriptors
#   limits  the daemon's start-up line on how many accounts its limits let
#           run, how many "cannot connect" lines it logged by then, and the
#           shortage lines (descriptors, ports, socket threads)
#   idle    over a window that starts one second after login, with the server
#           asking for a report every 60 s: CPU milliseconds of the whole
#           process and its context switches summed over its threads
#   stop    SIGTERM-to-exit milliseconds, the exit status, and whether the
#           server had recorded the offline request when the process ended
#
#   bench/measure_dyrclient.sh [ACCOUNTS] [IDLE_SECONDS] [BUILD_DIR] [LOGIN_LIMIT_S]
#   (defaults 1, 60, build, 60; e.g. "1 5" for a quick check)
set -euo pipefail
cd "$(dirname "$0")/.."
accounts=${1:-1}
idle=${2:-60}
build=${3:-build}
login_limit_s=${4:-60}
# The report period is set, not left to the client's default, so the numbers
# stay comparable if either side changes its default.
report_ms=60000
for bin in dyrclient ddnsserver dyrscramble; do
  [ -x "$build/$bin" ] || { echo "missing $build/$bin" >&2; exit 2; }
done
work=$(mktemp -d /tmp/dyrmeasure.XXXXXX)
srv=""; cli=""
cleanup() {
  [ -n "$cli" ] && kill -TERM "$cli" 2>/dev/null || true
  [ -n "$srv" ] && kill -TERM "$srv" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now_ms() { echo $(( ${EPOCHREALTIME/./} / 1000 )); }
# 203.0.113.10 is a documentation address that is not this host's, so the
# client reports at the server's period instead of watching a local address.
# Nothing is sent to it: the client only tries to bind it to tell.
"$build/ddnsserver" --main-port 0 --assist-port 0 --exit-addr 203.0.113.10 \
  --report-span "$report_ms" --state "$work/state.txt" >"$work/server.out" 2>&1 &
srv=$!
for _ in $(seq 50); do grep -q assist_port= "$work/server.out" 2>/dev/null && break; sleep 0.1; done
main_port=$(grep -o 'main_port=[0-9]*' "$work/server.out" | head -1 | cut -d= -f2)
assist_port=$(grep -o 'assist_port=[0-9]*' "$work/server.out" | head -1 | cut -d= -f2)
user=$("$build/dyrscramble" user)
pass=$("$build/dyrscramble" pass)
for i in $(seq "$accounts"); do
  printf '[DYR_CLIENT]\nHost=127.0.0.1\nMainPort=%s\nAsstPort=%s\nUserName=%s\nPassword=%s\nDomain=d%s.example.net;\n' \
    "$main_port" "$assist_port" "$user" "$pass" "$i"
done >"$work/dyrclient.ini"

ok=$(printf '\xb5\xc7\xc2\xbc\xb3\xc9\xb9\xa6!')
# A count, 0 while the file is missing.
count() { local n; n=$(grep -ac "$1" "$2" 2>/dev/null || true); echo "${n:-0}"; }
logged_in() { count "$ok" "$work/dyrclient.log"; }
t0=$(now_ms)
"$build/dyrclient" -w "$work" >/dev/null 2>&1 &
cli=$!
while [ "$(logged_in)" -lt "$accounts" ]; do
  sleep 0.005
  if [ $(( $(now_ms) - t0 )) -gt $((login_limit_s * 1000)) ]; then
    echo "not all logged in after $login_limit_s s"; break
  fi
done
t1=$(now_ms)
echo "login: accounts=$accounts logged_in=$(logged_in) after $((t1 - t0)) ms"
sleep 1

status() { grep -E "^($1):" /proc/"$cli"/status | tr -s ' \t' ' '; }
# utime + stime (fields 14 and 15) of /proc/PID/stat cover every thread of
# the process, ended ones included; clock ticks, so 1000/CLK_TCK ms steps.
hz=$(getconf CLK_TCK)
cpu_ms() { awk -v hz="$hz" '{ printf "%d", ($14 + $15) * 1000 / hz }' /proc/"$cli"/stat; }
# The scheduler's own account in nanoseconds (first field of each thread's
# schedstat), summed over the live threads: the same CPU time to the
# microsecond, where the tick count above only moves in 10 ms steps.
cpu_us() {
  cat /proc/"$cli"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { printf "%d", n / 1000 }'
}
# Context switches are only kept per thread: the sum over task/*/status is
# the process's for the threads alive at the time. /proc/PID/status alone
# is the main thread's own count (the same as task/PID), so it is not added;
# a thread that ends within the window takes its count with it, which the
# thread lists printed below would show.
switches() {
  cat /proc/"$cli"/task/*/status 2>/dev/null |
    awk -v key="$1" '$1 == key":" { n += $2 } END { printf "%d", n }'
}
tasks() { ls /proc/"$cli"/task | sort -n | tr '\n' ' '; }
# The first "reports=" is the server's total in its counters line.
reports() {
  local n; n=$(grep -o 'reports=[0-9]*' "$work/state.txt" 2>/dev/null | head -1 | cut -d= -f2 || true)
  echo "${n:-0}"
}
fds() { ls /proc/"$cli"/fd 2>/dev/null | wc -l; }
echo "after login: $(status VmHWM) $(status VmRSS) $(status Threads) descriptors: $(fds)"
no_connect=$(printf '\xce\xde\xb7\xa8\xc1\xaa\xbd\xd3:')
echo "limits: $(grep -a 'Scale: ' "$work/dyrclient.log" | head -1 | sed 's/.*Scale: /Scale: /')"
echo "cannot connect lines so far: $(count "$no_connect" "$work/dyrclient.log")" \
  "shortage lines: $(grep -acE 'cannot be (opened|connected)|No socket thread can be started' \
    "$work/dyrclient.log" || true)"

c0=$(cpu_ms); u0=$(cpu_us); v0=$(switches voluntary_ctxt_switches)
n0=$(switches nonvoluntary_ctxt_switches); task0=$(tasks); r0=$(reports)
sleep "$idle"
c1=$(cpu_ms); u1=$(cpu_us); v1=$(switches voluntary_ctxt_switches)
n1=$(switches nonvoluntary_ctxt_switches); task1=$(tasks); r1=$(reports)
us=$((u1 - u0))
echo "idle ${idle} s (report period ${report_ms} ms): cpu_ms=$((c1 - c0))" \
  "cpu_ms_schedstat=$((us / 1000)).$(printf '%03d' $((us % 1000)))" \
  "voluntary_ctxt_switches=$((v1 - v0)) nonvoluntary_ctxt_switches=$((n1 - n0))" \
  "reports=$((r1 - r0))"
echo "idle end: $(status VmHWM) $(status Threads)"
if [ "$task0" != "$task1" ]; then
  # Counts, not the lists: thousands of accounts have thousands of threads.
  ended=$(comm -23 <(tr ' ' '\n' <<<"$task0" | sort) <(tr ' ' '\n' <<<"$task1" | sort) | grep -c . || true)
  began=$(comm -13 <(tr ' ' '\n' <<<"$task0" | sort) <(tr ' ' '\n' <<<"$task1" | sort) | grep -c . || true)
  echo "note: the threads changed within the window ($ended ended, $began began);" \
    "switches of ended threads are missing"
fi

offline() { count 'state=offline' "$work/state.txt"; }
s0=$(now_ms)
kill -TERM "$cli"
wait "$cli" && rc=0 || rc=$?
s1=$(now_ms)
# Read at once: the server rewrites its state file right after it handles a
# datagram, so what it holds now is what it had when the client ended.
at_exit=$(offline)
cli=""
for _ in $(seq 20); do [ "$(offline)" -ge "$accounts" ] && break; sleep 0.05; done
echo "stop: sigterm_to_exit_ms=$((s1 - s0)) exit_status=$rc" \
  "offline_recorded_before_exit=$([ "$at_exit" -ge "$accounts" ] && echo yes || echo no)" \
  "offline_recorded_within_1s=$([ "$(offline)" -ge "$accounts" ] && echo yes || echo no)"
