#!/usr/bin/env bash
# Soak: one daemon with 50 accounts against the reference server on
# 127.0.0.1 for MINUTES (default 30) while the server cycles through
# accepting, asking every client to log in again, refusing, going silent and
# sending broken replies; the daemon is reloaded with SIGHUP a few times (one
# account leaves and comes back). With MINUTES >= 12 the server is also gone
# altogether for a few minutes (3 when MINUTES >= 20) and then comes back.
#
# Every 10 s the daemon's resident memory, open descriptors and threads are
# read from /proc. The verdict fails when
#  - after the first minute any of the three trends upward: the mean of the
#    last third of the samples exceeds the mean of the middle third by more
#    than the tolerance (memory: 5% or 2 MiB, whichever is more; descriptors:
#    4; threads in use: 4) — the least-squares slope is printed as well.
#    Threads in use are the process's threads less the idle threads of the
#    socket-thread pool (read from the SIGUSR2 report at every sample): that
#    pool keeps every thread it ever started, so its size records the most
#    sockets ever open at once, which a burst of re-logins raises by a step;
#  - an account is not logged in within 25 s of the server accepting again
#    (20 s after the server comes back from being unreachable), measured from
#    the server's own record of each account's last accepted login;
#  - the daemon is not running at the end or does not stop on SIGTERM in 10 s.
#
# Environment: SOAK_BUILD (build folder, default build-soak), SOAK_WORK (work
# folder, default $SOAK_BUILD/soak-work). Exit status 0 on a pass.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

minutes=${1:-30}
case $minutes in '' | *[!0-9]*) echo "usage: $0 [MINUTES]" >&2; exit 2 ;; esac
[ "$minutes" -ge 3 ] || { echo "soak: at least 3 minutes" >&2; exit 2; }
accounts=50
build=${SOAK_BUILD:-build-soak}
work=${SOAK_WORK:-$build/soak-work}

cmake -S . -B "$build" -DZEP_BUILD_BENCH=OFF >/dev/null || exit 1
cmake --build "$build" -j2 --target dyrclient ddnsserver dyrscramble >/dev/null || exit 1

rm -rf "$work"
mkdir -p "$work/daemon"
work=$(cd "$work" && pwd)
# Copies: a rebuild while the soak runs must not swap the binaries under it.
cp "$build/dyrclient" "$build/ddnsserver" "$build/dyrscramble" "$work/"

srv_pid=""
cli_pid=""
sampler_pid=""
cleanup() {
  [ -n "$sampler_pid" ] && kill "$sampler_pid" 2>/dev/null
  [ -n "$cli_pid" ] && kill -TERM "$cli_pid" 2>/dev/null
  [ -n "$srv_pid" ] && kill -TERM "$srv_pid" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

now_ms() { date +%s%3N; }
# A sleep the INT/TERM trap can cut short.
nap() {
  sleep "$1" &
  wait $!
}
log() { echo "$(date -u +%H:%M:%S) $*" | tee -a "$work/soak.log"; }

# --- The server -------------------------------------------------------------
main_port=0
assist_port=0
: >"$work/accounts.txt"
for i in $(seq $accounts); do echo "soak$i pass$i" >>"$work/accounts.txt"; done

start_server() {  # $1: reply plan
  rm -f "$work/server-state.txt"
  "$work/ddnsserver" --bind 127.0.0.1 --main-port "$main_port" --assist-port "$assist_port" \
    --accounts "$work/accounts.txt" --exit-addr 203.0.113.10 --report-span 5000 \
    --reply "$1" --state "$work/server-state.txt" --control "$work/control" \
    >>"$work/server.out" 2>&1 &
  srv_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/server-state.txt" ] && break
    sleep 0.1
  done
  [ -s "$work/server-state.txt" ] || { log "the reference server did not start"; exit 1; }
  main_port=$(awk '$1 == "main_port" { print $2 }' "$work/server-state.txt")
  assist_port=$(awk '$1 == "assist_port" { print $2 }' "$work/server-state.txt")
}

stop_server() {
  kill -TERM "$srv_pid" 2>/dev/null
  wait "$srv_pid" 2>/dev/null
  srv_pid=""
}

control() {  # lines for the server's control file; waits until it ran them
  printf '%s\n' "$@" >"$work/control.tmp"
  mv "$work/control.tmp" "$work/control"
  for _ in $(seq 50); do
    [ -e "$work/control" ] || return 0
    sleep 0.1
  done
  log "the server did not take its control file"
}

# Broken replies of every kind in turn; the plan's last entry repeats.
broken_plan=""
for _ in $(seq 40); do broken_plan+="broken-data,random,no-ok,empty-exit,empty-k,huge-data,wrong-c,"; done
broken_plan=${broken_plan%,}

# --- The daemon -------------------------------------------------------------
write_ini() {  # $1: number of accounts
  local ini="$work/daemon/dyrclient.ini.tmp"
  : >"$ini"
  for i in $(seq "$1"); do
    cat >>"$ini" <<INI
[DYR_CLIENT]
Host=127.0.0.1
MainPort=$main_port
AsstPort=$assist_port
UserName=${user_code[$i]}
Password=${pass_code[$i]}
Domain=host$i.soak.example.net;
INI
  done
  chmod 600 "$ini"
  mv "$ini" "$work/daemon/dyrclient.ini"
}

failures=0
fail() {
  log "FAIL: $*"
  failures=$((failures + 1))
}

# Waits until every account has an accepted login at or after $1 (ms since
# the epoch) on the server, at most $2 seconds, and checks the last of them
# came within $2 s. Prints the delay of the last account.
worst_login=0
expect_logins() {  # $1: since_ms, $2: bound in seconds, $3: what happened
  local since=$1 bound=$2 what=$3 deadline got last
  deadline=$(($(now_ms) + bound * 1000 + 5000))
  while :; do
    read -r got last < <(awk -v since="$since" '
      $1 == "client" {
        user = ""; t = 0
        for (i = 3; i <= NF; ++i) {
          if ($i ~ /^user=/) user = substr($i, 6)
          if ($i ~ /^last_login_ms=/) t = substr($i, 15) + 0
        }
        if (t >= since && (!(user in best) || t > best[user])) best[user] = t
      }
      END { n = 0; m = 0; for (u in best) { ++n; if (best[u] > m) m = best[u] } printf "%d %.0f\n", n, m }
    ' "$work/server-state.txt" 2>/dev/null)
    [ "${got:-0}" -ge $accounts ] && break
    [ "$(now_ms)" -ge "$deadline" ] && break
    sleep 1
  done
  if [ "${got:-0}" -lt $accounts ]; then
    fail "$what: only ${got:-0} of $accounts accounts logged in within $((bound + 5)) s"
    return
  fi
  local delay=$((last - since))
  [ $delay -gt $worst_login ] && worst_login=$delay
  if [ $delay -gt $((bound * 1000)) ]; then
    fail "$what: the last account logged in after $((delay / 1000)).$((delay % 1000 / 100)) s (bound $bound s)"
  else
    log "$what: all $accounts accounts logged in, the last after $((delay / 1000)).$((delay % 1000 / 100)) s"
  fi
}

# --- Sampling ---------------------------------------------------------------
sample_loop() {  # $1: daemon pid, $2: start (s since the epoch)
  while kill -0 "$1" 2>/dev/null; do
    local rss threads fds pool
    # The report (SIGUSR2) gives the socket-thread pool's total and busy
    # threads: the pool keeps every thread it ever started, so its idle
    # threads record the most sockets once open at the same time, not a leak.
    # Only once the daemon catches SIGUSR2 (bit 12 of SigCgt): before that
    # the signal would end it.
    if [ $((0x$(awk '/^SigCgt:/ { print $2 }' "/proc/$1/status" 2>/dev/null || echo 0) & 0x800)) -ne 0 ]; then
      kill -USR2 "$1" 2>/dev/null
    fi
    nap 1
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null)
    threads=$(awk '/^Threads:/ { print $2 }' "/proc/$1/status" 2>/dev/null)
    fds=$(ls "/proc/$1/fd" 2>/dev/null | wc -l)
    pool=$(tail -c 65536 "$work/daemon/dyrclient.log" 2>/dev/null |
      grep -a -o 'Get\(Total\|Used\)SockThread *Count:[0-9]*' | tail -2 | sed 's/.*://' | tr '\n' ' ')
    # shellcheck disable=SC2086 # two numbers, split on purpose
    set -- "$1" "$2" $pool
    [ -n "$rss" ] && echo "$(($(date +%s) - $2)) $rss $fds $threads ${3:-0} ${4:-0}" >>"$work/samples.txt"
    nap 9
  done
}

# --- Run --------------------------------------------------------------------
start_server ok
declare -a user_code pass_code
for i in $(seq $accounts); do
  user_code[$i]=$("$work/dyrscramble" "soak$i")
  pass_code[$i]=$("$work/dyrscramble" "pass$i")
done
write_ini $accounts
start_s=$(date +%s)
end_s=$((start_s + minutes * 60))
t0=$(now_ms)
"$work/dyrclient" -w "$work/daemon" >"$work/daemon.out" 2>&1 &
cli_pid=$!
: >"$work/samples.txt"
sample_loop "$cli_pid" "$start_s" &
sampler_pid=$!
log "soak of $minutes min: daemon $cli_pid, server $srv_pid on 127.0.0.1:$main_port/$assist_port"
expect_logins "$t0" 25 "start"

# Phase lengths in seconds; one cycle is about 3.5 minutes.
unreachable_s=0
[ "$minutes" -ge 12 ] && unreachable_s=120
[ "$minutes" -ge 20 ] && unreachable_s=180
unreachable_at=$((start_s + minutes * 60 / 2 - unreachable_s / 2))
hups=0
cycle=0
left() { echo $((end_s - $(date +%s))); }
pause() {  # sleeps $1 s, or less when the soak ends sooner; 1 if it ended
  local l
  l=$(left)
  if [ "$l" -le "$1" ]; then
    [ "$l" -gt 0 ] && nap "$l"
    return 1
  fi
  nap "$1"
}

while [ "$(left)" -gt 0 ]; do
  cycle=$((cycle + 1))
  # Accepting: reports flow; then every client is asked to log in again.
  pause 40 || break
  since=$(now_ms)
  control "relogin"
  log "cycle $cycle: re-login request to every client"
  expect_logins "$since" 25 "re-login request"
  pause 10 || break

  if [ $unreachable_s -gt 0 ] && [ "$(date +%s)" -ge $unreachable_at ]; then
    # Every client logging in while the server is gone altogether.
    control "reply silent" "relogin"
    stop_server
    log "cycle $cycle: server unreachable for $unreachable_s s"
    nap "$unreachable_s"
    unreachable_s=0
    start_server ok
    since=$(now_ms)
    log "cycle $cycle: server back"
    expect_logins "$since" 20 "back after being unreachable"
    continue
  fi

  control "reply refuse" "relogin"
  log "cycle $cycle: refusing"
  if [ $hups -lt 4 ]; then
    # One account leaves and comes back; once in a while the file is unchanged.
    if [ $((hups % 2)) -eq 0 ]; then
      write_ini $((accounts - 1))
      kill -HUP "$cli_pid"
      pause 15 || break
      write_ini $accounts
    fi
    kill -HUP "$cli_pid"
    hups=$((hups + 1))
    log "cycle $cycle: reloaded with SIGHUP"
  fi
  pause 30 || break
  control "reply silent"
  log "cycle $cycle: silent"
  pause 40 || break
  control "reply $broken_plan"
  log "cycle $cycle: broken replies"
  pause 40 || break
  since=$(now_ms)
  control "reply ok"
  log "cycle $cycle: accepting again"
  expect_logins "$since" 25 "accepting again"
done

# --- Verdict ----------------------------------------------------------------
kill "$sampler_pid" 2>/dev/null
wait "$sampler_pid" 2>/dev/null
sampler_pid=""
if ! kill -0 "$cli_pid" 2>/dev/null; then
  fail "the daemon is not running at the end"
  cli_pid=""
else
  # The frame's own count of socket threads: the pool keeps every thread it
  # ever started, so its total is the most sockets served at once, and the
  # busy ones are the sockets open now.
  kill -USR2 "$cli_pid"
  nap 2
  pool=$(grep -a -o 'Get[A-Za-z]*SockThread *Count:[0-9]*' "$work/daemon/dyrclient.log" | tail -2 |
    tr -s ' ' | tr '\n' ' ')
  log "socket-thread pool at the end: $pool"
  kill -TERM "$cli_pid"
  for _ in $(seq 100); do
    kill -0 "$cli_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$cli_pid" 2>/dev/null; then
    fail "the daemon did not stop within 10 s of SIGTERM"
    kill -KILL "$cli_pid"
  fi
  wait "$cli_pid" 2>/dev/null
  cli_pid=""
fi
stop_server

echo
echo "=== samples (every 10 s): $work/samples.txt"
printf '%8s %10s %6s %8s %10s\n' minute rss_kib fds threads pool_idle
marks="1"
for m in $(seq 10 10 "$minutes"); do marks="$marks $m"; done
[ $((minutes % 10)) -ne 0 ] && marks="$marks $minutes"
for m in $marks; do
  awk -v t=$((m * 60)) -v m="$m" '
    { d = $1 - t; if (d < 0) d = -d; if (!seen || d < best) { best = d; row = $0; seen = 1 } }
    END { if (seen) { split(row, f, " "); printf "%8s %10s %6s %8s %10s\n", m, f[2], f[3], f[4], f[5] - f[6] } }
  ' "$work/samples.txt"
done

# Flatness after the first minute: last third against middle third.
flat=$(awk '
  $1 >= 60 { ++n; t[n] = $1; for (k = 2; k <= 4; ++k) v[k, n] = $k; v[4, n] -= $5 - $6 }
  END {
    if (n < 6) { print "FAIL too few samples (" n ")"; exit }
    a = int(n / 3); b = int(2 * n / 3)
    split("rss_kib fds threads_in_use", name, " ")
    bad = 0; out = ""
    for (k = 2; k <= 4; ++k) {
      m2 = 0; m3 = 0
      for (i = a + 1; i <= b; ++i) m2 += v[k, i]
      for (i = b + 1; i <= n; ++i) m3 += v[k, i]
      m2 /= (b - a); m3 /= (n - b)
      # least-squares slope per hour over every sample after the first minute
      st = 0; sv = 0; stt = 0; stv = 0
      for (i = 1; i <= n; ++i) { st += t[i]; sv += v[k, i]; stt += t[i] * t[i]; stv += t[i] * v[k, i] }
      den = n * stt - st * st
      slope = den != 0 ? (n * stv - st * sv) / den * 3600 : 0
      if (k == 2) { tol = m2 * 0.05; if (tol < 2048) tol = 2048 }
      else if (k == 3) tol = 4
      else tol = 4
      ok = (m3 <= m2 + tol)
      if (!ok) bad = 1
      out = out sprintf("  %-8s middle third %.1f, last third %.1f (tolerance +%.1f), slope %+.1f/h: %s\n",
                        name[k - 1], m2, m3, tol, slope, ok ? "flat" : "RISING")
    }
    printf "%s\n%s", bad ? "FAIL" : "PASS", out
  }
' "$work/samples.txt")
echo "$flat" | tail -n +2
[ "$(echo "$flat" | head -1)" = "PASS" ] || fail "memory, descriptors or threads rise after the first minute"
echo "slowest full login round after the server accepted again: $((worst_login / 1000)).$((worst_login % 1000 / 100)) s"
echo "reloads: $hups, cycles: $cycle"
if [ $failures -eq 0 ]; then
  echo "VERDICT: PASS"
  exit 0
fi
echo "VERDICT: FAIL ($failures failures, see $work/soak.log)"
exit 1
