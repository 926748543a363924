#!/usr/bin/env bash
# Builds dyrclient and runs it in a scratch work directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -DZEP_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)" --target dyrclient
./build/dyrclient -w demo-work || true
