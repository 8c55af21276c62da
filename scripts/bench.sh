#!/usr/bin/env bash
# Builds and runs the benchmarks (Release) against a private database
# instance: upload rates (this server's FTP beside vsftpd, and the TCP path),
# the installer's import rates, the Nom Sync load test, the codec and the
# in-memory table. vsftpd is installed for the FTP comparison only.
# Usage: bash scripts/bench.sh [program ...]   (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --tests
if ! dpkg-query -W -f='${Status}' vsftpd 2>/dev/null | grep -q "install ok installed"; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends vsftpd >/dev/null
  $SUDO service vsftpd stop >/dev/null 2>&1 || true
fi
BUILD=build-bench
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_BUILD_TESTS=ON -DVT_BUILD_BENCH=ON >/dev/null
cmake --build "$BUILD" -j "$(nproc)"

DBDIR="$BUILD/benchdb"
bash scripts/db.sh stop "$DBDIR" >/dev/null 2>&1 || true  # a left-over instance may listen elsewhere
port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
PORT=3310
while port_in_use "$PORT"; do PORT=$((PORT + 1)); done
trap 'bash scripts/db.sh stop "$DBDIR" >/dev/null 2>&1 || true' EXIT
bash scripts/db.sh start "$DBDIR" "$PORT"
export VT_TEST_DB_PORT="$PORT"

PROGRAMS=("$@")
if [ ${#PROGRAMS[@]} -eq 0 ]; then
  for f in bench/*.cpp; do PROGRAMS+=("$(basename "$f" .cpp)"); done
fi
for p in "${PROGRAMS[@]}"; do
  echo "== $p"
  exe=$(find "$BUILD" -type f -name "$p" -perm -u+x | head -n 1)
  [ -n "$exe" ] || { echo "no program $p" >&2; exit 1; }
  "$exe"
done
