#!/usr/bin/env bash
# The whole host suite under the sanitizers, with a summary of the times:
#
#   scripts/sanitizers.sh [asan] [tsan]      (default: both)
#
# For each of host-asan (AddressSanitizer + UBSan, and the fuzz regressions)
# and host-tsan (ThreadSanitizer): configure, build, run ctest with a
# per-test timeout, keep the ctest output in build/sanitizers/PRESET.log,
# then print the build and ctest times, the load average, the test counts and
# the slowest tests. Both presets run even when the first fails; the exit
# status is non-zero when any build or test failed. docs/reliability.md.
#
# Environment: JOBS (default: the number of cores), QUILL_TEST_TIMEOUT (the
# ctest timeout of one test in seconds, default 900: a hang fails in
# minutes, not never), QUILL_SLOWEST (how many slow tests to list, default 8),
# QUILL_DEBUG_INFO (full: -g, the default; lines: -g1, line tables only, as
# scripts/test.sh explains), QUILL_PHASE_LOG (a file to which each step's
# wall-clock and CPU time is added, as scripts/test.sh keeps them).
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc)}
timeout=${QUILL_TEST_TIMEOUT:-900}
slowest=${QUILL_SLOWEST:-8}
sanitizers=("$@")
((${#sanitizers[@]})) || sanitizers=(asan tsan)

logs=build/sanitizers
mkdir -p "$logs"
summary=()
status=0

source scripts/timing.sh
# step PRESET STEP COMMAND...: runs the command, and keeps and prints its
# wall-clock and CPU time in $times.
step() {
  local preset=$1 name=$2 cpu took rc=0
  shift 2
  timed "$@" || rc=$?
  times="$name $took s, CPU $(seconds "$cpu") s"
  echo "sanitizers.sh: $preset $times"
  [ -z "${QUILL_PHASE_LOG:-}" ] || echo "test.sh: ${preset#host-} $times" >>"$QUILL_PHASE_LOG"
  return $rc
}
configure() { cmake --preset "$1" -DCMAKE_C_FLAGS_DEBUG="$debug_info" -DCMAKE_CXX_FLAGS_DEBUG="$debug_info" >/dev/null; }

run_ctest() {
  ctest --preset "$1" -j "$jobs" --timeout "$timeout" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

for sanitizer in "${sanitizers[@]}"; do
  preset=host-$sanitizer
  case $sanitizer in
    asan) title="clang-14, AddressSanitizer + UBSan, fuzz regressions" ;;
    tsan) title="clang-14, ThreadSanitizer" ;;
    *) echo "sanitizers.sh: unknown sanitizer '$sanitizer' (asan or tsan)" >&2; exit 2 ;;
  esac
  echo "== $preset ($title)"
  log=$logs/$preset.log

  start=$SECONDS
  if ! step "$preset" configure configure "$preset"; then
    summary+=("$preset: CONFIGURE FAILED after $((SECONDS - start)) s (load $(load))")
    status=1
    continue
  fi
  configure_times=$times
  if ! step "$preset" build cmake --build --preset "$preset" -j "$jobs"; then
    summary+=("$preset: BUILD FAILED after $((SECONDS - start)) s (load $(load))")
    status=1
    continue
  fi
  build_times="$times (load $(load))"

  ctest_status=0
  step "$preset" ctest run_ctest "$preset" || ctest_status=$?
  ((ctest_status == 0)) || status=1

  # ctest's lines: "  12/250 Test  #34: Suite.Name ....   Passed    1.23 sec"
  counts=$(grep -Eo '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  summary+=("$preset: $configure_times; $build_times; $times (load $(load)): ${counts:-no ctest summary}")
  summary+=("  slowest:")
  while read -r line; do summary+=("    $line"); done < <(
    sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) [. ]*(\*\*\*)?[A-Za-z]+.* ([0-9.]+) sec$/\3 s  \1/p' "$log" |
      sort -rn | head -n "$slowest")
  if ((ctest_status != 0)); then
    summary+=("  FAILED:")
    while read -r line; do summary+=("    $line"); done < <(
      sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ')
  fi
done

echo
echo "== sanitizer summary (logs in $logs/)"
printf '%s\n' "${summary[@]}"
exit $status
