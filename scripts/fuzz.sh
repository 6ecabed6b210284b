#!/usr/bin/env bash
# A longer run of one fuzz target:  scripts/fuzz.sh TARGET [SECONDS]
#
# TARGET is flash_file, resource_file, avi_clip, ... (fuzz/CMakeLists.txt);
# SECONDS defaults to 600. Builds the target (preset fuzz: host-asan at -O1) and fuzzes it
# from its committed seeds and regression inputs plus the corpus grown by
# earlier runs, kept in build/fuzz/TARGET. Stops at the first finding and
# leaves the input in build/fuzz/TARGET-findings/ (then: fix the fault and
# commit the input to fuzz/regressions/TARGET/ under a telling name).
# Extra arguments after SECONDS go to libFuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

target=${1:?usage: scripts/fuzz.sh TARGET [SECONDS] [libFuzzer options...]}
seconds=${2:-600}
shift $(($# < 2 ? $# : 2))

# QUILL_FUZZ_PREBUILT=1: the caller has just built the target.
if [ -z "${QUILL_FUZZ_PREBUILT:-}" ]; then
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j2 --target "${target}_fuzz" >/dev/null
fi

description=build/fuzz/fuzz/$target.target
[ -f "$description" ] || { echo "fuzz.sh: no fuzz target '$target'" >&2; exit 2; }
# shellcheck source=/dev/null
source "$description"  # FUZZER, DICTIONARY, INPUTS, COVERS

grown=build/fuzz/$target
findings=build/fuzz/$target-findings
seeds=build/fuzz/$target-seeds
mkdir -p "$grown" "$findings"
rm -rf "$seeds" && mkdir -p "$seeds"
for input in "${INPUTS[@]}"; do
  if [ -d "$input" ]; then
    find "$input" -maxdepth 1 -type f ! -name 'README*' ! -name '.keep' -exec cp {} "$seeds"/ \;
  elif [ -f "$input" ]; then
    cp "$input" "$seeds"/
  fi
done

options=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
         -artifact_prefix="$findings/")
[ -n "$DICTIONARY" ] && options+=(-dict="$DICTIONARY")
exec "$FUZZER" "${options[@]}" "$@" "$grown" "$seeds"
