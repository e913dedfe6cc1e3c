#!/usr/bin/env bash
# Builds and runs every test under a sanitizer: address (ASan+UBSan, default) or thread (TSan).
#   bash scripts/sanitize.sh [address|thread]
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-address}"
dir="build-${kind}"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWFEN_SANITIZE="$kind" \
  -DMARROWFEN_BENCH=OFF -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure
