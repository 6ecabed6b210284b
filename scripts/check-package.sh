#!/usr/bin/env bash
# Checks a release package folder (scripts/package.sh makes it):
# - the PE checks of scripts/check-win32.sh on quillprog.exe and both
#   quillfw.sys;
# - exactly the files the package ships;
# - one version everywhere: the version resources of quillprog.exe (file
#   version) and of both quillfw.sys, quillfw.inf's DriverVer and the
#   folder's name all say VERSION's;
# - the text files have CR LF line ends;
# - no path of this tree in the binaries;
# - SHA256SUMS names every other file once, and every sum holds.
#
#   scripts/check-package.sh DIR
set -euo pipefail
folder=${1:?usage: check-package.sh DIR}
[ -d "$folder" ] || { echo "check-package: $folder: no such folder" >&2; exit 1; }
folder=$(cd "$folder" && pwd)
cd "$(dirname "$0")/.."
root=$PWD

fail() { echo "check-package: $*" >&2; exit 1; }

scripts/check-win32.sh --package "$folder" >/dev/null

version=$(sed -n 's/^version = //p' VERSION)
date=$(sed -n 's/^date = //p' VERSION)
[ "$(basename "$folder")" = "quill-$version-windows" ] ||
  fail "$folder is not named after VERSION's $version"

expected="INSTALL.txt SHA256SUMS amd64/quillfw.sys quillfw.inf quillfw.sys quillprog.exe "
files=$(cd "$folder" && find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$files" = "$expected" ] || fail "$folder holds: $files (expected: $expected)"

# FILEVERSION major.minor.patch.0, as windres lists a PE image's resources.
file_version="${version//./, }, 0"
for binary in quillprog.exe quillfw.sys amd64/quillfw.sys; do
  resources=$(x86_64-w64-mingw32-windres -J coff -O rc -i "$folder/$binary") ||
    fail "$binary: cannot read its resources"
  grep -qx " FILEVERSION $file_version" <<<"$resources" ||
    fail "$binary: $(grep ' FILEVERSION' <<<"$resources" || echo 'no FILEVERSION'), VERSION says $version"
  grep -qxF "      VALUE \"FileVersion\", \"$file_version\"" <<<"$resources" ||
    fail "$binary: its FileVersion string is not \"$file_version\""
done

IFS=- read -r year month day <<<"$date"
driver_ver=$(tr -d '\r' <"$folder/quillfw.inf" | sed -n 's/^DriverVer *= *//p')
[ "$driver_ver" = "$month/$day/$year,$version.0" ] ||
  fail "quillfw.inf: DriverVer '$driver_ver', VERSION says $month/$day/$year,$version.0"

for text in quillfw.inf INSTALL.txt; do
  # Every line ends with CR LF, the last one too.
  lines=$(wc -l <"$folder/$text")
  crlf_lines=$(grep -c $'\r$' "$folder/$text" || true)
  ((lines > 0 && lines == crlf_lines)) && [ "$(tail -c 1 "$folder/$text" | od -An -tx1)" = " 0a" ] ||
    fail "$text: $crlf_lines of $lines lines end with CR LF"
done

for binary in quillprog.exe quillfw.sys amd64/quillfw.sys; do
  if strings -a "$folder/$binary" | grep -qF "$root"; then
    fail "$binary names this tree's path $root"
  fi
done

listed=$(awk '{print $2}' "$folder/SHA256SUMS" | tr '\n' ' ')
[ "$listed" = "${expected/SHA256SUMS /}" ] || fail "SHA256SUMS lists: $listed"
(cd "$folder" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold"

echo "check-package: $folder ok (version $version, $date)"
