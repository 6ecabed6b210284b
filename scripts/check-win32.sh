#!/usr/bin/env bash
# Checks on the Windows artefacts: what they are and what they import.
#
#   scripts/check-win32.sh [BUILD-DIR]     the win32 build (default build/win32)
#   scripts/check-win32.sh --package DIR   a release package folder: the same
#       checks on its quillprog.exe and both quillfw.sys (the 32-bit one next
#       to quillfw.inf, the 64-bit one in amd64/); scripts/check-package.sh
#       runs this and checks the rest of the package.
set -euo pipefail
package=
if [ "${1:-}" = --package ]; then
  package=${2:?usage: check-win32.sh --package DIR}
else
  dir=${1:-build/win32}
fi
objdump=i686-w64-mingw32-objdump

fail() { echo "check-win32: $*" >&2; exit 1; }

if [ -z "$package" ]; then
  for lib in app/image/libquill_image.a app/usb/libquill_usb_rules.a app/usb/libquill_usb.a \
             app/ui/libquill_ui.a app/ui/libquill_dialog.a afx/libafx.a; do
    lib="$dir/$lib"
    [ -f "$lib" ] || fail "$lib missing"
    $objdump -f "$lib" | grep -q 'file format pe-i386' || fail "$lib is not 32-bit Windows code"
  done
fi

# Little-endian unsigned values read straight from the file.
u16() { od -An -v -t u2 -j "$2" -N 2 "$1" | tr -d ' '; }
u32() { od -An -v -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }

# --- quillfw.sys: a kernel-mode driver image, 32-bit (i386) or 64-bit (amd64) --
check_driver() {
local sys=$1 machine=$2 objdump nm format entry_symbol
if [ "$machine" = amd64 ]; then
  objdump=x86_64-w64-mingw32-objdump nm=x86_64-w64-mingw32-nm
  format=pei-x86-64 entry_symbol=DriverEntry
else
  objdump=i686-w64-mingw32-objdump nm=i686-w64-mingw32-nm
  format=pei-i386 entry_symbol=_DriverEntry@8
fi
[ -f "$sys" ] || fail "$sys missing"

$objdump -f "$sys" | grep -q "file format $format\$" || fail "$sys is not a $format image"
local headers
headers=$($objdump -p "$sys")
grep -Eq '^Subsystem[[:space:]]+00000001' <<<"$headers" || fail "$sys: subsystem is not native"
grep -q 'DLL$' <<<"$headers" && fail "$sys: carries the DLL flag"
grep -q 'WDM_DRIVER' <<<"$headers" || fail "$sys: not marked as a WDM driver"
grep -q 'relocations stripped' <<<"$headers" && fail "$sys: has no base relocations"
grep -q 'Base Relocation Directory \[.reloc\]' <<<"$headers" || fail "$sys: has no .reloc"

# Entry point: DriverEntry (on x86 stdcall, _DriverEntry@8).
local base entry driver_entry
base=$((16#$(awk '$1 == "ImageBase" {print $2}' <<<"$headers")))
entry=$((16#$(awk '$1 == "AddressOfEntryPoint" {print $2}' <<<"$headers")))
driver_entry=$($nm "$sys" | awk -v name="$entry_symbol" '$3 == name {print $1}')
[ -n "$driver_entry" ] || fail "$sys: no $entry_symbol"
((base + entry == 16#$driver_entry)) || fail "$sys: entry point is not DriverEntry"

# Sections: resident .text, pageable PAGE, and INIT, which must be
# discardable (IMAGE_SCN_MEM_DISCARDABLE) and hold DriverEntry.
local pe sections optional header name i
pe=$(u32 "$sys" 60)
sections=$(u16 "$sys" $((pe + 6)))
optional=$(u16 "$sys" $((pe + 20)))
local -A characteristics=() start=() size=()
for ((i = 0; i < sections; i++)); do
  header=$((pe + 24 + optional + 40 * i))
  name=$(dd if="$sys" bs=1 skip="$header" count=8 status=none | tr -d '\0')
  size[$name]=$(u32 "$sys" $((header + 8)))
  start[$name]=$(u32 "$sys" $((header + 12)))
  characteristics[$name]=$(u32 "$sys" $((header + 36)))
done
for name in .text PAGE INIT; do
  [ -n "${characteristics[$name]:-}" ] || fail "$sys: no $name section"
  ((characteristics[$name] & 0x20000000)) || fail "$sys: $name is not executable"
done
((characteristics[INIT] & 0x02000000)) || fail "$sys: INIT is not discardable"
((characteristics[PAGE] & 0x02000000)) && fail "$sys: PAGE is discardable"
((characteristics[.text] & 0x02000000)) && fail "$sys: .text is discardable"
((entry >= start[INIT] && entry < start[INIT] + size[INIT])) || fail "$sys: DriverEntry is not in INIT"

# Imports: ntoskrnl.exe, hal.dll and usbd.sys, nothing else (no C runtime).
# On x64 KeGetCurrentIrql is inline (it reads CR8): nothing from the HAL.
local dlls
dlls=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$headers" | sort -u | tr '\n' ' ')
if [ "$machine" = amd64 ]; then
  [ "$dlls" = "ntoskrnl.exe usbd.sys " ] || fail "$sys imports from: $dlls"
else
  [ "$dlls" = "hal.dll ntoskrnl.exe usbd.sys " ] || fail "$sys imports from: $dlls"
  # On x86 the IRQL comes from the HAL.
  awk '/DLL Name:/ {dll = tolower($3)} $NF == "KeGetCurrentIrql" {print dll}' <<<"$headers" \
    | grep -qx 'hal.dll' || fail "$sys: KeGetCurrentIrql is not imported from hal.dll"
fi

# The header checksum, which Windows checks for drivers loaded at boot (at
# the same place in the 32-bit and the 64-bit optional header).
local checksum_at stored computed
checksum_at=$((pe + 88))
stored=$(u32 "$sys" "$checksum_at")
computed=$(od -An -v -t u2 "$sys" | awk -v skip=$((checksum_at / 2)) -v len="$(stat -c %s "$sys")" '
  { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; s = (s % 65536) + int(s / 65536) } n++ } }
  END { s = (s % 65536) + int(s / 65536); print s + len }')
((stored == computed)) || fail "$sys: checksum $stored, computed $computed"
}

# The program: a GUI program that imports only system DLLs and the C
# runtime, with its resources.
check_program() {
  local exe=$1 headers allowed imports resources dll expected
  [ -f "$exe" ] || fail "$exe missing"
  $objdump -f "$exe" | grep -q 'file format pei-i386$' || fail "$exe is not a 32-bit PE image"
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
}

# Every import of quillfw.sys and quillprog.exe exported by every Windows
# family the design names (98, 98 SE, Me, 2000, XP), as
# winsim/kernel/os_exports.txt records with its sources: an image with one
# missing import does not load. A fact the table marks unconfirmed (?) passes
# only if docs/windows.md lists the import as unconfirmed.
check_family_imports() {
  local image=$1 root table row dll name i
  root=$(cd "$(dirname "$0")/.." && pwd)
  table="$root/winsim/kernel/os_exports.txt"
  [ -f "$table" ] || fail "$table missing"
  local families=("Windows 98" "Windows 98 SE" "Windows Me" "Windows 2000" "Windows XP")
  while read -r dll name; do
    row=$(awk -F'	' -v d="$dll" -v n="$name" '$1 == d && $2 == n' "$table")
    [ -n "$row" ] || fail "$(basename "$image") imports $dll!$name, which $table does not know"
    local facts
    IFS=$'	' read -r -a facts <<<"$row"
    for i in 0 1 2 3 4; do
      case "${facts[$((i + 2))]}" in
        y) ;;
        n) fail "$(basename "$image") imports $dll!$name, which ${families[$i]} does not export" ;;
        *) grep -qw -- "$name" "$root/docs/windows.md" \
             || fail "$(basename "$image"): $dll!$name on ${families[$i]} is unconfirmed and docs/windows.md does not list it" ;;
      esac
    done
  done < <($objdump -p "$image" | awk '/DLL Name:/ {dll = tolower($3)}
             /^	[0-9a-f]+	 +[0-9]+ +[A-Za-z_@]/ {print dll, $3}')
  echo "check-win32: every import of $(basename "$image") is on every family (or listed as unconfirmed)"
}

if [ -n "$package" ]; then
  check_driver "$package/quillfw.sys" i386
  check_driver "$package/amd64/quillfw.sys" amd64
  check_program "$package/quillprog.exe"
  check_family_imports "$package/quillfw.sys"
  check_family_imports "$package/quillprog.exe"
  echo "check-win32: package $package ok"
  exit 0
fi

check_driver "$dir/driver/quillfw.sys" i386
check_program "$dir/app/quillprog.exe"
check_family_imports "$dir/driver/quillfw.sys"
check_family_imports "$dir/app/quillprog.exe"
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
