#!/usr/bin/env bash
# Benchmarks and every budget. Builds the `bench` preset (Release, g++ -O2)
# and runs every benchmark (the image build and its parts, the simulated
# download in both completion modes, the topology walk) with its budgets;
# then the budgets on whole processes, each side by side with its yardstick
# (bench/process_budgets.cpp): `quillsim image` against objcopy and cat, a
# whole update with the optimised quillsim against the Debug one (preset
# `host`), and the fuzz targets that run a whole machine per input
# (preset `host-asan`), in executions per CPU second. Exits 1 when a budget
# fails. Extra arguments go to Google Benchmark, e.g.
# --benchmark_filter=BuildFlashImage. On a shared machine run it under
# `nice -n 19`: the budgets are on CPU time, which moves with the load far
# less than wall time does.
#
#   scripts/bench.sh                          # 10 repetitions of >= 0.1 s CPU each
#   scripts/bench.sh --benchmark_repetitions=3
#   QUILL_BENCH_PROCESSES=0 scripts/bench.sh  # Google Benchmark's budgets only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
command -v objcopy >/dev/null || { echo "bench: objcopy (binutils) is missing" >&2; exit 2; }
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 >/dev/null

status=0
build/bench/bench/quill_benchmarks --benchmark_repetitions=10 --benchmark_min_time=0.1 "$@" || status=1
[ "${QUILL_BENCH_PROCESSES:-1}" = 0 ] && exit $status

machine_targets=(transfer_request hub_answers)
cmake --preset host >/dev/null
cmake --build --preset host -j 2 --target quillsim >/dev/null
cmake --preset host-asan >/dev/null
cmake --build --preset host-asan -j 2 --target "${machine_targets[@]/%/_fuzz}" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/bench/bench/make_bench_files "$work" >/dev/null
budgets=build/bench/bench/process_budgets
echo
$budgets image build/bench/tools/quillsim/quillsim "$work/largest-shuffled.hex" || status=1
echo
$budgets update build/bench/tools/quillsim/quillsim build/host/tools/quillsim/quillsim \
  examples/scenarios/main-update.json examples/scenarios/full-flash.json || status=1
for target in "${machine_targets[@]}"; do
  echo
  # shellcheck source=/dev/null
  source "build/host-asan/fuzz/$target.target"  # FUZZER, DICTIONARY, INPUTS
  $budgets fuzz "$target" "$FUZZER" "${INPUTS[@]}" || status=1
done
exit $status
