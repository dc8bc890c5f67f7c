#!/usr/bin/env bash
# Static analysis of the driver folders (docs/reliability.md says why these checks):
# clang-tidy over the host build's compile commands, and cppcheck. Any finding fails;
# a finding that is not a fault is suppressed at its line (NOLINT / cppcheck-suppress)
# with the reason.
#
#   scripts/analyze.sh [BUILD_DIR]      (default build/host, configured)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
sources=(core/*.cpp pnp/*.cpp serial/*.cpp usb/*.cpp power/*.cpp)

checks='-*,bugprone-*,clang-analyzer-*,performance-*,misc-redundant-expression,misc-misleading-identifier'
# Not for kernel-style code: parameters of one type side by side are the platform's
# own calling style, and the kernel's names (_URB, _IRP) are reserved identifiers.
checks+=',-bugprone-easily-swappable-parameters,-bugprone-reserved-identifier'
# DEVICE_EXTENSION keeps its members grouped by the lock that guards them, and both
# builds' layouts of it are pinned (tests/layout); one per device, padding is no cost.
checks+=',-clang-analyzer-optin.performance.Padding'
# The kernel's CONTAINING_RECORD (kernel/host/ntdef.h) goes through ULONG_PTR so that
# the record keeps its alignment; every use would be flagged as an integer-to-pointer cast.
checks+=',-performance-no-int-to-ptr'
out=$(clang-tidy -p "$build" --quiet --checks="$checks" --warnings-as-errors='*' \
      --header-filter='/(core|pnp|serial|usb|power)/[^/]*\.h$' "${sources[@]}" 2>&1) || {
    grep -E 'warning:|error:' <<<"$out" >&2 || echo "$out" >&2
    echo "analyze: clang-tidy found the above" >&2
    exit 1
}
echo "analyze: clang-tidy: ${#sources[@]} files, no finding"

cppcheck --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet \
    -I. -DVARNOOBEX_HOST '-DVARNOOBEX_VERSION="0"' --suppress=missingIncludeSystem \
    core pnp serial usb power
echo "analyze: cppcheck: no finding"
