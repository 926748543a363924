#!/usr/bin/env bash
# Builds the Debian package from the files of the checkout (git's, without its ignored ones) and checks it:
#   bash scripts/package.sh     -> build-deb/dyrclient_<version>_<arch>.deb
# Installs the packaging tools (debhelper, lintian, ...) with apt-get when any
# is missing. The tree is copied first, so the checkout stays clean and the
# package never holds a local build folder. Then scripts/check_deb.sh
# inspects the result (contents, maintainer scripts, lintian).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh package

out=$PWD/build-deb
version=$(dpkg-parsechangelog -S Version)
src=$out/dyrclient-$version
rm -rf "$out"
mkdir -p "$src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files as they are now, and new ones git does not ignore.
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    xargs -0 cp --parents -t "$src"
else
  tar --exclude='./build*' --exclude='./.git' -cf - . | tar -xf - -C "$src"
fi
(cd "$src" && dpkg-buildpackage -us -uc -b -j"$(nproc)")
rm -rf "$src"
deb=$(ls "$out"/dyrclient_"$version"_*.deb)
echo "built $deb"
bash scripts/check_deb.sh "$deb"
