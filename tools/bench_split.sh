#!/usr/bin/env bash
# Splits a callgrind profile's instructions by whose code ran them: the driver's own
# folders, the host platform (sim/), the program and its benchmarks (tools/), and the
# C and C++ runtime (libc, and the standard library's templates instantiated for sim/
# and tools/, since driver code uses none). Given two profiles of the same command at
# two sizes, it also prints the difference, which leaves out start-up and plugging.
#
#   tools/bench_split.sh SMALL.out [LARGE.out]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
split() {
    callgrind_annotate --inclusive=no --threshold=100 --auto=no "$1" | awk -v root="$root/" '
        /^ *[0-9,]+ \(/ && index($0, ":") {
            ir = $1; gsub(",", "", ir)
            file = $0; sub(/^ *[0-9,]+ +\([ 0-9.%]+\) +/, "", file)
            part = "runtime"
            if (index(file, root) == 1) {
                rel = substr(file, length(root) + 1)
                if (rel ~ /^(core|pnp|serial|usb|power|kernel)\//) part = "driver"
                else if (rel ~ /^sim\//) part = "platform"
                else part = "program"
            }
            sum[part] += ir; total += ir
        }
        END { printf "%s %.0f %.0f %.0f %.0f %.0f\n", "split", total, sum["driver"], sum["platform"], sum["program"], sum["runtime"] }'
}
a=($(split "$1"))
printf '%-12s %15s %15s %15s %15s %15s\n' profile total driver platform program runtime
printf '%-12s %15s %15s %15s %15s %15s\n' "$(basename "$1")" "${a[1]}" "${a[2]}" "${a[3]}" "${a[4]}" "${a[5]}"
if [ $# -ge 2 ]; then
    b=($(split "$2"))
    printf '%-12s %15s %15s %15s %15s %15s\n' "$(basename "$2")" "${b[1]}" "${b[2]}" "${b[3]}" "${b[4]}" "${b[5]}"
    printf '%-12s %15d %15d %15d %15d %15d\n' difference $((b[1]-a[1])) $((b[2]-a[2])) $((b[3]-a[3])) $((b[4]-a[4])) $((b[5]-a[5]))
fi
