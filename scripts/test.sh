#!/usr/bin/env bash
# Every test: the host suite (g++), the 32-bit Windows build of the product,
# its release package (scripts/package.sh)
# and its run under Wine, then the host suite under the sanitizers, both built
# with clang-14: host-asan (AddressSanitizer + UBSan, and the fuzz
# regressions) and host-tsan (ThreadSanitizer); docs/reliability.md.
#
# Every stage runs even when an earlier one failed (a stage that needs what a
# failed one would have built fails and says why). The Wine stage, which
# mostly waits, runs beside the asan stage's build (beside host-clang's when
# the sanitizers are left out); its output comes whole after that stage's.
# Each stage
# ends with one verdict line, "test.sh: STAGE passed|FAILED (exit N) in T s",
# and the run ends with all of them again; the exit status is non-zero when
# any stage failed.
#
# The plain clang-14 build (host-clang) is left out: the two sanitizer builds
# compile every host source with the same compiler and warnings and run every
# test. QUILL_SANITIZERS=0 leaves the sanitizer runs out (a quicker local
# run) and runs host-clang in their place; QUILL_HOST_CLANG=1 runs it anyway.
# QUILL_STAGES (e.g. "wine asan") runs only the stages named (host, win32,
# package, wine, host-clang, asan, tsan).
#
# Every stage prints the wall-clock and CPU time (user + system of all the
# processes it ran) of its configure, build and test steps, and the run
# lists them all at the end. QUILL_DEBUG_INFO=lines builds the host and
# sanitizer presets with line tables only (-g1) instead of full debug
# information (-g): the same code and checks, the sanitizers' reports keep
# their file and line, and the builds are a fifth cheaper; .ci/run sets it.
#
# On a machine without the packages, the build's packages are installed
# first and the tests' (scripts/setup.sh test, scripts/wine-setup.sh) in the
# background while the host build runs; a stage waits for them before its
# tests (log in build/setup-test.log).
set -uo pipefail
cd "$(dirname "$0")/.."
# One `apt-get update` serves every install of this run (scripts/setup.sh).
export QUILL_APT_UPDATED_AFTER=${QUILL_APT_UPDATED_AFTER:-$(date +%s)}
scripts/setup.sh build || { echo "test.sh: scripts/setup.sh build failed" >&2; exit 1; }

jobs=$(nproc)
only=" ${QUILL_STAGES:-host win32 package wine host-clang asan tsan} "
source scripts/timing.sh
export QUILL_DEBUG_INFO
debug_flags=(-DCMAKE_C_FLAGS_DEBUG="$debug_info" -DCMAKE_CXX_FLAGS_DEBUG="$debug_info")

start=$SECONDS
verdicts=()
failures=0

mkdir -p build
export QUILL_PHASE_LOG=$PWD/build/test-phases.log
: >"$QUILL_PHASE_LOG"
quiet() { "$@" >/dev/null; }
# phase STAGE STEP COMMAND...: runs the command and prints its times.
phase() {
  local stage=$1 step=$2 cpu took rc=0
  shift 2
  timed "$@" || rc=$?
  echo "test.sh: $stage $step $took s, CPU $(seconds "$cpu") s" |
    tee -a "$QUILL_PHASE_LOG"
  return $rc
}

# The tests' packages, installed in the background (nothing to do on a
# machine that has them); wait_for_test_packages before running tests.
setup_done=$PWD/build/setup-test.done
rm -f "$setup_done"
(
  rc=0
  scripts/setup.sh test || rc=1
  scripts/wine-setup.sh || rc=1
  echo "$rc" >"$setup_done"
) >build/setup-test.log 2>&1 &
wait_for_test_packages() {
  local began=$SECONDS
  until [ -s "$setup_done" ]; do sleep 1; done
  ((SECONDS - began < 1)) || echo "test.sh: waited $((SECONDS - began)) s for the tests' packages"
  if [ "$(cat "$setup_done")" != 0 ]; then
    echo "test.sh: installing the tests' packages failed:"
    cat build/setup-test.log
    return 1
  fi
}

# run_stage NAME FUNCTION: the function runs in a subshell of its own with
# errexit, so its first failing command ends it and nothing else.
run_stage() {
  local name=$1 function=$2 began=$SECONDS rc verdict cpu before
  case $only in *" $name "*) ;; *) return 0 ;; esac
  echo "== $name   [$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s; load $(load)]"
  children_cpu
  before=$cpu
  (
    set -e
    "$function"
  )
  rc=$?
  children_cpu
  cpu=$((cpu - before))
  case $rc in
    0) verdict=passed ;;
    *)
      verdict="FAILED (exit $rc)"
      failures=$((failures + 1))
      ;;
  esac
  verdicts+=("test.sh: $name $verdict in $((SECONDS - began)) s, CPU $(seconds "$cpu") s (load $(load))")
  echo "${verdicts[-1]}"
}

# start_stage NAME FUNCTION: run_stage in the background, its output kept in
# build/stage-NAME.log; finish_stage NAME waits for it and prints the output
# and the verdict then, in the verdict's place in the list. For a stage that
# mostly waits (the Wine run), beside one that keeps both cores busy.
declare -A stage_pids=() stage_slots=()
start_stage() {
  local name=$1 function=$2
  case $only in *" $name "*) ;; *) return 0 ;; esac
  (
    verdicts=()
    run_stage "$name" "$function"
    printf '%s\n' "${verdicts[@]}" >"build/stage-$name.verdict"
  ) >"build/stage-$name.log" 2>&1 &
  stage_pids[$name]=$!
  stage_slots[$name]=${#verdicts[@]}
  verdicts+=("test.sh: $name did not end")
  echo "== $name   started in the background [$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s]"
}
finish_stage() {
  local name=$1 verdict
  [ -n "${stage_pids[$name]:-}" ] || return 0
  wait "${stage_pids[$name]}" || true
  cat "build/stage-$name.log"
  verdict=$(cat "build/stage-$name.verdict" 2>/dev/null || true)
  [ -n "$verdict" ] || verdict="test.sh: $name FAILED (no verdict; build/stage-$name.log)"
  case $verdict in *" passed in "*) ;; *) failures=$((failures + 1)) ;; esac
  verdicts[${stage_slots[$name]}]=$verdict
  unset "stage_pids[$name]"
}

stage_host() {
  phase host configure quiet cmake --preset host "${debug_flags[@]}"
  phase host build cmake --build --preset host -j "$jobs"
  phase host check-layout scripts/check-layout.sh build/host
  wait_for_test_packages
  phase host ctest ctest --preset host -j "$jobs"
}

stage_win32() {
  phase win32 configure quiet cmake --preset win32
  phase win32 build cmake --build --preset win32 -j "$jobs"
  phase win32 check-win32 scripts/check-win32.sh build/win32
}

# The release package (checked by check-package.sh), its 32-bit part built in
# the win32 stage's build/win32 (the same bytes as a clean build, since the
# build is the same in any folder) and its 64-bit driver from a clean build;
# then made again from a clean build in another folder: the two must be byte
# for byte the same.
package=dist/quill-$(sed -n 's/^version = //p' VERSION)-windows
stage_package() {
  QUILL_PACKAGE_WIN32=build/win32 phase package package.sh scripts/package.sh
  phase package check-reproducible scripts/check-reproducible.sh "$package"
}

# The package under Wine (installed on this kind of machine by
# wine-setup.sh): its quillprog.exe, quillfw.inf and quillfw.sys; see
# docs/windows.md. QUILL_FORCE_WINE_FAILURE=1 makes the stage fail at once
# (to see that the stages after it still run).
stage_wine() {
  if [ "${QUILL_FORCE_WINE_FAILURE:-0}" = 1 ]; then
    echo "wine: failing on request (QUILL_FORCE_WINE_FAILURE=1)"
    return 1
  fi
  if [ ! -f "$package/quillprog.exe" ]; then
    echo "wine: no $package/quillprog.exe (the package stage did not make it)"
    return 1
  fi
  wait_for_test_packages
  scripts/wine-setup.sh
  QUILL_PACKAGE=$package phase wine wine-test.sh scripts/wine-test.sh build/win32
}

stage_host_clang() {
  phase host-clang configure quiet cmake --preset host-clang "${debug_flags[@]}"
  phase host-clang build cmake --build --preset host-clang -j "$jobs"
  wait_for_test_packages
  phase host-clang ctest ctest --preset host-clang -j "$jobs"
}

stage_asan() {
  wait_for_test_packages
  JOBS=$jobs scripts/sanitizers.sh asan
}
stage_tsan() {
  wait_for_test_packages
  JOBS=$jobs scripts/sanitizers.sh tsan
}

run_stage host stage_host
run_stage win32 stage_win32
run_stage package stage_package
# The Wine run mostly waits (the prefix, the dialogs' timers): it runs beside
# the next stage's build, and its output and verdict come after that stage.
start_stage wine stage_wine

sanitizers=${QUILL_SANITIZERS:-1}
if [ "$sanitizers" = 0 ] || [ "${QUILL_HOST_CLANG:-0}" = 1 ]; then
  run_stage host-clang stage_host_clang
  finish_stage wine
fi
if [ "$sanitizers" != 0 ]; then
  run_stage asan stage_asan
  finish_stage wine
  run_stage tsan stage_tsan
fi
finish_stage wine

wait_for_test_packages >/dev/null || true
echo
echo "== steps"
cat "$QUILL_PHASE_LOG"
echo
echo "== verdicts"
printf '%s\n' "${verdicts[@]}"
children_cpu
total="$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s, CPU $(seconds "$cpu") s (load $(load))"
if ((failures > 0)); then
  echo "test.sh: $failures of ${#verdicts[@]} stages FAILED in $total"
  exit 1
fi
echo "test.sh: all ${#verdicts[@]} stages passed in $total"
