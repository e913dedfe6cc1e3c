#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example walk through the main road.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
PYTHONPATH=build /usr/bin/python3 examples/tour.py
