#!/usr/bin/env bash
# Checks the Windows driver image as the kernel loader and a driver validation tool
# would see it: PE32+ x86-64, native subsystem, base relocations, imports only from the
# kernel, the HAL and the USB driver library, no exports, no global constructors; and,
# through check_pe.py, a correct PE checksum, no writable and executable section, the
# banner's version in the version resource, and only imports that the DLLs export
# (as the mingw import libraries in LIBDIR list them).
# Usage: check_image.sh varnoobex.sys [objdump [libdir]]
set -u
image=${1:?usage: check_image.sh IMAGE [OBJDUMP [LIBDIR]]}
objdump=${2:-x86_64-w64-mingw32-objdump}
libdir=${3:-/usr/x86_64-w64-mingw32/lib}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

[ -f "$image" ] || { echo "FAIL: no image at $image"; exit 1; }
headers=$("$objdump" -p "$image" 2>&1) || { echo "FAIL: objdump cannot read $image"; echo "$headers"; exit 1; }

grep -q 'file format pei-x86-64' <<<"$headers" && pass "x86-64 PE image" || fail "not an x86-64 PE image"
grep -qE '^Magic[[:space:]]+020b' <<<"$headers" && pass "PE32+" || fail "optional header magic is not PE32+ (020b)"
grep -qE '^Subsystem[[:space:]]+00000001' <<<"$headers" && pass "native subsystem" \
    || fail "subsystem is not native (1): $(grep -E '^Subsystem' <<<"$headers")"

# "Entry N <address> <size> <name>": the data directories of the optional header.
reloc=$(grep -E '^Entry 5 ' <<<"$headers" | awk '{print $4}')
if [ -n "$reloc" ] && [ "$((16#$reloc))" -gt 0 ]; then
    pass "base relocation directory of $((16#$reloc)) bytes"
else
    fail "no base relocation directory (the loader could not place the driver)"
fi

exports=$(grep -E '^Entry 0 ' <<<"$headers" | awk '{print $4}')
names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" | grep -cE '^\s+\[')
if [ "$names" -gt 0 ]; then
    fail "the image exports $names names"
elif [ -n "$exports" ] && [ "$((16#$exports))" -gt 0 ]; then
    pass "export directory without entries"
else
    pass "no export directory"
fi

dlls=$(grep -E '^\s*DLL Name:' <<<"$headers" | awk '{print $3}')
[ -n "$dlls" ] || fail "no import directory"
for dll in $dlls; do
    case "${dll,,}" in
        ntoskrnl.exe|hal.dll|usbd.sys) pass "imports from $dll" ;;
        *) fail "imports from $dll (only ntoskrnl.exe, HAL.dll and USBD.SYS are allowed)" ;;
    esac
done

sections=$("$objdump" -h "$image" | awk '/^ *[0-9]+ /{print $2}')
for s in $sections; do
    case "$s" in
        .ctors|.dtors|.CRT|.tls) fail "section $s: global constructors or thread-local data have no place in a driver" ;;
    esac
done

pe_report=$("$(dirname "$0")/check_pe.py" "$image" "$libdir" 2>&1)
pe_status=$?
echo "$pe_report"
pe_failures=$(grep -c '^FAIL:' <<<"$pe_report")
if [ "$pe_status" -ne 0 ] && [ "$pe_failures" -eq 0 ]; then
    fail "check_pe.py stopped with status $pe_status"
fi
failures=$((failures + pe_failures))

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed for $image"
    exit 1
fi
echo "all image checks passed for $image"
