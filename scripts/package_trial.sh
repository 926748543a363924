#!/usr/bin/env bash
# A trial of the Debian package under a real systemd, as an administrator
# would meet it on a clean Debian machine:
#   bash scripts/package_trial.sh DEB [DDNSSERVER]
# It makes a minimal Debian root once (debootstrap, kept in
# /var/tmp/dyrclient-trial-root), boots it with systemd-nspawn (systemd as
# PID 1, the host's network, so the reference server listens on the host's
# loopback), and inside it installs the package with apt-get, checks that
# nothing starts without a configuration, follows the README's service steps
# with the reference server as the account's server, starts, reloads and
# stops the unit, and removes the package while the daemon runs. The
# transcript is printed; the lines starting "TRIAL:" are the verdicts.
# Needs root, debootstrap and systemd-container (installed when missing).
# Not part of the test command: it takes a few minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
deb=$(readlink -f "${1:?usage: package_trial.sh DEB [DDNSSERVER]}")
server=$(readlink -f "${2:-build/ddnsserver}")
[ -x "$server" ] || { echo "no reference server at $server (cmake --build build --target ddnsserver)"; exit 2; }
need=()
command -v debootstrap >/dev/null 2>&1 || need+=(debootstrap)
command -v systemd-nspawn >/dev/null 2>&1 || need+=(systemd-container)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
root=${TRIAL_ROOT:-/var/tmp/dyrclient-trial-root}
if [ ! -x "$root/bin/systemctl" ]; then
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,procps "$suite" "$root" \
    http://deb.debian.org/debian >/tmp/dyrclient-debootstrap.log
fi
trial=$root/root/trial
# Each trial starts from a machine that never had the package: no journal,
# state or unit links of an earlier one.
rm -rf "$trial" "$root"/var/log/journal/* "$root"/var/lib/private/dyrclient "$root"/var/lib/dyrclient \
  "$root"/etc/systemd/system/multi-user.target.wants/dyrclient.service \
  "$root"/var/lib/systemd/deb-systemd-helper-enabled/*dyrclient* \
  "$root"/var/lib/systemd/deb-systemd-helper-enabled/multi-user.target.wants/dyrclient.service
mkdir -p "$trial"
cp "$deb" "$server" "$trial/"
cat >"$root/etc/systemd/system/dyrclient-trial.service" <<'UNIT'
[Unit]
Description=dyrclient package trial
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/sh -c '/bin/bash /root/trial/trial.sh >/root/trial/out.txt 2>&1; systemctl poweroff'
[Install]
WantedBy=multi-user.target
UNIT
mkdir -p "$root/etc/systemd/system/multi-user.target.wants"
ln -sf /etc/systemd/system/dyrclient-trial.service \
  "$root/etc/systemd/system/multi-user.target.wants/dyrclient-trial.service"
cat >"$trial/trial.sh" <<'TRIAL'
cd /root/trial
say() { echo "TRIAL: $*"; }
run() { echo "\$ $*"; "$@"; }
say "pid 1 is $(cat /proc/1/comm), $(systemctl --version | head -1)"
run apt-get install -y ./dyrclient_*.deb
say "after install: enabled=$(systemctl is-enabled dyrclient) active=$(systemctl is-active dyrclient)"
./ddnsserver --bind 127.0.0.1 --main-port 0 --assist-port 0 --account demo:secret \
  --report-span 2000 --exit-addr 203.0.113.10 --state /root/trial/server-state.txt >server.out 2>&1 &
for _ in $(seq 50); do grep -q main_port= server.out && break; sleep 0.1; done
main=$(grep -o 'main_port=[0-9]*' server.out | head -1 | cut -d= -f2)
asst=$(grep -o 'assist_port=[0-9]*' server.out | head -1 | cut -d= -f2)
# The README's service steps.
run install -d -m 0700 /var/lib/dyrclient
cat >/root/trial/dyrclient.ini <<INI
[DYR_CLIENT]
Host=127.0.0.1
MainPort=$main
AsstPort=$asst
UserName=$(dyrscramble demo)
Password=$(dyrscramble secret)
Domain=home.example.net;backup.example.net/away
INI
run install -m 0600 /root/trial/dyrclient.ini /var/lib/dyrclient/dyrclient.ini
t0=$(date +%s%N)
run systemctl start dyrclient
say "start returned $? after $((($(date +%s%N) - t0) / 1000000)) ms: active=$(systemctl is-active dyrclient)"
sleep 5
run systemctl status dyrclient --no-pager -n 0
say "status text: $(systemctl show dyrclient -P StatusText)"
run dyrclient --status -w /var/lib/dyrclient
run systemctl reload dyrclient
say "reload returned $?"
# A second install of the file, as root again (the README's step).
run install -m 0600 /root/trial/dyrclient.ini /var/lib/dyrclient/dyrclient.ini
run systemctl restart dyrclient
sleep 3
say "after the file was installed again and a restart: active=$(systemctl is-active dyrclient) status=$(systemctl show dyrclient -P StatusText)"
echo "--- the journal of this boot"
journalctl -b -u dyrclient --no-pager -o cat | tail -40
say "usage lines at info or above: $(journalctl -b -u dyrclient -p info -o cat | grep -c '^Usage:'), at debug: $(journalctl -b -u dyrclient -p debug -o cat | grep -c '^Usage:')"
echo "--- journal at warning and above"
journalctl -b -u dyrclient --no-pager -p warning -o cat
echo "--- server state before removal"
cat /root/trial/server-state.txt
run apt-get remove -y dyrclient
sleep 1
say "after remove: active=$(systemctl is-active dyrclient 2>&1)"
echo "--- server state after removal"
cat /root/trial/server-state.txt
run apt-get purge -y dyrclient >/dev/null
kill %1 2>/dev/null
TRIAL
echo "booting $root under systemd-nspawn (up to 5 minutes)"
timeout 300 systemd-nspawn -q --register=no --keep-unit -D "$root" -b --console=pipe \
  >/tmp/dyrclient-nspawn.log 2>&1 || true
cat "$trial/out.txt"
