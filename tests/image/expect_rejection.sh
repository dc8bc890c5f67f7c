#!/usr/bin/env bash
# Runs a checker on a deliberately broken input. Passes only when the checker rejects
# it (exit status 1) with exactly the expected failures: each expected message is part
# of a FAIL line, and each FAIL line holds one of the expected messages.
# Usage: expect_rejection.sh [-e MESSAGE]... [-f FIXTURE] -- COMMAND [ARG]...
#   -f FIXTURE adds the messages of the fixture's "; expect: MESSAGE" lines.
set -u
expected=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    case "$1" in
        -e) expected+=("$2"); shift 2 ;;
        -f) while IFS= read -r line; do expected+=("$line"); done \
                < <(sed -n 's/^; expect: //p' "$2"); shift 2 ;;
        *) echo "usage: expect_rejection.sh [-e MESSAGE]... [-f FIXTURE] -- COMMAND..." >&2; exit 2 ;;
    esac
done
shift
[ ${#expected[@]} -gt 0 ] || { echo "no expected failure given: this test could not fail"; exit 1; }

output=$("$@" 2>&1)
status=$?
echo "$output"
echo "---"
problems=0
if [ "$status" -ne 1 ]; then
    echo "expected the checker to reject the input with status 1, it returned $status"
    problems=$((problems + 1))
fi
fails=$(grep '^FAIL:' <<<"$output")
for message in "${expected[@]}"; do
    if ! grep -qF -- "$message" <<<"$fails"; then
        echo "missing the expected failure: $message"
        problems=$((problems + 1))
    fi
done
while IFS= read -r line; do
    [ -n "$line" ] || continue
    matched=0
    for message in "${expected[@]}"; do
        if grep -qF -- "$message" <<<"$line"; then matched=1; fi
    done
    if [ "$matched" -eq 0 ]; then
        echo "unexpected failure: $line"
        problems=$((problems + 1))
    fi
done <<<"$fails"
[ "$problems" -eq 0 ] && echo "rejected as expected"
[ "$problems" -eq 0 ]
