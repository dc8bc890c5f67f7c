#!/usr/bin/env bash
# Builds both presets and runs every test: the host suites (driver on the host
# platform), the checks of the Windows driver image, the static analysis of the
# driver folders, and a bounded set under AddressSanitizer+UBSan and ThreadSanitizer
# (the stress tests, the e2e label, the reliability campaign: docs/reliability.md).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host
cmake --build --preset host
cmake --preset windows
cmake --build --preset windows
ctest --preset host
ctest --preset windows
scripts/analyze.sh build/host
for sanitizer in asan tsan; do
    cmake --preset "$sanitizer"
    cmake --build --preset "$sanitizer-ci"
    ctest --preset "$sanitizer-ci"
done
