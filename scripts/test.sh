#!/usr/bin/env bash
# Every test: the host suite (g++), the same suite built with clang-14, the
# 32-bit Windows build of the product and its run under Wine. With
# QUILL_SANITIZERS=1, also the host suite under the sanitizers (host-asan
# also runs the fuzz regressions; docs/reliability.md).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)

echo "== host (g++)"
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
ctest --preset host -j "$jobs"

echo "== host-clang (clang-14)"
cmake --preset host-clang >/dev/null
cmake --build --preset host-clang -j "$jobs"
ctest --preset host-clang -j "$jobs"

echo "== win32 (i686-w64-mingw32)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
scripts/check-win32.sh build/win32

# The built program under Wine (installed on this kind of machine by
# wine-setup.sh); see docs/windows.md.
if [ -n "$(find build/win32/app -name quillprog.exe -print -quit 2>/dev/null)" ]; then
  echo "== wine"
  scripts/wine-setup.sh
  scripts/wine-test.sh build/win32
fi

if [ "${QUILL_SANITIZERS:-0}" = 1 ]; then
  echo "== host-asan (clang-14, AddressSanitizer + UBSan, fuzz regressions)"
  cmake --preset host-asan >/dev/null
  cmake --build --preset host-asan -j "$jobs"
  ctest --preset host-asan -j "$jobs"

  echo "== host-tsan (clang-14, ThreadSanitizer)"
  cmake --preset host-tsan >/dev/null
  cmake --build --preset host-tsan -j "$jobs"
  ctest --preset host-tsan -j "$jobs"
fi
