#!/usr/bin/env bash
# Configures and builds into build/ (Release), leaving the module at the top of build/.
# MARROWFEN_WERROR=ON in the environment makes compiler warnings errors (off by default).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3 \
  -DMARROWFEN_WERROR="${MARROWFEN_WERROR:-OFF}" "$@"
cmake --build build
