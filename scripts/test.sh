#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test (C++ and Python); then builds the same
# tests with AddressSanitizer + UndefinedBehaviorSanitizer (build-address/) and runs them again.
# Tests run in parallel, one per core. MARROWFEN_WERROR=ON (as CI sets it) makes compiler
# warnings errors in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/build-jobs.sh
bash scripts/install-deps.sh
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j "$CTEST_PARALLEL_LEVEL"
bash scripts/sanitize.sh address
