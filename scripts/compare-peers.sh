#!/usr/bin/env bash
# Peer comparison: `quillsim image` (bench preset, Release) against
# `objcopy -I ihex -O binary` and `srec_cat FILE -Intel -o OUT -Binary` on the
# benchmark files (bench/bench_inputs.h): wall time side by side with
# hyperfine, peak memory with /usr/bin/time, instruction counts with
# callgrind when valgrind is installed, and every output compared byte for
# byte with the expected image.
#
# Fails when an output differs, and when the budget does not hold: on the
# shuffled largest file quillsim is at least as fast as both peers (median
# wall time) and uses less peak memory.
#
#   scripts/compare-peers.sh            # 30 timed runs per command
#   RUNS=100 scripts/compare-peers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-30}
memory_runs=5

missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
command -v srec_cat >/dev/null || missing+=(srecord)
command -v objcopy >/dev/null || missing+=(binutils)
[ -x /usr/bin/time ] || missing+=(time)
if ((${#missing[@]})); then
  echo "compare-peers: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "compare-peers: run as root (or install the packages above by hand)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
scripts/setup.sh

cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 >/dev/null
quillsim=$PWD/build/bench/tools/quillsim/quillsim

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build/bench/bench/make_bench_files "$work" >/dev/null

# The three commands for one input; each writes $work/<tool>.bin.
commands_for() {
  local input=$work/$1.hex
  printf '%s\n' \
    "quillsim|$quillsim image $input --output $work/quillsim.bin" \
    "objcopy|objcopy -I ihex -O binary $input $work/objcopy.bin" \
    "srec_cat|srec_cat $input -Intel -o $work/srec_cat.bin -Binary"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

failed=0
echo "# quillsim image vs objcopy vs srec_cat ($(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg))"
for name in largest-shuffled largest-in-order image-64k-sparse; do
  echo
  echo "## $name ($(stat -c %s "$work/$name.hex") bytes of Intel HEX, $(stat -c %s "$work/$name.bin") image bytes)"
  hyperfine_args=()
  while IFS='|' read -r tool command; do
    rm -f "$work/$tool.bin"
    # The peers warn about records out of address order; the warning is not a failure.
    if ! $command </dev/null >/dev/null 2>"$work/$tool.err"; then
      echo "$tool: FAILED on $name:" >&2
      cat "$work/$tool.err" >&2
      failed=1
    elif cmp -s "$work/$name.bin" "$work/$tool.bin"; then
      echo "$tool: output identical to the expected image"
    else
      echo "$tool: OUTPUT DIFFERS from the expected image" >&2
      failed=1
    fi
    hyperfine_args+=(-n "$tool" "$command")
  done < <(commands_for "$name")

  hyperfine -N --style basic --warmup 3 --runs "$runs" \
    --export-csv "$work/$name.csv" "${hyperfine_args[@]}" >"$work/$name.hyperfine" 2>&1 ||
    { cat "$work/$name.hyperfine" >&2; exit 1; }

  echo
  echo "| command | median ms | min ms | mean ms | user+sys ms | peak KB (median of $memory_runs) | instructions |"
  echo "|---|---|---|---|---|---|---|"
  while IFS='|' read -r tool command; do
    # CSV: command,mean,stddev,median,user,system,min,max (seconds)
    read -r mean median_s user system min_s < <(awk -F, -v t="$tool" \
      '$1 == t { print $2, $4, $5, $6, $7 }' "$work/$name.csv")
    peak=$(for _ in $(seq "$memory_runs"); do
      /usr/bin/time -f %M -o "$work/time.out" $command </dev/null >/dev/null 2>&1
      tail -n 1 "$work/time.out"
    done | median)
    instructions=n/a
    if command -v valgrind >/dev/null; then
      instructions=$(valgrind --tool=callgrind --callgrind-out-file=/dev/null $command </dev/null 2>&1 >/dev/null |
        awk '/Collected/ { print $NF }')
    fi
    awk -v t="$tool" -v mean="$mean" -v med="$median_s" -v u="$user" -v s="$system" -v mn="$min_s" \
      -v peak="$peak" -v ir="$instructions" 'BEGIN {
        printf "| %s | %.2f | %.2f | %.2f | %.2f | %d | %s |\n", t, med * 1e3, mn * 1e3, mean * 1e3, (u + s) * 1e3, peak, ir }'
    echo "$tool $median_s $peak" >>"$work/$name.summary"
  done < <(commands_for "$name")
done

echo
summary=$work/largest-shuffled.summary
read -r _ ours_time ours_peak < <(grep '^quillsim ' "$summary")
for peer in objcopy srec_cat; do
  read -r _ peer_time peer_peak < <(grep "^$peer " "$summary")
  if awk -v a="$ours_time" -v b="$peer_time" 'BEGIN { exit !(a <= b) }'; then
    verdict=holds
  else
    verdict=FAILS
    failed=1
  fi
  printf 'budget: quillsim at least as fast as %s on largest-shuffled (median %.2f ms vs %.2f ms): %s\n' \
    "$peer" "$(awk -v v="$ours_time" 'BEGIN { print v * 1e3 }')" \
    "$(awk -v v="$peer_time" 'BEGIN { print v * 1e3 }')" "$verdict"
  if ((ours_peak < peer_peak)); then verdict=holds; else verdict=FAILS; failed=1; fi
  echo "budget: quillsim uses less peak memory than $peer on largest-shuffled ($ours_peak KB vs $peer_peak KB): $verdict"
done
exit $failed
