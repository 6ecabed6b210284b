#!/usr/bin/env bash
# Every test: the host suite (g++), the 32-bit Windows build of the product
# and its run under Wine, then the host suite under the sanitizers, both built
# with clang-14: host-asan (AddressSanitizer + UBSan, and the fuzz
# regressions) and host-tsan (ThreadSanitizer); docs/reliability.md.
#
# The plain clang-14 build (host-clang) is left out: the two sanitizer builds
# compile every host source with the same compiler and warnings and run every
# test. QUILL_SANITIZERS=0 leaves the sanitizer runs out (a quicker local
# run) and runs host-clang in their place; QUILL_HOST_CLANG=1 runs it anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)

start=$SECONDS
# "== TITLE", with the time since the start and the load average.
section() {
  echo "== $1   [$(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s; load $(cut -d' ' -f1-3 /proc/loadavg)]"
}

section "host (g++)"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
scripts/check-layout.sh build/host
ctest --preset host -j "$jobs"

section "win32 (i686-w64-mingw32)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
scripts/check-win32.sh build/win32
# The release package from a clean build (checked by check-package.sh), made
# again in another folder: the two must be byte for byte the same.
scripts/package.sh
package=dist/quill-$(sed -n 's/^version = //p' VERSION)-windows
scripts/check-reproducible.sh "$package"

# The package under Wine (installed on this kind of machine by
# wine-setup.sh): its quillprog.exe, quillfw.inf and quillfw.sys; see
# docs/windows.md.
if [ -f "$package/quillprog.exe" ]; then
  section "wine"
  scripts/wine-setup.sh
  QUILL_PACKAGE=$package scripts/wine-test.sh build/win32
fi

sanitizers=${QUILL_SANITIZERS:-1}
if [ "$sanitizers" = 0 ] || [ "${QUILL_HOST_CLANG:-0}" = 1 ]; then
  section "host-clang (clang-14)"
  cmake --preset host-clang >/dev/null
  cmake --build --preset host-clang -j "$jobs"
  ctest --preset host-clang -j "$jobs"
fi

if [ "$sanitizers" != 0 ]; then
  section "sanitizers"
  JOBS=$jobs scripts/sanitizers.sh asan tsan
fi

echo "test.sh: all passed in $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s (load $(cut -d' ' -f1-3 /proc/loadavg))"
