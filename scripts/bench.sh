#!/usr/bin/env bash
# Benchmarks and every budget. Builds the `bench` preset (Release, g++ -O2)
# and runs every benchmark (the image build and its parts, the simulated
# download in both completion modes, the topology walk) with its budgets;
# then the budgets on whole processes, each side by side with its yardstick
# (bench/process_budgets.cpp): `quillsim image` against objcopy and cat, a
# whole update with the optimised quillsim against the Debug one (preset
# `host`), schedule exploration of a whole update (schedules per CPU second,
# beside one default run and the Debug build), and the fuzz targets that run a whole machine per input
# (preset `fuzz`: host-asan at `-O1`), in executions per CPU second at four seeds. Exits 1 when a budget
# fails. Extra arguments go to Google Benchmark, e.g.
# --benchmark_filter=BuildFlashImage. On a shared machine run it under
# `nice -n 19`: the budgets are on CPU time, which moves with the load far
# less than wall time does.
#
#   scripts/bench.sh                          # 10 repetitions of >= 0.1 s CPU each
#   scripts/bench.sh --benchmark_repetitions=3
#   QUILL_BENCH_PROCESSES=0 scripts/bench.sh  # Google Benchmark's budgets only
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
scripts/setup.sh || exit 2
command -v objcopy >/dev/null || { echo "bench: objcopy (binutils) is missing" >&2; exit 2; }

# Every step runs whatever an earlier one did; a step that cannot run counts
# as a failed budget. Each step's output is kept for the summary at the end,
# which lists every budget with its figure.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
log=$work/log
status=0
fail() { echo "bench: $*" | tee -a "$log"; status=1; }
step() {  # step NAME COMMAND...: runs it, its output shown and kept
  "${@:2}" 2>&1 | tee -a "$log"
  local code=${PIPESTATUS[0]}
  [ "$code" = 0 ] || fail "$1 exited $code"
  return 0
}
build() {  # build PRESET [TARGET...]
  local targets=()
  [ $# -gt 1 ] && targets=(--target "${@:2}")
  if ! { cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j 2 "${targets[@]}" >/dev/null; }; then
    fail "the $1 build failed"
    return 1
  fi
}

if build bench; then
  step benchmarks build/bench/bench/quill_benchmarks --benchmark_repetitions=10 \
    --benchmark_min_time=0.1 "$@"
fi

if [ "${QUILL_BENCH_PROCESSES:-1}" != 0 ] && [ -x build/bench/bench/process_budgets ]; then
  machine_targets=(transfer_request hub_answers)
  debug=()  # the Debug quillsim, measured beside the optimised one
  if build host quillsim; then debug=(build/host/tools/quillsim/quillsim); fi
  build fuzz "${machine_targets[@]/%/_fuzz}"
  budgets=build/bench/bench/process_budgets
  build/bench/bench/make_bench_files "$work" >/dev/null
  echo
  step "image" $budgets image build/bench/tools/quillsim/quillsim "$work/largest-shuffled.hex" \
    "${debug[@]}"
  echo
  if [ ${#debug[@]} = 1 ]; then
    step "update" $budgets update build/bench/tools/quillsim/quillsim "${debug[0]}" \
      examples/scenarios/main-update.json examples/scenarios/full-flash.json
  else
    fail "a whole update: not measured (no Debug quillsim to set beside it)"
  fi
  echo
  if [ ${#debug[@]} = 1 ]; then
    step "schedules" $budgets schedules build/bench/tools/quillsim/quillsim "${debug[0]}" \
      examples/scenarios/main-update.json
  else
    fail "schedule exploration: not measured (no Debug quillsim to set beside it)"
  fi
  for target in "${machine_targets[@]}"; do
    echo
    if [ -f "build/fuzz/fuzz/$target.target" ]; then
      # shellcheck source=/dev/null
      source "build/fuzz/fuzz/$target.target"  # FUZZER, DICTIONARY, INPUTS
      step "fuzz $target" $budgets fuzz "$target" "$FUZZER" "${INPUTS[@]}"
    else
      fail "the $target fuzz target: not measured (not built)"
    fi
  done
fi

echo
echo "Every budget of this run:"
grep -E "(holds|FAILS|not measured|reported, no budget)" "$log" | grep -v '^Budgets' | sed 's/^ *budget: //; s/^ */  /; s/^\([^ ]\)/  \1/'
grep -E '^bench: ' "$log" | sed 's/^/  /'
if [ $status = 0 ]; then echo "bench: every budget holds"; else echo "bench: a budget fails (above)"; fi
exit $status
