#!/usr/bin/env bash
# Checks that the host declarations of the platform lay out every record and define
# every constant as the kernel headers of the Windows build do: runs layout_dump,
# which writes the host layouts as static_assert lines, and compiles its output with
# the cross compiler against the real headers. A mismatch fails the compile with the
# record, member or constant named in the message.
# Usage: check_layout.sh LAYOUT_DUMP OUTPUT.cpp CROSS_CXX [compiler flags...]
# Exits 77 (skipped) when the cross compiler is not installed.
set -u
dump=${1:?usage: check_layout.sh LAYOUT_DUMP OUTPUT.cpp CROSS_CXX [FLAGS...]}
out=${2:?missing output file}
cxx=${3:?missing cross compiler}
shift 3

if ! command -v "$cxx" >/dev/null 2>&1; then
    echo "SKIP: cross compiler $cxx not found"
    exit 77
fi

"$dump" >"$out" || { echo "FAIL: $dump could not write the host layouts"; exit 1; }
checks=$(grep -c '^static_assert' "$out")
echo "host layouts: $checks checks written to $out"

# -fmax-errors=0 reports every mismatch in one run rather than stopping at the first.
if "$cxx" -fsyntax-only -fmax-errors=0 "$@" "$out" 2>"$out.log"; then
    echo "ok: all $checks checks agree with the Windows kernel headers"
    exit 0
fi
# A differing layout or value fails its static_assert; a name the Windows headers lack
# fails to compile at all. Both count.
mismatches=$(grep -c 'error:' "$out.log")
grep -E 'error:|note: the comparison reduces' "$out.log"
echo "FAIL: $mismatches of $checks checks differ from the Windows kernel headers (full log: $out.log)"
exit 1
