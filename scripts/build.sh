#!/usr/bin/env bash
# Configures and builds into build/ (Release), leaving the module at the top of build/.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE=/usr/bin/python3 "$@"
cmake --build build
