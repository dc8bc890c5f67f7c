#!/usr/bin/env bash
# Builds both presets and runs every test: the host suites (driver on the host
# platform) and the checks of the Windows driver image.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host
cmake --build --preset host
cmake --preset windows
cmake --build --preset windows
cmake --workflow --preset locks   # lock contracts: clang thread-safety analysis of the driver
ctest --preset host
ctest --preset windows
