#!/usr/bin/env bash
# Measures the daemon against the reference server on 127.0.0.1 (numbers for
# the notes, not a test): time from start to the last "login succeeded" line,
# peak resident memory (VmHWM), thread count, and CPU seconds while idle.
#   bench/measure_dyrclient.sh [ACCOUNTS] [IDLE_SECONDS] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
accounts=${1:-1}
idle=${2:-60}
build=${3:-build}
work=$(mktemp -d /tmp/dyrmeasure.XXXXXX)
srv=""; cli=""
cleanup() {
  [ -n "$cli" ] && kill -TERM "$cli" 2>/dev/null || true
  [ -n "$srv" ] && kill -TERM "$srv" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/ddnsserver" --main-port 0 --assist-port 0 --exit-addr 127.0.0.1 \
  --state "$work/state.txt" >"$work/server.out" 2>&1 &
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
t0=$(date +%s.%N)
"$build/dyrclient" -w "$work" >/dev/null 2>&1 &
cli=$!
while [ "$(grep -ac "$ok" "$work/dyrclient.log" 2>/dev/null || echo 0)" -lt "$accounts" ]; do
  sleep 0.005
  if [ "$(echo "$(date +%s.%N) - $t0 > 60" | bc)" = 1 ]; then echo "not all logged in after 60 s"; break; fi
done
t1=$(date +%s.%N)
echo "accounts=$accounts logged_in=$(grep -ac "$ok" "$work/dyrclient.log") after $(echo "$t1 - $t0" | bc) s"
sleep 1
status() { grep -E "^($1):" /proc/"$cli"/status | tr -s ' \t' ' '; }
cpu() { awk '{print $14 + $15}' /proc/"$cli"/stat; }
echo "after login: $(status VmHWM) $(status VmRSS) $(status Threads)"
hz=$(getconf CLK_TCK)
c0=$(cpu)
sleep "$idle"
c1=$(cpu)
echo "idle ${idle} s: cpu $(echo "scale=3; ($c1 - $c0) / $hz" | bc) s; $(status VmHWM) $(status Threads)"
kill -TERM "$cli"
s0=$(date +%s.%N)
wait "$cli" && rc=0 || rc=$?
cli=""
echo "stop: exit status $rc after $(echo "$(date +%s.%N) - $s0" | bc) s"
