#!/usr/bin/env bash
# Writes tools/quillsim/image_order.txt: every function a `quillsim image`
# process runs (the C library's start and exit included), in the order they
# first run, for the linker to place side by side at the start of the text
# (lld's --symbol-ordering-file). The image command then touches a few dozen
# pages of the 5 MB executable instead of pages all over it: each page it
# touches first is a page fault. A stale list costs only speed: names no
# longer in the executable are skipped, new functions land where the linker
# puts them anyway.
#
#   scripts/image-order.sh        # builds the bench preset's quillsim, runs it under callgrind
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "image-order: valgrind is missing" >&2; exit 2; }

cmake --preset bench >/dev/null
cmake --build --preset bench --target quillsim make_bench_files >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/bench/bench/make_bench_files "$work" >/dev/null
printf ':0100000041BF\r\n:00000001FF\r\n' >"$work/refused.hex"

# A build with an image file, a refused file, a file that cannot be opened.
runs=(
  "image $work/largest-shuffled.hex --output $work/image.bin"
  "image $work/refused.hex"
  "image $work/absent.hex"
)
for i in "${!runs[@]}"; do
  # shellcheck disable=SC2086 # the arguments are split on purpose
  valgrind --tool=callgrind --demangle=no --callgrind-out-file="$work/run$i.out" \
    build/bench/tools/quillsim/quillsim ${runs[$i]} >/dev/null 2>&1 || true
done
# Function names as callgrind first names them ("fn=(id) name"), without its
# recursion marks ('2) and the entries it cannot name.
cat "$work"/run*.out |
  sed -n -E "s/^c?fn=\([0-9]+\) (.*)$/\1/p" |
  sed -E "s/'[0-9]+$//" |
  grep -v -E '^(0x[0-9a-f]+|\(below main\))$' |
  awk '!seen[$0]++' >tools/quillsim/image_order.txt
echo "image-order: $(wc -l <tools/quillsim/image_order.txt) functions in tools/quillsim/image_order.txt"
