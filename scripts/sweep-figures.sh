#!/usr/bin/env bash
# Runs the fault sweeps (ctest label "sweeps", host build) and rewrites their
# figure line in docs/reliability.md (between the sweeps markers):
#
#   scripts/sweep-figures.sh
#
# Every sweep prints "[ sweep    ] NAME: N points: ..." (allocations) or
# "[ sweep    ] NAME: N fault points" (device faults); the line sums them.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset host >/dev/null
cmake --build --preset host -j2 --target sweep_tests >/dev/null
log=build/host/sweeps.log
start=$(date +%s)
build/host/tests/sweep_tests >"$log" 2>&1 || {
  echo "sweeps failed, see $log" >&2
  exit 1
}
seconds=$(($(date +%s) - start))

allocations=$(sed -n 's/^\[ sweep    \] \([A-Za-z]*\): \([0-9]*\) points:.*/\1 \2/p' "$log")
faults=$(sed -n 's/^\[ sweep    \] \([A-Za-z]*\): \([0-9]*\) fault points.*/\1 \2/p' "$log")
total_allocations=$(awk '{ sum += $2 } END { print sum + 0 }' <<<"$allocations")
total_faults=$(awk '{ sum += $2 } END { print sum + 0 }' <<<"$faults")
by_kind=$(awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }' <<<"$allocations")

line="Allocations swept: $total_allocations ($by_kind); device fault points covered:"
line="$line $total_faults; each a whole run of quillprog with a second update;"
line="$line $seconds s for all on $(date -u +%Y-%m-%d) (load $(cut -d' ' -f1-3 /proc/loadavg))."

awk -v line="$line" '
  /<!-- sweeps:begin -->/ { print; print line; skip = 1; next }
  /<!-- sweeps:end -->/ { skip = 0 }
  !skip { print }
' docs/reliability.md >docs/reliability.md.new
mv docs/reliability.md.new docs/reliability.md
echo "$line"
