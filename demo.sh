#!/usr/bin/env bash
# The first command on a fresh machine: installs what the build needs (as
# root, and only what is missing), builds into build/, and runs velhost's
# scripted tour on the embedded defaults (./velmail-data).
set -euo pipefail
cd "$(dirname "$0")"

packages=(build-essential cmake ninja-build pkg-config libgmime-3.0-dev libcrypt-dev
          libsqlite3-dev libreadline-dev googletest libgtest-dev libgmock-dev
          libbenchmark-dev python3 sqlite3 libpq-dev libcurl4-openssl-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" = "0" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
  else
    echo "demo.sh: missing packages: ${missing[*]}" >&2
    echo "demo.sh: install them (sudo apt-get install ${missing[*]}) or run as root" >&2
    exit 1
  fi
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DVEL_BUILD_BENCH=OFF
cmake --build build -j"$jobs" --target velhost
exec build/bin/velhost --demo "$@"
