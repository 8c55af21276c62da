#!/usr/bin/env bash
# Installs the Debian packages the build and the server need and, with
# --tests, those the tests and benchmarks need too (with --fuzz, those and
# clang with libFuzzer); skips what is there.
set -euo pipefail
# Building the server.
BUILD_PKGS=(build-essential g++ cmake ninja-build pkg-config
            libmariadb-dev zlib1g-dev libasio-dev libpugixml-dev libsimpleini-dev libarchive-dev)
# Running it: the database server the scripts start and its client.
RUNTIME_PKGS=(mariadb-server mariadb-client)
# The test suite and the benchmarks: GoogleTest, Google Benchmark and the FTP
# clients the upload tests drive.
TEST_PKGS=(libgtest-dev libgmock-dev googletest libbenchmark-dev curl lftp)
# The fuzz targets: clang with libFuzzer and the sanitizer run-times.
FUZZ_PKGS=(clang-14 libclang-rt-14-dev)
PKGS=("${BUILD_PKGS[@]}" "${RUNTIME_PKGS[@]}")
case "${1:-}" in
  --tests) PKGS+=("${TEST_PKGS[@]}") ;;
  --fuzz) PKGS+=("${TEST_PKGS[@]}" "${FUZZ_PKGS[@]}") ;;
  "") ;;
  *) echo "usage: $0 [--tests|--fuzz]" >&2; exit 2 ;;
esac
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The packaged server starts itself on install; the project runs its own instances.
if command -v systemctl >/dev/null 2>&1; then $SUDO systemctl stop mariadb >/dev/null 2>&1 || true; fi
$SUDO service mariadb stop >/dev/null 2>&1 || true
