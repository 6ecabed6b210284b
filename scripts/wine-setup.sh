#!/usr/bin/env bash
# Installs what the Wine run (scripts/wine-test.sh) needs, when missing.
# Idempotent; installing needs root.
#
# On a machine that executes 32-bit x86 code: the i386 architecture and wine
# with its 32-bit half (wine32:i386) only, since wine-test.sh runs a 32-bit
# prefix with the 32-bit loader there (wine64 and its recommended libraries
# would add 152 MB of download); QUILL_WINE_64=1, which takes the 64-bit
# path anyway, adds wine64. On a machine that does not (some virtual
# machines run 64-bit code only, and Wine's 32-bit half then cannot start):
# wine64 alone and the 64-bit mingw-w64 compiler, for the 64-bit build of
# the same sources. Both: Xvfb, xwd and convert for screenshots, and
# python3 for scripts/wine-compare.py (winsim held against Wine).
set -euo pipefail
cd "$(dirname "$0")/.."

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need_arch=0
if scripts/runs-i386.sh; then
  wine_packages=(wine wine32:i386)
  [ "${QUILL_WINE_64:-0}" != 1 ] || wine_packages+=(wine64)
  dpkg --print-foreign-architectures | grep -qx i386 || need_arch=1
else
  echo "wine-setup: this machine does not execute 32-bit x86 code; preparing the 64-bit run"
  wine_packages=(wine wine64 g++-mingw-w64-x86-64-win32)
fi
# Wine with its recommended libraries and fonts; the screenshot tools without
# theirs.
tool_packages=(xvfb x11-apps imagemagick python3)

missing_wine=() missing_tools=()
for p in "${wine_packages[@]}"; do installed "$p" || missing_wine+=("$p"); done
for p in "${tool_packages[@]}"; do installed "$p" || missing_tools+=("$p"); done
missing=("${missing_wine[@]}" "${missing_tools[@]}")

((need_arch || ${#missing[@]})) || exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "wine-setup: run as root (or install ${missing[*]} by hand)" >&2
  exit 1
fi

start=$(date +%s)
# Other apt users on the machine may hold the dpkg lock for minutes.
apt=(apt-get -o DPkg::Lock::Timeout=900 -qq)
if ((need_arch)); then
  echo "wine-setup: adding the i386 architecture"
  dpkg --add-architecture i386
fi
echo "wine-setup: installing ${missing[*]}"
# A new architecture's lists are fetched in any case.
if ((need_arch)) || ! scripts/apt-lists-fresh.sh; then "${apt[@]}" update; fi
export DEBIAN_FRONTEND=noninteractive
if ((${#missing_wine[@]})); then "${apt[@]}" install -y "${missing_wine[@]}" >/dev/null; fi
if ((${#missing_tools[@]})); then
  "${apt[@]}" install -y --no-install-recommends "${missing_tools[@]}" >/dev/null
fi
echo "wine-setup: done in $(($(date +%s) - start)) s"
