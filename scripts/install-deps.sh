#!/usr/bin/env bash
# Installs the Debian packages the build, the server and the tests need; skips what is there.
set -euo pipefail
PKGS=(build-essential g++ cmake ninja-build pkg-config
      libmariadb-dev mariadb-server mariadb-client
      zlib1g-dev libasio-dev libpugixml-dev libsimpleini-dev libarchive-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev
      curl lftp python3)
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
