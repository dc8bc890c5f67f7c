#!/usr/bin/env bash
# Checks that the host build of the driver reaches nothing but the platform: no C++
# runtime (operator new/delete, exceptions, RTTI, guard variables), no C heap, no
# threads, no global constructors. The driver library's undefined symbols tell.
# Usage: check_driver_symbols.sh libvarnoobex_driver.a
set -u
lib=${1:?usage: check_driver_symbols.sh LIBRARY}
[ -f "$lib" ] || { echo "FAIL: no library at $lib"; exit 1; }

undefined=$(nm -u --format=posix "$lib" | awk '{print $1}' | sort -u)
defined=$(nm --defined-only --format=posix "$lib" 2>/dev/null | awk '{print $1}')
banned='^(malloc|calloc|realloc|free|aligned_alloc|posix_memalign|_Znw|_Zna|_Zdl|_Zda|__cxa_|_Unwind|__gxx_personality|_ZTI|_ZTV|_ZTS|_ZSt|_ZNSt|_ZNKSt|pthread_|printf|puts|fopen|abort|exit|__stack_chk_fail)'
failures=0
for sym in $undefined; do
    if grep -qE "$banned" <<<"$sym"; then
        echo "FAIL: the driver calls $sym ($(c++filt "$sym")), which is not the platform's"
        failures=$((failures + 1))
    fi
done
if grep -qE '^_GLOBAL__sub_I' <<<"$defined"; then
    echo "FAIL: the driver has global constructors: $(grep -E '^_GLOBAL__sub_I' <<<"$defined" | tr '\n' ' ')"
    failures=$((failures + 1))
fi
# Mutable driver data must live in the section the host loader restores at each load
# (DRIVER_GLOBAL); anywhere else it would survive from one load of the driver to the next.
# A sanitizer build adds data of its own (__odr_asan.*, __asan_*, __tsan_*, __ubsan_*).
stray=$(objdump -t "$lib" | awk '$0 ~ / O / && ($4 ~ /^\.(data|bss)($|\.)/) && $4 !~ /^\.data\.rel\.ro/ \
    && $NF !~ /^_*(odr_asan|asan|tsan|ubsan)/ {print $4 " " $NF}')
if [ -n "$stray" ]; then
    echo "FAIL: mutable driver data outside DRIVER_GLOBAL: $(echo "$stray" | tr '\n' ' ')"
    failures=$((failures + 1))
fi
if [ "$failures" -gt 0 ]; then
    exit 1
fi
echo "ok: the driver's $(wc -w <<<"$undefined") undefined symbols are all the platform's"
