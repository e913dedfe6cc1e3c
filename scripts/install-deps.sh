#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need. Idempotent.
set -euo pipefail
PKGS=(
  g++ cmake ninja-build
  python3 python3-dev python3-numpy python3-pytest
  libtbb-dev tao-pegtl-dev libfmt-dev nlohmann-json3-dev libboost1.81-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -y
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
