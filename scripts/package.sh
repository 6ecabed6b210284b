#!/usr/bin/env bash
# Makes the release package from a clean build:
#
#   OUT/quill-VERSION-windows/      quillprog.exe, quillfw.inf, quillfw.sys
#                                   (32-bit), amd64/quillfw.sys (64-bit),
#                                   INSTALL.txt, SHA256SUMS
#   OUT/quill-VERSION-windows.zip   the same folder
#
#   scripts/package.sh [OUT]        (default dist)
#
# VERSION names the release. The builds are new each time, in
# build/package/win32 and build/package/win64 (QUILL_PACKAGE_BUILD sets
# another place). The same commit gives the same bytes in any folder: the
# binaries carry no time stamps and no paths, the text files are converted
# to CR LF, and the zip holds the files in name order with the release date
# as their time (docs/windows.md, "The release package"). At the end
# scripts/check-package.sh checks the folder.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
builds=${QUILL_PACKAGE_BUILD:-build/package}

fail() { echo "package: $*" >&2; exit 1; }

version=$(sed -n 's/^version = //p' VERSION)
date=$(sed -n 's/^date = //p' VERSION)
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "VERSION: no 'version = MAJOR.MINOR.PATCH'"
[[ $date =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}$ ]] || fail "VERSION: no 'date = YYYY-MM-DD'"
name=quill-$version-windows
start=$SECONDS

# --- Clean builds: the program and the 32-bit driver, then the 64-bit driver --
# QUILL_PACKAGE_WIN32=DIR builds the 32-bit part in DIR, an existing build of
# the win32 preset (the same toolchain, generator and build type, so the same
# bytes in any folder), instead of a clean one: scripts/test.sh's package
# stage takes its win32 stage's build/win32, and check-reproducible.sh's clean
# build in another folder must still give the same files.
declare -A dirs=([win32]=$builds/win32 [win64]=$builds/win64)
build() {  # build ARCH TOOLCHAIN TARGET...
  local arch=$1 toolchain=$2 dir=$builds/$1 log=$builds/$1
  shift 2
  if [ "$arch" = win32 ] && [ -n "${QUILL_PACKAGE_WIN32:-}" ]; then
    dir=$QUILL_PACKAGE_WIN32
    local cache=$dir/CMakeCache.txt
    grep -q "^CMAKE_TOOLCHAIN_FILE:.*[/]$toolchain\$" "$cache" 2>/dev/null &&
      grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$cache" &&
      grep -qx 'CMAKE_GENERATOR:INTERNAL=Ninja' "$cache" ||
      fail "$dir is no Release Ninja build with $toolchain (QUILL_PACKAGE_WIN32)"
    echo "package: the 32-bit part from the existing build $dir"
  else
    rm -rf "$dir"
    cmake -S . -B "$dir" -G Ninja --toolchain "$toolchain" -DCMAKE_BUILD_TYPE=Release \
      >"$log.configure.log" 2>&1 || fail "cannot configure $dir: $(tail -5 "$log.configure.log")"
  fi
  dirs[$arch]=$dir
  cmake --build "$dir" -j "$(nproc)" --target "$@" >"$log.build.log" 2>&1 ||
    fail "build in $dir failed: $(tail -5 "$log.build.log")"
}
mkdir -p "$builds"
build win32 cmake/i686-w64-mingw32.cmake quillprog quillfw
build win64 cmake/x86_64-w64-mingw32.cmake quillfw
echo "package: builds in $((SECONDS - start)) s"
cmp -s "${dirs[win32]}/driver/quillfw.inf" "${dirs[win64]}/driver/quillfw.inf" ||
  fail "the two builds wrote different quillfw.inf"

# --- The folder ----------------------------------------------------------------
folder=$out/$name
rm -rf "$folder" "$out/$name.zip"
mkdir -p "$folder/amd64"
crlf() { sed 's/\r*$/\r/' "$1" >"$2"; }
cp "${dirs[win32]}/app/quillprog.exe" "$folder/quillprog.exe"
cp "${dirs[win32]}/driver/quillfw.sys" "$folder/quillfw.sys"
cp "${dirs[win64]}/driver/quillfw.sys" "$folder/amd64/quillfw.sys"
crlf "${dirs[win32]}/driver/quillfw.inf" "$folder/quillfw.inf"
crlf docs/install.txt "$folder/INSTALL.txt"
(
  cd "$folder"
  find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort | xargs sha256sum >SHA256SUMS
)
# The release date as every file's time, and one mode, in the folder too.
find "$folder" -type f -exec chmod 0644 {} + -exec touch -d "$date 00:00:00 UTC" {} +

# --- The zip: name order, one time, no host-dependent attributes -----------------
python3 - "$out" "$name" "$date" <<'EOF'
import os
import sys
import zipfile

out, name, date = sys.argv[1:]
folder = os.path.join(out, name)
year, month, day = (int(part) for part in date.split("-"))
files = sorted(
    os.path.relpath(os.path.join(parent, file), folder).replace(os.sep, "/")
    for parent, _, names in os.walk(folder)
    for file in names
)
partial = os.path.join(out, name + ".zip.partial")
with zipfile.ZipFile(partial, "w") as archive:
    for relative in files:
        entry = zipfile.ZipInfo(f"{name}/{relative}", date_time=(year, month, day, 0, 0, 0))
        entry.create_system = 0  # MS-DOS: no Unix mode bits
        entry.external_attr = 0
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(os.path.join(folder, relative), "rb") as source:
            archive.writestr(entry, source.read(), compresslevel=9)
os.replace(partial, os.path.join(out, name + ".zip"))
EOF
touch -d "$date 00:00:00 UTC" "$out/$name.zip"

scripts/check-package.sh "$folder"
echo "package: $out/$name.zip in $((SECONDS - start)) s"
(cd "$out" && sha256sum "$name.zip")
