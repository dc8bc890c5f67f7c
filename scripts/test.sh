#!/usr/bin/env bash
# Builds both presets and runs every test: the host suites (driver on the host
# platform), the checks of the Windows driver image, the lock-contract build and the
# static analysis of the driver folders. With --sanitizers, then the bounded sanitizer
# sets too (asan-ci: AddressSanitizer and UBSan, tsan-ci: ThreadSanitizer), after the
# plain runs, so that a fault the plain build shows is reported as such.
#
#   scripts/test.sh [--sanitizers]
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
scripts/analyze.sh
if [ "${1:-}" = --sanitizers ]; then
    for san in asan tsan; do
        cmake --preset "$san"
        cmake --build --preset "$san-ci"
        ctest --preset "$san-ci"
    done
fi
