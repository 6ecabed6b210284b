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

# quillprog's resources, compiled by windres: every resource the program
# loads must be in the object that quillprog.exe will embed.
res=$(find "$dir/app/res" -name 'quillprog.rc.*' -path '*quillprog_resources*' | head -n 1)
[ -n "$res" ] || { echo "check-win32: compiled quillprog.rc missing" >&2; exit 1; }
$objdump -h "$res" | grep -q '\.rsrc' \
  || { echo "check-win32: $res has no .rsrc section" >&2; exit 1; }
listing=$(i686-w64-mingw32-windres -J coff -O rc -i "$res")
for expected in '^136 "AVI"' '^100 DIALOG ' '^102 DIALOGEX ' '^128 14 ' '^1 3 ' '^STRINGTABLE' \
  '^1 VERSIONINFO' '^  101, "&About Q417 Firmware Programmer\.\.\."'; do
  grep -q "$expected" <<<"$listing" \
    || { echo "check-win32: resource $expected missing from $res" >&2; exit 1; }
done
echo "check-win32: resources ok"
