#!/usr/bin/env bash
# Builds both presets and runs every test: the host suites (driver on the host
# platform) and the checks of the Windows driver image; then the bounded sanitizer
# sets (asan-ci: AddressSanitizer and UBSan, tsan-ci: ThreadSanitizer) and the static
# analysis of the driver folders. The sanitizers come after the plain runs, so that a
# fault the plain build shows is reported as such and not as a sanitizer's report.
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
for san in asan tsan; do
    cmake --preset "$san"
    cmake --build --preset "$san-ci"
    ctest --preset "$san-ci"
done
scripts/analyze.sh
