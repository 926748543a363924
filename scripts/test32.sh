#!/usr/bin/env bash
# Builds the libraries and the unit tests for 32-bit x86 (-m32, folder
# build-32) and runs them: the record, key and length sizes must hold on the
# 32-bit hosts the system was first written for. Not part of
# scripts/test.sh. Needs gcc-multilib, g++-multilib and lib32z1-dev (Debian);
# GoogleTest is built from /usr/src/googletest with -m32 inside build-32,
# since the system's copy is 64-bit only.
#
# The end-to-end tests (label e2e) and packaging checks are left out: they
# start the daemon and the tools as child processes. TEST32_ALL=1 runs the
# end-to-end tests as well (on a kernel that runs 32-bit programs).
set -uo pipefail
cd "$(dirname "$0")/.."
dir=build-32
jobs=$(nproc 2>/dev/null || echo 2)
gtest_src=${GTEST_SOURCE:-/usr/src/googletest}
zlib32=${ZLIB32:-/usr/lib32/libz.so}

# Some kernels run no 32-bit programs (IA-32 emulation off): the tests then
# run under qemu-i386 (Debian qemu-user), which CMake puts in front of every
# test command and of the test discovery.
probe=$(mktemp "${TMPDIR:-/tmp}/zep_m32_probe.XXXXXX")
emulator=()
if ! echo 'int main(){return sizeof(void*)==4?0:1;}' | g++ -m32 -x c++ - -o "$probe" 2>/dev/null; then
  rm -f "$probe"
  echo "test32: g++ -m32 cannot build programs (install gcc-multilib g++-multilib)" >&2
  exit 1
fi
if ! "$probe" 2>/dev/null; then
  if command -v qemu-i386 >/dev/null && qemu-i386 "$probe"; then
    emulator=(-DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v qemu-i386)")
    echo "test32: this kernel runs no 32-bit programs; the tests run under qemu-i386"
  else
    rm -f "$probe"
    echo "test32: 32-bit programs cannot run here (kernel without IA-32 emulation; install qemu-user)" >&2
    exit 1
  fi
fi
rm -f "$probe"
if [ ! -e "$zlib32" ]; then
  echo "test32: no 32-bit zlib at $zlib32 (install lib32z1-dev)" >&2
  exit 1
fi

gtest_prefix=$PWD/$dir/gtest-install
if [ ! -e "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  echo "=== $dir: GoogleTest (-m32) from $gtest_src"
  if ! cmake -S "$gtest_src" -B "$dir/gtest" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 -DBUILD_GMOCK=OFF \
      -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >"$dir.gtest.configure.log" 2>&1 ||
    ! cmake --build "$dir/gtest" -j "$jobs" >/dev/null ||
    ! cmake --install "$dir/gtest" >/dev/null; then
    cat "$dir.gtest.configure.log"
    echo "test32: GoogleTest build FAILED" >&2
    exit 1
  fi
fi

echo "=== $dir: configure and build"
if ! cmake -S . -B "$dir" -DZEP_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32 \
    -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DZLIB_LIBRARY="$zlib32" "${emulator[@]}" \
    >"$dir.configure.log" 2>&1; then
  cat "$dir.configure.log"
  exit 1
fi
if ! cmake --build "$dir" -j "$jobs"; then
  echo "test32: build FAILED" >&2
  exit 1
fi
file "$dir/test_base" 2>/dev/null | grep -q 'ELF 32-bit' ||
  { echo "test32: test_base is not a 32-bit program" >&2; exit 1; }

echo "=== $dir: tests"
# Left out: the end-to-end tests and the packaging checks, which start the
# built programs as child processes (an emulated run cannot exec them).
labels=(-LE '^e2e$')
[ "${TEST32_ALL:-0}" = 1 ] && labels=()
skip='^packaging\.'
extra=()
if [ ${#emulator[@]} -gt 0 ]; then
  # A death test of the "threadsafe" style re-executes the test program,
  # which fails under the emulator; and emulated timing tests on a busy
  # machine get one second try.
  skip='^(packaging\.|DeadLockDeath\.)'
  extra=(--repeat until-pass:2)
fi
ctest --test-dir "$dir" --output-on-failure -j "$((jobs + 1))" --timeout 300 "${labels[@]}" -E "$skip" \
  "${extra[@]}"
