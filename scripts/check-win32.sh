#!/usr/bin/env bash
# Checks on the 32-bit Windows artefacts: what they are and what they import.
set -euo pipefail
dir=${1:-build/win32}
objdump=i686-w64-mingw32-objdump

lib="$dir/app/image/libquill_image.a"
[ -f "$lib" ] || { echo "check-win32: $lib missing" >&2; exit 1; }
$objdump -f "$lib" | grep -q 'file format pe-i386' \
  || { echo "check-win32: $lib is not 32-bit Windows code" >&2; exit 1; }

# The program, once it links (it needs the other parts of quillprog): a GUI
# program that imports only system DLLs and the C runtime, with its resources.
exe="$dir/app/quillprog.exe"
if [ -f "$exe" ]; then
  headers=$($objdump -p "$exe")
  grep -q 'Subsystem.*(Windows GUI)' <<<"$headers" \
    || { echo "check-win32: $exe is not a GUI program" >&2; exit 1; }
  allowed=' kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll setupapi.dll cfgmgr32.dll msvcrt.dll '
  imports=$(awk '/DLL Name:/ { print tolower($3) }' <<<"$headers" | sort -u)
  echo "check-win32: quillprog.exe imports" $imports
  for dll in $imports; do
    [[ $allowed == *" $dll "* ]] || { echo "check-win32: unexpected import $dll" >&2; exit 1; }
  done
  # Resource directory entries as type/name: types and names by number, or
  # by their own name (the clip's type "AVI").
  resources=$(awk '
    function hex(text,  value, i) {
      value = 0; text = tolower(text); sub(/^0x/, "", text)
      for (i = 1; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
      return value
    }
    /The .rsrc Resource Directory section/ { inside = 1; next }
    /Resources start at offset/ { inside = 0 }
    inside && /^[0-9a-f]+ +Entry:/ {
      match($0, /^[0-9a-f]+ +/); depth = RLENGTH
      if ($0 ~ /Entry: ID:/) { id = $4; sub(/,$/, "", id); key = hex(id) }
      else { key = $0; sub(/.*\]: /, "", key); sub(/,.*/, "", key) }
      if (depth == 6) type = key
      else if (depth == 8) print type "/" key
    }' <<<"$headers" | sort -u)
  echo "check-win32: quillprog.exe resources" $resources
  # Dialogs 100 and 102, the string block of 101 (101 / 16 + 1), icon 128,
  # the clip 136 and the version resource.
  for expected in 5/100 5/102 6/7 14/128 AVI/136 16/1; do
    grep -qx "$expected" <<<"$resources" \
      || { echo "check-win32: quillprog.exe lacks resource $expected" >&2; exit 1; }
  done
fi
echo "check-win32: ok"
