#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: a plain build, an AddressSanitizer+UBSan
# build, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)

build() {  # dir, sanitizer
  cmake -S . -B "$1" -DSANITIZE="$2" >/dev/null
  cmake --build "$1" -j"$jobs"
}

build build ""
ctest --test-dir build --output-on-failure -j"$jobs"

build build-asan address
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE no_asan

build build-tsan thread
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threaded
