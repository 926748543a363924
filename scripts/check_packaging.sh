#!/usr/bin/env bash
# Checks of what `cmake --install` ships, run by CTest:
#   check_packaging.sh man PAGE...        pages render without a warning
#   check_packaging.sh unit UNIT BINARY   systemd-analyze verify accepts the unit
#   check_packaging.sh install BUILD_DIR PREFIX SBINDIR BINDIR MANDIR DOCDIR UNITDIR
#                                         the tree installed into a scratch DESTDIR
# A check whose tool is missing says so and exits 77 (CTest: skipped).
set -euo pipefail
SKIP=77
what=${1:?usage: check_packaging.sh man|unit|install ...}
shift

case $what in
man)
  if command -v man >/dev/null 2>&1; then
    render() { LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$1" 2>&1 >/dev/null; }
  elif command -v groff >/dev/null 2>&1; then
    render() { groff -ww -man -z "$1" 2>&1; }
  else
    echo "skipped: neither man nor groff is installed"
    exit $SKIP
  fi
  status=0
  for page in "$@"; do
    out=$(render "$page") || { echo "$page: does not render"; status=1; }
    if [ -n "$out" ]; then
      echo "$page:"
      echo "$out"
      status=1
    fi
  done
  exit $status
  ;;
unit)
  unit=$1 binary=$2
  if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "skipped: systemd-analyze is not installed"
    exit $SKIP
  fi
  # The sandbox must leave every socket family the daemon opens: one left
  # out fails only at run time, under the unit (the route socket's would
  # silently leave the accounts to their timers).
  src=$(dirname "$0")/../src
  allowed=" $(sed -n 's/^RestrictAddressFamilies=//p' "$unit") "
  for family in $(grep -rhoE '\bsocket\(AF_[A-Z0-9]+' "$src" | sed 's/^socket(//' | sort -u); do
    case $allowed in
    *" $family "*) ;;
    *)
      echo "RestrictAddressFamilies= leaves out $family, which the daemon opens"
      exit 1
      ;;
    esac
  done
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  # The unit names the installed binary, which need not exist here yet.
  sed -e "s#^ExecStart=[^ ]*#ExecStart=$binary#" \
    -e "s#^ExecReload=[^ ]*/dyrclient #ExecReload=$binary #" "$unit" >"$scratch/dyrclient.service"
  # --man=no: the pages are checked on their own, installed or not.
  out=$(systemd-analyze verify --man=no "$scratch/dyrclient.service" 2>&1) || {
    echo "$out"
    exit 1
  }
  # Unknown keys are only warnings to systemd; here they fail.
  if [ -n "$out" ]; then
    echo "$out"
    exit 1
  fi
  ;;
install)
  build=$1 prefix=$2 sbindir=$3 bindir=$4 mandir=$5 docdir=$6 unitdir=$7
  dest=$(mktemp -d)
  trap 'rm -rf "$dest"' EXIT
  DESTDIR=$dest cmake --install "$build" >/dev/null
  status=0
  expect() { # test-flag path
    if ! test "$1" "$dest$2"; then
      echo "missing or wrong: $2 (test $1)"
      status=1
    fi
  }
  expect -x "$sbindir/dyrclient"
  expect -x "$bindir/dyrscramble"
  expect -x "$bindir/cmdlink"
  expect -f "$mandir/man1/dyrscramble.1"
  expect -f "$mandir/man1/cmdlink.1"
  expect -f "$mandir/man8/dyrclient.8"
  expect -f "$mandir/man5/dyrclient.ini.5"
  expect -f "$docdir/dyrclient.ini.sample"
  expect -x "$docdir/rc.d/dyrclient"
  expect -f "$unitdir/dyrclient.service"
  grep -qx "ExecStart=$sbindir/dyrclient -w /var/lib/dyrclient" "$dest$unitdir/dyrclient.service" ||
    { echo "unit does not start $sbindir/dyrclient"; status=1; }
  grep -qx "ExecReload=$sbindir/dyrclient --check-config -w /var/lib/dyrclient" \
    "$dest$unitdir/dyrclient.service" ||
    { echo "unit does not check the configuration before a reload"; status=1; }
  grep -q "^procname=\"$sbindir/dyrclient\"" "$dest$docdir/rc.d/dyrclient" ||
    { echo "rc.d script does not start $sbindir/dyrclient"; status=1; }
  if grep -rlI '@[A-Z_]*@' "$dest" >/dev/null 2>&1; then
    echo "unsubstituted @VARIABLE@ in: $(grep -rlI '@[A-Z_]*@' "$dest")"
    status=1
  fi
  version=$("$dest$sbindir/dyrclient" --version) || status=1
  [ "$version" = "dyrclient 2.01a build 120" ] || { echo "installed binary says: $version"; status=1; }
  # Nothing else lands outside the prefix.
  stray=$(cd "$dest" && find . -type f | grep -v "^.$prefix/" || true)
  [ -z "$stray" ] || { echo "installed outside $prefix: $stray"; status=1; }
  exit $status
  ;;
*)
  echo "unknown check: $what" >&2
  exit 2
  ;;
esac
