#!/usr/bin/env bash
# Every test: the host suite (g++), the 32-bit Windows build of the product,
# its release package (scripts/package.sh)
# and its run under Wine, then the host suite under the sanitizers, both built
# with clang-14: host-asan (AddressSanitizer + UBSan, and the fuzz
# regressions) and host-tsan (ThreadSanitizer); docs/reliability.md.
#
# Every stage runs even when an earlier one failed (a stage that needs what a
# failed one would have built fails and says why). Each stage
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
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh || { echo "test.sh: scripts/setup.sh failed" >&2; exit 1; }

jobs=$(nproc)
only=" ${QUILL_STAGES:-host win32 package wine host-clang asan tsan} "

start=$SECONDS
verdicts=()
failures=0
load() { cut -d' ' -f1-3 /proc/loadavg; }

# run_stage NAME FUNCTION: the function runs in a subshell of its own with
# errexit, so its first failing command ends it and nothing else.
run_stage() {
  local name=$1 function=$2 began=$SECONDS rc verdict
  case $only in *" $name "*) ;; *) return 0 ;; esac
  echo "== $name   [$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s; load $(load)]"
  (
    set -e
    "$function"
  )
  rc=$?
  case $rc in
    0) verdict=passed ;;
    *)
      verdict="FAILED (exit $rc)"
      failures=$((failures + 1))
      ;;
  esac
  verdicts+=("test.sh: $name $verdict in $((SECONDS - began)) s (load $(load))")
  echo "${verdicts[-1]}"
}

stage_host() {
  cmake --preset host >/dev/null
  cmake --build --preset host -j "$jobs"
  scripts/check-layout.sh build/host
  ctest --preset host -j "$jobs"
}

stage_win32() {
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j "$jobs"
  scripts/check-win32.sh build/win32
}

# The release package (checked by check-package.sh), its 32-bit part built in
# the win32 stage's build/win32 (the same bytes as a clean build, since the
# build is the same in any folder) and its 64-bit driver from a clean build;
# then made again from a clean build in another folder: the two must be byte
# for byte the same.
package=dist/quill-$(sed -n 's/^version = //p' VERSION)-windows
stage_package() {
  QUILL_PACKAGE_WIN32=build/win32 scripts/package.sh
  scripts/check-reproducible.sh "$package"
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
  scripts/wine-setup.sh
  QUILL_PACKAGE=$package scripts/wine-test.sh build/win32
}

stage_host_clang() {
  cmake --preset host-clang >/dev/null
  cmake --build --preset host-clang -j "$jobs"
  ctest --preset host-clang -j "$jobs"
}

stage_asan() { JOBS=$jobs scripts/sanitizers.sh asan; }
stage_tsan() { JOBS=$jobs scripts/sanitizers.sh tsan; }

run_stage host stage_host
run_stage win32 stage_win32
run_stage package stage_package
run_stage wine stage_wine

sanitizers=${QUILL_SANITIZERS:-1}
if [ "$sanitizers" = 0 ] || [ "${QUILL_HOST_CLANG:-0}" = 1 ]; then
  run_stage host-clang stage_host_clang
fi
if [ "$sanitizers" != 0 ]; then
  run_stage asan stage_asan
  run_stage tsan stage_tsan
fi

echo
echo "== verdicts"
printf '%s\n' "${verdicts[@]}"
total="$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s (load $(load))"
if ((failures > 0)); then
  echo "test.sh: $failures of ${#verdicts[@]} stages FAILED in $total"
  exit 1
fi
echo "test.sh: all ${#verdicts[@]} stages passed in $total"
