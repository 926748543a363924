#!/usr/bin/env bash
# The demo: builds dyrclient and the reference DDNS server, runs both on
# 127.0.0.1 for about ten seconds (one account, two domains, a report every
# two seconds), stops both cleanly and prints what the server recorded.
# Safe to run again: the work directory is rebuilt every time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DZEP_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target dyrclient ddnsserver dyrscramble

work=$PWD/build/demo-work
rm -rf "$work"
mkdir -p "$work"
srv_pid=""
cli_pid=""
cleanup() {
  [ -n "$cli_pid" ] && kill -TERM "$cli_pid" 2>/dev/null || true
  [ -n "$srv_pid" ] && kill -TERM "$srv_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT

# The server answers as if the client sat behind address translation
# (egress 203.0.113.10), so the client reports instead of only watching.
./build/ddnsserver --bind 127.0.0.1 --main-port 0 --assist-port 0 \
  --account demo:secret --report-span 2000 --exit-addr 203.0.113.10 \
  --state "$work/server-state.txt" >"$work/server.out" 2>&1 &
srv_pid=$!
ports=""
for _ in $(seq 50); do
  ports=$(grep -o 'main_port=[0-9]* assist_port=[0-9]*' "$work/server.out" 2>/dev/null | head -1 || true)
  [ -n "$ports" ] && break
  sleep 0.1
done
[ -n "$ports" ] || { echo "the reference server did not start:"; cat "$work/server.out"; exit 1; }
main_port=${ports#main_port=}; main_port=${main_port%% *}
assist_port=${ports##*assist_port=}

cat >"$work/dyrclient.ini" <<INI
[DYR_CLIENT]
Host=127.0.0.1
MainPort=$main_port
AsstPort=$assist_port
UserName=$(./build/dyrscramble demo)
Password=$(./build/dyrscramble secret)
Domain=home.example.net;backup.example.net/away
Domain=cam.example.net;
INI
chmod 600 "$work/dyrclient.ini"

echo "=== dyrclient, ten seconds against the reference server on 127.0.0.1:$main_port/$assist_port"
# The echo follows the locale: under a UTF-8 one (C.UTF-8 is always there
# with glibc) the log's GB2312 lines reach the terminal readable.
LC_ALL=C.UTF-8 ./build/dyrclient -w "$work" 2>&1 &
cli_pid=$!
sleep 10
kill -TERM "$cli_pid"
status=0
wait "$cli_pid" || status=$?
cli_pid=""
echo "=== dyrclient stopped (exit status $status)"
sleep 0.3
kill -TERM "$srv_pid"
wait "$srv_pid" || true
srv_pid=""
echo "=== what the server recorded ($work/server-state.txt)"
cat "$work/server-state.txt"
