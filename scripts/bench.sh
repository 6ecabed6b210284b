#!/usr/bin/env bash
# Benchmarks: builds the `bench` preset (Release, g++ -O2) and runs every
# benchmark (the image build and its parts, the simulated download in both
# completion modes, the topology walk), then checks the budgets (exit 1 when
# one fails). Extra arguments go to Google Benchmark, e.g.
# --benchmark_filter=BuildFlashImage. On a shared machine run it under
# `nice -n 19`: the budgets are on CPU time, which moves with the load far
# less than wall time does.
#
#   scripts/bench.sh                          # 10 repetitions of >= 0.1 s CPU each
#   scripts/bench.sh --benchmark_repetitions=3
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 >/dev/null
exec build/bench/bench/quill_benchmarks --benchmark_repetitions=10 --benchmark_min_time=0.1 "$@"
