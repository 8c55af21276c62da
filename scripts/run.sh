#!/usr/bin/env bash
# Local run: installs what is missing, builds the server (build/, Release),
# starts the private database instance in run/db on 127.0.0.1:3306, loads
# the schema and a small seed into WebZorvelCentral the first time (an
# existing database is never touched), and runs the server in the foreground
# with run/ as its base folder (configuration, log and data folders).
# Arguments are passed to the server. The database keeps running after the
# server ends; stop it with: bash scripts/db.sh stop run/db
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$(pwd)"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$(nproc)"

mkdir -p "$ROOT/run"
bash scripts/db.sh start "$ROOT/run/db" 3306
if ! bash scripts/db.sh exists 3306 WebZorvelCentral; then
  bash scripts/db.sh load 3306 WebZorvelCentral seed
fi

export VT_BASE_DIR="$ROOT/run"
exec "$ROOT/build/bin/ZorvelCentralServer" "$@"
