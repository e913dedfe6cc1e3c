#!/usr/bin/env bash
# Builds and runs every test under a sanitizer: address (ASan+UBSan, default) or thread (TSan).
# Further arguments go to ctest, e.g. `-R '^ThreadPool\.'` to run only some of the tests.
# Tests run in parallel, one per core. MARROWFEN_WERROR=ON makes compiler warnings errors.
#   bash scripts/sanitize.sh [address|thread] [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-address}"
shift $(($# > 0 ? 1 : 0))
dir="build-${kind}"
source scripts/build-jobs.sh
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMARROWFEN_SANITIZE="$kind" \
  -DMARROWFEN_BENCH=OFF -DMARROWFEN_WERROR="${MARROWFEN_WERROR:-OFF}" \
  -DPython3_EXECUTABLE=/usr/bin/python3
cmake --build "$dir"
ctest --test-dir "$dir" --output-on-failure -j "$CTEST_PARALLEL_LEVEL" "$@"
