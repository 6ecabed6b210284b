#!/usr/bin/env bash
# Measures the fuzz targets and rewrites the figures table of
# docs/reliability.md:
#
#   scripts/reliability-figures.sh [SECONDS] [TARGET...]
#
# Runs each TARGET (default: every target the fuzz build knows) for
# SECONDS (default 600) with scripts/fuzz.sh, or until it has made
# QUILL_FUZZ_MAX_RUNS executions when that is set (10000000 for the goal), then replays its committed
# seeds plus the corpus grown so far with -print_coverage=1 and counts the
# edges covered in the sources the target is for (COVERS in
# fuzz/CMakeLists.txt). Rows of targets not run keep their last figures.
# The raw logs stay in build/fuzz/TARGET.log and TARGET.coverage.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
[ $# -gt 0 ] && shift
cmake --preset fuzz >/dev/null
if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < <(cd build/fuzz/fuzz && ls -- *.target | sed 's/\.target$//')
fi

rows=build/fuzz/figures.rows
mkdir -p build/fuzz
: >"$rows"
for target in "${targets[@]}"; do
  echo "== $target: ${seconds} s"
  log=build/fuzz/$target.log
  status=0
  # The CPU time the run got (user + system), for executions per CPU second:
  # on a shared machine the wall-clock rate says more about the load.
  # The build comes first so that the time is the fuzzer's alone.
  cpu=build/fuzz/$target.cpu
  cmake --build --preset fuzz -j2 --target "${target}_fuzz" >/dev/null
  limit=()
  [ -n "${QUILL_FUZZ_MAX_RUNS:-}" ] && limit=(-runs="$QUILL_FUZZ_MAX_RUNS")
  started=$(date +%s)
  QUILL_FUZZ_PREBUILT=1 /usr/bin/time -f '%U %S' -o "$cpu" scripts/fuzz.sh "$target" "$seconds" "${limit[@]}" \
    >"$log" 2>&1 || status=$?
  elapsed=$(($(date +%s) - started))
  # shellcheck source=/dev/null
  source "build/fuzz/fuzz/$target.target"

  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  per_second=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cpu_seconds=$(awk 'NR == 1 { printf "%d", $1 + $2 }' "$cpu")
  per_cpu_second=$(awk -v runs="${executions:-0}" 'NR == 1 && $1 + $2 > 0 { printf "%d", runs / ($1 + $2) }' "$cpu")
  findings=$(find "build/fuzz/$target-findings" -type f | wc -l)
  [ "$status" -ne 0 ] && findings="$findings (run failed: exit $status, see $log)"
  seeds=0
  for input in "${INPUTS[@]}"; do
    if [ -d "$input" ]; then
      seeds=$((seeds + $(find "$input" -maxdepth 1 -type f ! -name 'README*' ! -name '.keep' | wc -l)))
    elif [ -f "$input" ]; then
      seeds=$((seeds + 1))
    fi
  done
  grown=$(find "build/fuzz/$target" -type f | wc -l)

  coverage=build/fuzz/$target.coverage
  "$FUZZER" -runs=0 -print_coverage=1 "build/fuzz/$target" "build/fuzz/$target-seeds" \
    >"$coverage" 2>&1 || true
  pattern=$(printf '|%s' "${COVERS[@]}")
  # Sources are matched by their path from the top of any checkout: objects
  # from the shared compiler cache may name another worktree's folder.
  edges=$({ grep -E "^(UN)?COVERED_FUNC: .* ([^ ]*/)?(${pattern:1})" "$coverage" || true; } |
    sed -E 's/.* edges: ([0-9]+)\/([0-9]+) .*/\1 \2/' |
    awk '{ covered += $1; total += $2 } END { printf "%d of %d (%.0f%%)", covered, total, total ? 100 * covered / total : 0 }')

  printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$target" "$seeds" "$grown" "$elapsed" "${cpu_seconds:-?}" \
    "${executions:-?}" "${per_second:-?}" "${per_cpu_second:-?}" "$edges" "$findings" \
    "$(date -u +%Y-%m-%d)" >>"$rows"
  tail -1 "$rows"
done

python3 - "$rows" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)" <<'PY'
import sys
rows_file, cores, load = sys.argv[1:]
doc_path = "docs/reliability.md"
doc = open(doc_path).read()
begin, end = "<!-- figures:begin -->", "<!-- figures:end -->"
head, rest = doc.split(begin)
table, tail = rest.split(end)
rows = {}
for line in table.splitlines():
    cells = [c.strip() for c in line.strip().strip("|").split("|")]
    if not line.startswith("| ") or cells[0].startswith(("Target", "-")):
        continue
    if len(cells) == 9:  # a row from before the CPU time was measured
        cells.insert(6, "not measured")
    if len(cells) == 10:  # a row from before the CPU seconds had a column
        runs, per_cpu = cells[4], cells[6]
        derived = runs.isdigit() and per_cpu.isdigit() and int(per_cpu) > 0
        cells.insert(4, str(round(int(runs) / int(per_cpu))) if derived else "not measured")
    line = "| " + " | ".join(cells) + " |"
    if len(cells) == 11:
        rows[cells[0]] = line
for line in open(rows_file).read().splitlines():
    rows[line.split("|")[1].strip()] = line
lines = [
    "| Target | Seeds | Corpus grown | Seconds | CPU s | Executions | Exec/s | Exec per CPU s | Edges covered in the code under test | Findings | Date |",
    "|---|---|---|---|---|---|---|---|---|---|---|",
] + [rows[name] for name in sorted(rows)]
note = ("Each row comes from `scripts/reliability-figures.sh SECONDS TARGET` (the latest with "
        "`QUILL_FUZZ_MAX_RUNS=10000000` and 3600 SECONDS); Seconds is the run's wall time, CPU s the "
        f"CPU time the fuzzer got. The last run was on a machine with {cores} cores shared with other "
        f"work (load average {load} at its end).")
new_table = "\n" + "\n".join(lines) + "\n\n" + note + "\n"
open(doc_path, "w").write(head + begin + new_table + end + tail)
PY
echo "figures: docs/reliability.md"
