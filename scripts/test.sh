#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (C++ and Python); then builds the same
# tests with AddressSanitizer + UndefinedBehaviorSanitizer (build-address/) and runs them again.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compile jobs: one per core, but at most one per 1.5 GiB of available memory (a sanitizer
# compile takes up to about 0.6 GiB). A CMAKE_BUILD_PARALLEL_LEVEL set by the caller wins.
if [ -z "${CMAKE_BUILD_PARALLEL_LEVEL:-}" ]; then
  avail_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
  jobs=$((avail_kib / (1536 * 1024)))
  cores=$(nproc)
  if [ "$jobs" -gt "$cores" ]; then jobs=$cores; fi
  if [ "$jobs" -lt 1 ]; then jobs=1; fi
  export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
fi
bash scripts/install-deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure
bash scripts/sanitize.sh address
