#!/usr/bin/env bash
# Installs the build tools and libraries when any is missing; does nothing
# when they are all present (safe to run again). `deps.sh package` adds the
# tools that build and check the Debian package (scripts/package.sh).
set -euo pipefail
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
# scripts/test.sh builds with ninja: one build graph for the whole tree.
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need+=(libbenchmark-dev)
[ -f /usr/include/zlib.h ] || need+=(zlib1g-dev)
[ -f /usr/include/openssl/des.h ] || need+=(libssl-dev)
# libuv: the yardstick of bench/peer_bench only, never linked into the daemon.
[ -f /usr/include/uv.h ] || need+=(libuv1-dev)
command -v python3 >/dev/null 2>&1 || need+=(python3)
command -v clang-format >/dev/null 2>&1 || need+=(clang-format)
command -v git >/dev/null 2>&1 || need+=(git)
# The thread-safety and fuzz steps: clang with libFuzzer and the sanitizer
# runtimes.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
  need+=(libclang-rt-dev)
if [ "${1:-}" = package ]; then
  command -v dpkg-buildpackage >/dev/null 2>&1 || need+=(dpkg-dev)
  command -v dh >/dev/null 2>&1 || need+=(debhelper)
  command -v lintian >/dev/null 2>&1 || need+=(lintian)
  command -v fakeroot >/dev/null 2>&1 || need+=(fakeroot)
fi
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
