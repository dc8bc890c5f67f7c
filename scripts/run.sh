#!/usr/bin/env bash
# The main job: builds the host build and runs the varnoobex program (arguments pass through).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target varnoobex >/dev/null
exec build/host/varnoobex "$@"
