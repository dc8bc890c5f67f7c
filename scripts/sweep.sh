#!/usr/bin/env bash
# Low resources at every failure point of a scenario: one run counts the fallible
# platform calls the scenario makes (varnoobex run --fail-point 0), then one run per
# call makes exactly that call fail (--fail-point N). A run holds when the driver came
# through: no crash or bug check, no verifier report, nothing left in the pool once
# the device is removed, no request left waiting, and a device still started and
# working opens again. Prints one line per scenario; a failing run prints its output
# and the command that replays it.
#
#   scripts/sweep.sh [--program PATH] [--driver IMAGE] [--every K] FILE...
#
# --every K visits every K-th point only (a quicker pass; $VARNOOBEX_SWEEP_EVERY gives
# the default, else every one).
# Exit status: 0 when every run held, 1 otherwise, 2 for a usage error.
set -uo pipefail
cd "$(dirname "$0")/.."
program=build/host/varnoobex
driver=()
every=${VARNOOBEX_SWEEP_EVERY:-1}
while [ $# -gt 0 ]; do
    case "$1" in
        --program) program=$2; shift 2 ;;
        --driver) driver=(--driver "$2"); shift 2 ;;
        --every) every=$2; shift 2 ;;
        --) shift; break ;;
        -*) echo "sweep.sh: unknown option '$1'" >&2; exit 2 ;;
        *) break ;;
    esac
done
[ $# -gt 0 ] || { echo "usage: sweep.sh [--program PATH] [--driver IMAGE] [--every K] FILE..." >&2; exit 2; }

status=0
for file in "$@"; do
    start=$(date +%s)
    out=$("$program" run "${driver[@]}" --fail-point 0 "$file" 2>&1)
    rc=$?
    points=$(sed -n 's/^ *fail points: \([0-9]*\).*/\1/p' <<<"$out")
    if [ $rc -ne 0 ] || [ -z "$points" ]; then
        echo "$out"
        echo "sweep $file: FAIL: the counting run failed (status $rc)"
        echo "  replay: $program run ${driver[*]} --fail-point 0 $file"
        status=1
        continue
    fi
    routines=$(sed -n 's/^ *fail points: [0-9]* (\(.*\))/\1/p' <<<"$out")
    runs=1 failed=0 missed=0
    for ((n = 1; n <= points; n += every)); do
        out=$("$program" run "${driver[@]}" --fail-point "$n" "$file" 2>&1)
        rc=$?
        runs=$((runs + 1))
        if grep -q "fail point $n of [0-9]*: not reached" <<<"$out"; then
            missed=$((missed + 1))
        fi
        if [ $rc -ne 0 ]; then
            failed=$((failed + 1))
            echo "$out" | tail -n 40
            echo "sweep $file: FAIL at point $n of $points (status $rc)"
            echo "  replay: $program run ${driver[*]} --fail-point $n $file"
        fi
    done
    echo "sweep $file: $points failure points ($routines), $runs runs, $failed failed," \
         "$missed not reached, $(( $(date +%s) - start )) s"
    [ $failed -eq 0 ] || status=1
done
exit $status
