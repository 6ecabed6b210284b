#!/usr/bin/env bash
# Checks on the 32-bit Windows artefacts: what they are and what they import.
set -euo pipefail
dir=${1:-build/win32}
objdump=i686-w64-mingw32-objdump

lib="$dir/app/image/libquill_image.a"
[ -f "$lib" ] || { echo "check-win32: $lib missing" >&2; exit 1; }
$objdump -f "$lib" | grep -q 'file format pe-i386' \
  || { echo "check-win32: $lib is not 32-bit Windows code" >&2; exit 1; }
echo "check-win32: ok"
