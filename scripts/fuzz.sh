#!/usr/bin/env bash
# Runs every fuzz target with libFuzzer (the fuzz preset, clang) for a while, starting
# from its saved corpus; new inputs that reach new code are kept in build/fuzz/corpus/,
# findings (crash-*, leak-*) in build/fuzz/findings/. A verifier report counts as a
# crash (tools/fuzz/harness.h).
#
#   scripts/fuzz.sh [--runs N | --seconds S] [TARGET...]
#
# Defaults: 20 seconds per target, every target. `--runs 1000000` is the campaign's count.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time=20)
case "${1:-}" in
    --runs) limit=(-runs="$2"); shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
esac
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ioctl descriptors port_name operations obex scenario)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"
mkdir -p build/fuzz/findings
status=0
for t in "${targets[@]}"; do
    mkdir -p "build/fuzz/corpus/$t"
    out=$(build/fuzz/fuzz_"$t" "${limit[@]}" -max_len=4096 -timeout=30 -print_final_stats=1 \
          -artifact_prefix="build/fuzz/findings/$t-" "build/fuzz/corpus/$t" "tools/fuzz/corpus/$t" 2>&1) || status=1
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' <<<"$out")
    echo "fuzz $t: ${runs:-?} executions, $( [ $status -eq 0 ] && echo 'no finding' || echo FINDING)"
    [ $status -eq 0 ] || { tail -n 40 <<<"$out"; break; }
done
exit $status
