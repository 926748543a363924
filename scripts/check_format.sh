#!/usr/bin/env bash
# The cheap gates of the test command: every C++ file is as clang-format
# writes it (the repository's .clang-format), no committed or pending change
# carries whitespace errors, no unit includes a higher layer, and no
# function of the daemon's code passes 60 lines nor a unit of it 600.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
files=$(git ls-files -co --exclude-standard -- 'src/*.h' 'src/*.cpp' 'tests/*.h' 'tests/*.cpp' \
  'tools/*.h' 'tools/*.cpp' 'bench/*.h' 'bench/*.cpp')
# shellcheck disable=SC2086
if ! clang-format --dry-run -Werror $files; then
  echo "format: run clang-format -i on the files above"; status=1
fi
# Whitespace errors in the whole committed tree and in what is not committed yet.
empty=$(git hash-object -t tree /dev/null)
if ! git diff --check "$empty" HEAD -- . || ! git diff --check HEAD -- .; then
  echo "format: whitespace errors above (git diff --check)"; status=1
fi
python3 scripts/check_layers.py --doc docs/ARCHITECTURE.md --table README.md src || status=1
python3 scripts/check_sizes.py src/app || status=1
[ $status -eq 0 ] && echo "format: clang-format, git diff --check, layers and sizes clean"
exit $status
