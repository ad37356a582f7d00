#!/usr/bin/env bash
# Installs the dependencies, builds, and runs every test: a plain build, an AddressSanitizer+UBSan
# build, and the threaded tests under ThreadSanitizer; then a Release build, installed into a
# staging prefix and packaged, runs its fast tests and both programs from the staging prefix.
# Compiler warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)

build() {  # dir, sanitizer, build type
  cmake -S . -B "$1" -DSANITIZE="$2" -DCMAKE_BUILD_TYPE="$3" -DWARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$1" -j"$jobs"
}

build build "" RelWithDebInfo
ctest --test-dir build --output-on-failure -j"$jobs"

build build-asan address RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE no_asan

build build-tsan thread RelWithDebInfo
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -L threaded

build build-release "" Release
ctest --test-dir build-release --output-on-failure -j"$jobs" -LE 'e2e|threaded'
./scripts/check-install.sh build-release
