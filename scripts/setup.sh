#!/usr/bin/env bash
# Installs the Debian packages the two builds and the tests need, when any is missing.
# As root it installs them; otherwise it prints the exact command to run and stops.
set -euo pipefail

packages=(
    cmake make g++                     # the host build
    libgtest-dev libgmock-dev          # tests
    libbenchmark-dev                   # bench/
    g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64  # varnoobex.sys
    python3                            # image and package checks (standard library only)
    python3-serial                     # the pty bridge's test through pyserial
    clang clang-tidy cppcheck libclang-rt-14-dev   # static analysis, libFuzzer (scripts/analyze.sh, fuzz.sh)
    libasan8 libubsan1 libtsan2        # the asan and tsan presets (g++ 12's sanitizer runtimes)
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "Installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
