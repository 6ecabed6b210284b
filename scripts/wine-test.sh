#!/usr/bin/env bash
# Runs quillprog.exe under Wine on a private Xvfb display and checks it with
# tests/wine's quill-wine-test.exe (a Win32 program of ours that drives
# quillprog's windows from outside). Screenshots land in docs/images/.
# Then, in the same prefix, whole updates on Wine's kernel: quill-wine-update.exe
# installs the test bus driver (tests/wine-kernel/quillbus.sys) and
# driver/quillfw.inf and drives quillprog.exe through four updates that the
# real quillfw.sys carries to the simulated Q417; scripts/wine-compare.py then
# holds what it observed against the same machine on winsim (quillsim, from
# the host build). docs/windows.md, "The whole update on Wine's kernel".
# Everything started here (Xvfb, wineserver, the throwaway prefix) is removed
# on every way out.
#
#   scripts/wine-test.sh [BUILD-DIR] [--firmware FILE] [--device NAME=VALUE]...
#                        [--exe QUILLPROG.EXE] [--driver-dir DIR]
#
# BUILD-DIR (default build/win32) holds the test programs and the bus driver.
# --firmware: the Flash ROM file of the four updates (default
#   examples/firmware/sample.hex); the winsim side plays it too, and the flash
#   after each update is held against `quillsim image FILE` (SHA-256).
# --device NAME=VALUE: the test bus's device (QuillbusSettings in
#   tests/wine-kernel/quillbus_protocol.h: ReturnDelayMs, TriggerError 31|23,
#   TriggersToLeave, EndpointLayout 0|1, FailBlock; default FailBlock=3),
#   read by quillbus.sys at its start from its Parameters key; the comparison
#   gives winsim's Q417 the same.
# --exe, --driver-dir: where quillprog.exe and quillfw.inf + quillfw.sys (and,
#   in a package, amd64/quillfw.sys) come from (also QUILL_WINE_EXE and
#   QUILL_WINE_DRIVER_DIR; default: the package's, else BUILD-DIR's app/
#   and driver/).
#
# QUILL_PACKAGE=DIR takes what ships from a release package folder
# (scripts/package.sh): quillprog.exe, quillfw.inf and quillfw.sys (with
# amd64/quillfw.sys) are the package's, the test programs and the test bus
# driver BUILD-DIR's.
#
# The shipped program is the 32-bit build in BUILD-DIR. On a machine that
# cannot execute 32-bit x86 code Wine's 32-bit half cannot start; the script
# then says so and checks the 64-bit build of the same sources instead
# (build/win64, configured here with cmake/x86_64-w64-mingw32.cmake).
#
# Needs what scripts/wine-setup.sh installs. Prints "wine: N passed, M failed"
# last and exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/win32
firmware=$root/examples/firmware/sample.hex
device=(FailBlock=3)
exe_arg=${QUILL_WINE_EXE:-}
driver_dir=${QUILL_WINE_DRIVER_DIR:-}
while (($#)); do
  case $1 in
    --firmware) firmware=$2; shift 2 ;;
    --device) device+=("$2"); shift 2 ;;
    --exe) exe_arg=$2; shift 2 ;;
    --driver-dir) driver_dir=$2; shift 2 ;;
    -*) echo "wine-test: unknown option $1" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
[ -f "$firmware" ] || { echo "wine-test: no Flash ROM file $firmware" >&2; exit 2; }
firmware=$(cd "$(dirname "$firmware")" && echo "$PWD/$(basename "$firmware")")
time_limit=${QUILL_WINE_TIME_LIMIT:-900}  # seconds for the whole Wine part

started=$(date +%s)
passed=0 failed=0
step() { echo "wine-test: $*"; }
fail_early() {
  echo "wine-test: $*" >&2
  echo "wine: $passed passed, $((failed + 1)) failed"
  exit 1
}
remaining() { echo $((time_limit - ($(date +%s) - started))); }

# QUILL_WINE_64=1 takes the 64-bit path on a machine that runs 32-bit code too.
use64=0
if [ "${QUILL_WINE_64:-0}" = 1 ]; then
  use64=1
  step "QUILL_WINE_64=1: the 64-bit path, although this machine may execute 32-bit code."
elif scripts/runs-i386.sh; then
  step "checking the 32-bit build in $build"
else
  use64=1
  step "THIS MACHINE DOES NOT EXECUTE 32-BIT x86 CODE: Wine cannot run the 32-bit quillprog.exe here."
fi
if ((use64)); then
  step "Checking the 64-bit build of the same sources instead (build/win64)."
  build=build/win64
  t0=$(date +%s)
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja --toolchain cmake/x86_64-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=Release >/dev/null || fail_early "cannot configure $build"
  fi
  timeout "$(remaining)" cmake --build "$build" -j 2 --target quillprog quill_wine_test \
    quillfw quillbus quill_wine_update quill_wine_observe >"$build/wine-build.log" 2>&1 ||
    fail_early "64-bit build failed: $(tail -5 "$build/wine-build.log")"
  step "64-bit build in $(($(date +%s) - t0)) s"
fi

package=${QUILL_PACKAGE:-}
if [ -n "$exe_arg" ]; then
  exe=$exe_arg
elif [ -n "$package" ] && [ "$build" = build/win64 ]; then
  step "the package's 32-bit quillprog.exe cannot run here: the 64-bit build's stands in for it"
  exe=$(find "$build/app" -name quillprog.exe -print -quit 2>/dev/null || true)
elif [ -n "$package" ]; then
  exe=$package/quillprog.exe
  [ -f "$exe" ] || fail_early "no quillprog.exe in the package $package"
  step "quillprog.exe, quillfw.inf and quillfw.sys from the package $package"
else
  exe=$(find "$build/app" -name quillprog.exe -print -quit 2>/dev/null || true)
fi
# quillfw.inf and quillfw.sys: --driver-dir, else the package's, else the build's.
driver_dir=${driver_dir:-${package:-$build/driver}}
tester=$build/tests/wine/quill-wine-test.exe
[ -n "$exe" ] && [ -f "$exe" ] || fail_early "no quillprog.exe ($exe) under $build/app"
[ -f "$tester" ] || fail_early "no $tester"
# wine64 starts 64-bit programs itself and 32-bit ones through Wine's 32-bit
# loader; without wine64 the 32-bit loader does everything.
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=/usr/lib/wine/wine
if ((!use64)); then
  # The 32-bit build's drivers need a 32-bit winedevice.exe: a 32-bit prefix
  # started by the 32-bit loader (shared/platform-notes.md checked the
  # kernel path that way). Not exercised on machines that run 64-bit code only.
  export WINEARCH=win32
  wine=/usr/lib/wine/wine
fi
[ -x "$wine" ] || fail_early "no Wine loader (run scripts/wine-setup.sh)"
wineserver=/usr/lib/wine/wineserver

work=$(mktemp -d /tmp/quill-wine.XXXXXX)
xvfb_pid=
shooter_pid=
cleanup() {
  set +e
  [ -n "$shooter_pid" ] && kill "$shooter_pid" 2>/dev/null && wait "$shooter_pid" 2>/dev/null
  if [ -d "$work/prefix" ]; then
    WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null
    WINEPREFIX=$work/prefix "$wineserver" -w 2>/dev/null
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- A display of our own ------------------------------------------------------
for n in $(seq 90 199); do
  [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$n" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$xvfb_pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then
    export DISPLAY=":$n"
    break
  fi
  wait "$xvfb_pid" 2>/dev/null || true  # display taken meanwhile: next one
  xvfb_pid=
done
[ -n "$xvfb_pid" ] || fail_early "no free X display for Xvfb"
step "Xvfb on $DISPLAY"

# --- A throwaway prefix ------------------------------------------------------------
export WINEPREFIX=$work/prefix
export WINEDEBUG=${QUILL_WINE_DEBUG:--all}  # e.g. +setupapi,+ntoskrnl,+plugplay
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or HTML engine installers
t0=$(date +%s)
timeout "$(remaining)" "$wine" wineboot -i >"$work/wineboot.log" 2>&1 ||
  fail_early "wineboot failed or timed out: $(tail -3 "$work/wineboot.log")"
# Without a window manager Wine draws the windows' frames and captions
# itself when they are not "managed".
timeout "$(remaining)" "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
timeout "$(remaining)" "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
timeout "$(remaining)" "$wineserver" -w
step "prefix ready in $(($(date +%s) - t0)) s"

# --- Screenshots on request ------------------------------------------------------
# quill-wine-test.exe writes NAME.req ("x y width height" of a window) into
# the shots folder; this loop answers with NAME.png, cropped to the window.
shots=$work/shots
mkdir -p "$shots"
take_shots() {
  while :; do
    for req in "$shots"/*.req; do
      [ -e "$req" ] || continue
      name=$(basename "$req" .req)
      read -r x y w h <"$req" || true
      for _ in 1 2 3; do  # a window closing meanwhile makes xwd fail
        xwd -root -silent -display "$DISPLAY" 2>/dev/null |
          convert xwd:- -crop "${w}x${h}+${x}+${y}" +repage -strip \
            -define png:exclude-chunks=date,time "$shots/$name.png" 2>/dev/null && break
      done
      rm -f "$req"
    done
    sleep 0.1
  done
}
take_shots &
shooter_pid=$!

# --- The checks ------------------------------------------------------------------
winpath() { echo "Z:${1//\//\\}"; }
abs() { (cd "$(dirname "$1")" && echo "$PWD/$(basename "$1")"); }
t0=$(date +%s)
set +e
timeout "$(remaining)" "$wine" "$(winpath "$(abs "$tester")")" "$(winpath "$(abs "$exe")")" \
  "$(winpath "$shots")" >"$work/checks.log" 2>&1
rc=$?
set -e
tr -d '\r' <"$work/checks.log" | grep -E '^(PASS|FAIL|note) ' || true
step "checks ran in $(($(date +%s) - t0)) s (exit $rc)"
passed=$(tr -d '\r' <"$work/checks.log" | grep -c '^PASS ' || true)
failed=$(tr -d '\r' <"$work/checks.log" | grep -c '^FAIL ' || true)
if [ "$rc" -eq 124 ]; then
  step "time limit of $time_limit s reached"
  failed=$((failed + 1))
elif [ "$rc" -ne 0 ] && [ "$failed" -eq 0 ]; then
  step "quill-wine-test.exe ended with $rc: $(tail -3 "$work/checks.log")"
  failed=$((failed + 1))
fi

# --- Whole updates on Wine's kernel ------------------------------------------------
# quill-wine-update.exe installs the test bus driver (tests/wine-kernel) and
# quillfw.inf in the same prefix, then drives the real quillprog.exe through
# four updates that the real quillfw.sys carries to the simulated Q417. What
# it observed lands in $kernel_out for scripts/wine-compare.py.
kernel_out=$(abs "$build")/wine-kernel
updater=$build/tests/wine/quill-wine-update.exe
if [ -f "$updater" ] && [ -f "$driver_dir/quillfw.sys" ] && [ -f "$build/tests/wine-kernel/quillbus.sys" ]; then
  drivers=$work/drivers
  mkdir -p "$drivers" && rm -rf "$kernel_out" && mkdir -p "$kernel_out"
  step "Flash ROM file $firmware; device ${device[*]}"
  cp "$build/tests/wine-kernel/quillbus.sys" "$build/tests/wine-kernel/quillbus.inf" "$drivers/"
  # quillfw.inf names the 32-bit quillfw.sys next to it ([SourceDisksFiles])
  # and the 64-bit one in amd64\ ([SourceDisksFiles.amd64]), as Windows
  # reads them. Wine 8.0's setupapi reads only the undecorated section, in a
  # 64-bit prefix too, and would install the 32-bit file there (which the
  # 64-bit winedevice.exe cannot load): the 64-bit prefix gets the 64-bit
  # quillfw.sys next to the INF, where Wine looks for it.
  want_sys=$driver_dir/quillfw.sys
  if ((use64)) && [ -f "$driver_dir/amd64/quillfw.sys" ]; then  # a package
    want_sys=$driver_dir/amd64/quillfw.sys
  fi
  cp "$driver_dir/quillfw.inf" "$drivers/" && cp "$want_sys" "$drivers/quillfw.sys"
  # A fresh start of the prefix's services (wineboot's own session may still
  # hold the service database locked for half a minute).
  timeout "$(remaining)" "$wineserver" -w
  t0=$(date +%s)
  set +e
  timeout "$(remaining)" "$wine" "$(winpath "$(abs "$updater")")" "$(winpath "$(abs "$exe")")" \
    "$(winpath "$drivers")" "$(winpath "$firmware")" \
    "$(winpath "$kernel_out")" "${device[@]}" >"$work/updates.log" 2>&1
  krc=$?
  set -e
  tr -d '\r' <"$work/updates.log" >"$kernel_out/checks.log"
  # The driver Wine installed must be the one meant for this prefix.
  installed_sys=$WINEPREFIX/drive_c/windows/system32/drivers/quillfw.sys
  if cmp -s "$installed_sys" "$want_sys"; then
    echo "PASS the prefix's drivers\\quillfw.sys is $want_sys" >>"$kernel_out/checks.log"
  else
    echo "FAIL the prefix's drivers\\quillfw.sys is not $want_sys" >>"$kernel_out/checks.log"
  fi
  grep -E '^(PASS|FAIL|note) ' "$kernel_out/checks.log" || true
  step "updates on Wine's kernel ran in $(($(date +%s) - t0)) s (exit $krc)"
  passed=$((passed + $(grep -c '^PASS ' "$kernel_out/checks.log" || true)))
  kfailed=$(grep -c '^FAIL ' "$kernel_out/checks.log" || true)
  failed=$((failed + kfailed))
  if [ "$krc" -eq 124 ]; then
    step "time limit of $time_limit s reached"
    failed=$((failed + 1))
  elif [ "$krc" -ne 0 ] && [ "$kfailed" -eq 0 ]; then
    step "quill-wine-update.exe ended with $krc: $(tail -3 "$kernel_out/checks.log")"
    failed=$((failed + 1))
  fi
  quillsim=${QUILLSIM:-$root/build/host/tools/quillsim/quillsim}
  # The flash after each update against the image quillsim builds from the
  # same file: updates 1 and 2 end with the whole image, 3 and 4 do not.
  if [ -x "$quillsim" ] && "$quillsim" image "$firmware" -o "$kernel_out/image.bin" >/dev/null; then
    image_sha=$(sha256sum <"$kernel_out/image.bin" | cut -d' ' -f1)
    step "image of the file (quillsim image): $(stat -c %s "$kernel_out/image.bin") bytes, SHA-256 $image_sha"
    for n in 1 2 3 4; do
      want=equals
      ((n <= 2)) || want="differs from"
      flash_sha=missing
      [ -f "$kernel_out/flash-$n.bin" ] && flash_sha=$(sha256sum <"$kernel_out/flash-$n.bin" | cut -d' ' -f1)
      got="differs from"
      [ "$flash_sha" = "$image_sha" ] && got=equals
      if [ "$got" = "$want" ]; then
        echo "PASS update $n: the flash (SHA-256 $flash_sha) $want the image"
        passed=$((passed + 1))
      else
        echo "FAIL update $n: the flash (SHA-256 $flash_sha) $got the image, want: $want"
        failed=$((failed + 1))
      fi
    done
  else
    step "no image from $quillsim image: the flash is not held against it"
    failed=$((failed + 1))
  fi
  # winsim held against Wine: the same machine, file and device as quillsim scenarios.
  compare_args=(--firmware "$firmware")
  for setting in "${device[@]}"; do
    case ${setting%%=*} in
      NeverReturn | LeaveAfterDownload) ;;  # the four updates set these per update
      *) compare_args+=(--device "$setting") ;;
    esac
  done
  if [ -x "$quillsim" ] && [ -x scripts/wine-compare.py ] && [ -f "$kernel_out/observed.txt" ]; then
    if scripts/wine-compare.py "$kernel_out" "$quillsim" "${compare_args[@]}" >"$kernel_out/compare.log" 2>&1; then
      passed=$((passed + 1))
    else
      failed=$((failed + 1))
    fi
    sed 's/^/wine-compare: /' "$kernel_out/compare.log"
  else
    step "no quillsim at $quillsim (host build): winsim-against-Wine comparison skipped"
  fi
else
  step "no quill-wine-update.exe, quillbus.sys under $build or quillfw.sys in $driver_dir: updates on Wine's kernel skipped"
  failed=$((failed + 1))
fi

mkdir -p "$root/docs/images"
for png in "$shots"/*.png; do
  [ -e "$png" ] && cp "$png" "$root/docs/images/"
done

step "total $(($(date +%s) - started)) s"
echo "wine: $passed passed, $failed failed"
((failed == 0))
