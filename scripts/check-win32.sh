#!/usr/bin/env bash
# Checks on the 32-bit Windows artefacts: what they are and what they import.
set -euo pipefail
dir=${1:-build/win32}
objdump=i686-w64-mingw32-objdump

for lib in app/image/libquill_image.a app/usb/libquill_usb_rules.a app/usb/libquill_usb.a \
           app/ui/libquill_ui.a; do
  lib="$dir/$lib"
  [ -f "$lib" ] || { echo "check-win32: $lib missing" >&2; exit 1; }
  $objdump -f "$lib" | grep -q 'file format pe-i386' \
    || { echo "check-win32: $lib is not 32-bit Windows code" >&2; exit 1; }
done
echo "check-win32: ok"
