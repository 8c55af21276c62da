#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the sanitized test
# build, starts a private MariaDB instance, runs every test, stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD=build-asan
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVT_SANITIZE=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)"
