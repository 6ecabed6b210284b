#!/usr/bin/env bash
# Installs what the Wine run needs, when missing: the i386 architecture,
# Debian's wine with its 32-bit half (wine32:i386), Xvfb, and xwd/convert for
# screenshots. Idempotent; installing needs root.
set -euo pipefail

# Wine with its recommended libraries and fonts (the dialogs' fonts and
# rendering); the screenshot tools without theirs.
wine_packages=(wine wine32:i386)
tool_packages=(xvfb x11-apps imagemagick)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

need_arch=0
dpkg --print-foreign-architectures | grep -qx i386 || need_arch=1

missing_wine=() missing_tools=()
for p in "${wine_packages[@]}"; do installed "$p" || missing_wine+=("$p"); done
for p in "${tool_packages[@]}"; do installed "$p" || missing_tools+=("$p"); done
missing=("${missing_wine[@]}" "${missing_tools[@]}")

((need_arch || ${#missing[@]})) || exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "wine-setup: run as root (or install ${missing[*]} by hand)" >&2
  exit 1
fi

start=$SECONDS
# Other apt users on the machine hold the dpkg lock for minutes at a time.
apt=(apt-get -o DPkg::Lock::Timeout=900 -qq)
if ((need_arch)); then
  echo "wine-setup: adding the i386 architecture"
  dpkg --add-architecture i386
fi
echo "wine-setup: installing ${missing[*]}"
"${apt[@]}" update
export DEBIAN_FRONTEND=noninteractive
if ((${#missing_wine[@]})); then "${apt[@]}" install -y "${missing_wine[@]}" >/dev/null; fi
if ((${#missing_tools[@]})); then
  "${apt[@]}" install -y --no-install-recommends "${missing_tools[@]}" >/dev/null
fi
echo "wine-setup: done in $((SECONDS - start)) s"
