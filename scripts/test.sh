#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the sanitized test
# build, builds the fuzz targets with libFuzzer and runs each briefly, starts
# a private MariaDB instance, runs every test, stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
BUILD=build-asan
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVT_SANITIZE=ON -DVT_WERROR=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
# Every fuzz target built with libFuzzer and run briefly, so that a fuzz
# build that no longer compiles fails at once.
bash scripts/fuzz.sh 10

# A fresh private database instance for this run, on 3307 (or
# VT_TEST_DB_PORT_BASE) or, when that port is taken (another instance), the
# next free one. Every test creates its own database in it.
DBDIR="$BUILD/testdb"
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
bash scripts/db.sh stop "$DBDIR" >/dev/null
rm -rf "$DBDIR"
PORT=${VT_TEST_DB_PORT_BASE:-3307}
while port_in_use "$PORT"; do
  PORT=$((PORT + 1))
  [ "$PORT" -lt 3500 ] || { echo "No free port for the test database" >&2; exit 1; }
done
trap 'bash scripts/db.sh stop "$DBDIR" >/dev/null 2>&1 || true' EXIT
trap 'exit 130' INT TERM
VT_DB_FAST=1 bash scripts/db.sh start "$DBDIR" "$PORT"
export VT_TEST_DB_PORT="$PORT"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)"
