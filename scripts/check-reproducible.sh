#!/usr/bin/env bash
# Checks that the release package is reproducible: the same sources packaged
# in two different folders give the same bytes, file for file and zip for zip.
#
#   scripts/check-reproducible.sh [PACKAGE-DIR]
#
# Copies this tree's sources (the files git tracks or would track, as they
# are in the working tree) into a temporary folder of another name and depth
# and runs scripts/package.sh there; compares the result with PACKAGE-DIR
# (a package this tree made, e.g. dist/quill-VERSION-windows with its zip
# beside it). Without PACKAGE-DIR it packages two such copies and compares
# them. Slow (a clean build per copy): scripts/test.sh runs it in its win32
# stage. Prints each file's verdict and exits non-zero on any difference.
set -euo pipefail
cd "$(dirname "$0")/.."
reference=${1:-}
# The copies are clean builds, whatever the caller's package.sh would reuse.
unset QUILL_PACKAGE_WIN32

work=$(mktemp -d /tmp/quill-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT

# copy_sources DEST: the working tree's tracked and new (not ignored) files.
copy_sources() {
  mkdir -p "$1"
  git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf - | tar -xf - -C "$1"
}

# package_copy DEST: packages a copy in DEST and prints its package folder.
package_copy() {
  copy_sources "$1"
  (cd "$1" && scripts/package.sh dist >"$work/$(basename "$1").log" 2>&1) ||
    { echo "check-reproducible: packaging in $1 failed:" >&2; tail -5 "$work/$(basename "$1").log" >&2; exit 1; }
  find "$1/dist" -mindepth 1 -maxdepth 1 -type d -print -quit
}

start=$SECONDS
if [ -n "$reference" ]; then
  [ -f "$reference/SHA256SUMS" ] || { echo "check-reproducible: $reference is no package" >&2; exit 1; }
  first=$(cd "$reference" && pwd)
else
  first=$(package_copy "$work/first/quill")
fi
second=$(package_copy "$work/second/elsewhere/sources")
echo "check-reproducible: packaged in $first and $second ($((SECONDS - start)) s)"

differ=0
while read -r _ file; do
  if cmp -s "$first/$file" "$second/$file"; then
    echo "check-reproducible: same      $file"
  else
    echo "check-reproducible: DIFFERENT $file"
    differ=1
  fi
done <"$first/SHA256SUMS"
for file in SHA256SUMS ../"$(basename "$first")".zip; do
  if cmp -s "$first/$file" "$second/$file"; then
    echo "check-reproducible: same      $(basename "$file")"
  else
    echo "check-reproducible: DIFFERENT $(basename "$file")"
    differ=1
  fi
done
if ((differ)); then
  echo "check-reproducible: the two packages differ" >&2
  exit 1
fi
echo "check-reproducible: identical: $(cd "$second/.." && sha256sum "$(basename "$second").zip")"
