#!/usr/bin/env bash
# check_deb.sh DEB: what the Debian package holds and how it behaves when
# installed, read from the package itself (dpkg-deb), and lintian's verdict:
# any error fails; warnings are listed. Run by scripts/package.sh; needs
# dpkg-deb and lintian (exit 77 when either is missing).
set -euo pipefail
deb=${1:?usage: check_deb.sh DEB}
for tool in dpkg-deb lintian; do
  command -v $tool >/dev/null 2>&1 || { echo "skipped: $tool is not installed"; exit 77; }
done
status=0
fail() { echo "FAIL: $*"; status=1; }

list=$(dpkg-deb -c "$deb")
has() { # mode-prefix path
  grep -qE "^$1 .* \./${2#/}\$" <<<"$list" || fail "package lacks $2 ($1)"
}
has '-rwxr-xr-x' /usr/sbin/dyrclient
has '-rwxr-xr-x' /usr/bin/dyrscramble
has '-rwxr-xr-x' /usr/bin/cmdlink
has '-rw-r--r--' /usr/share/man/man8/dyrclient.8.gz
has '-rw-r--r--' /usr/share/man/man5/dyrclient.ini.5.gz
has '-rw-r--r--' /usr/share/doc/dyrclient/copyright
has '-rw-r--r--' /usr/share/doc/dyrclient/dyrclient.ini.sample
grep -qE ' \./(usr/)?lib/systemd/system/dyrclient\.service$' <<<"$list" ||
  fail "package lacks the systemd unit"
# Only the tools users run: no test binary, no reference server.
for stray in ddnsserver test_ peer_bench bench_ rc.d; do
  if grep -q "$stray" <<<"$list"; then fail "package holds $stray"; fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root"
dpkg-deb -e "$deb" "$scratch/ctl"
unit=""
for u in "$scratch"/root/{usr/,}lib/systemd/system/dyrclient.service; do
  [ -f "$u" ] && unit=$u
done
[ -n "$unit" ] || unit=/dev/null
grep -qx 'ExecStart=/usr/sbin/dyrclient -w /var/lib/dyrclient' "$unit" ||
  fail "the unit does not start /usr/sbin/dyrclient"
grep -q '^AssertPathExists=/var/lib/dyrclient/dyrclient.ini' "$unit" ||
  fail "the unit would start without a configuration"
[ "$("$scratch/root/usr/sbin/dyrclient" --version)" = "dyrclient 2.01a build 120" ] ||
  fail "the packaged daemon does not say its version"
# Installing enables the unit but starts it only with a configuration in
# place; removing stops it (SIGTERM: the offline request).
post=$scratch/ctl/postinst prerm=$scratch/ctl/prerm
grep -q 'deb-systemd-helper enable' "$post" || fail "postinst does not enable the unit"
grep -q 'dyrclient.ini' "$post" || fail "postinst starts the unit without a configuration"
grep -q 'try-restart' "$post" || fail "postinst does not restart a running daemon on upgrade"
grep -q 'deb-systemd-invoke stop' "$prerm" || fail "prerm does not stop the daemon"
sh -n "$post" && sh -n "$prerm" || fail "a maintainer script does not parse"

echo "--- lintian"
lint=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
if [ -n "$lint" ]; then echo "$lint"; fi
if grep -q '^E: ' <<<"$lint"; then fail "lintian reports errors"; fi
if [ $status = 0 ]; then echo "package checks passed: $(basename "$deb")"; fi
exit $status
