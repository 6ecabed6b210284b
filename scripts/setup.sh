#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
#
#   scripts/setup.sh [build|test]   (default: both)
#
# "build" is what configuring and building every preset needs; "test" is
# what only the tests run (tshark, Chromium and its driver, the Python
# modules of the checks). scripts/test.sh installs the build packages first
# and the test packages while the host build runs. Wine is
# scripts/wine-setup.sh's.
#
# QUILL_APT_UPDATED_AFTER=SECONDS (since the epoch; scripts/test.sh sets it
# to its start): package lists fetched since then, by an earlier install of
# the same run, are taken as they are instead of fetched again.
set -euo pipefail
cd "$(dirname "$0")/.."

build_packages=(
  cmake ninja-build g++ lld libgtest-dev libgmock-dev libbenchmark-dev
  # The win32 threading variant only (what cmake/*-w64-mingw32.cmake take):
  # g++-mingw-w64-i686 would bring the posix variant too, 55 MB more.
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  clang-14 libclang-rt-14-dev
  nlohmann-json3-dev libcli11-dev binutils python3
)
test_packages=(
  tshark
  chromium chromium-driver python3-selenium
  python3-jsonschema
)

case ${1:-all} in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "setup: unknown set '$1' (build, test or nothing for both)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: run as root (or install the packages above by hand)" >&2
    exit 1
  fi
  start=$SECONDS
  # Other apt users on the machine may hold the dpkg lock for a while.
  if ! scripts/apt-lists-fresh.sh; then apt-get -o DPkg::Lock::Timeout=900 update -qq; fi
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}" >/dev/null
  echo "setup: done in $((SECONDS - start)) s"
fi
