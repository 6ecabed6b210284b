# Sourced by test.sh and sanitizers.sh: the debug information the host
# builds carry, and the clock and CPU readings both scripts print.
# shellcheck shell=bash

# QUILL_DEBUG_INFO: full (-g, the default) or lines (-g1, line tables only:
# sanitizer reports still name file and line, and the builds are quicker).
case ${QUILL_DEBUG_INFO:-full} in
  full) debug_info=-g ;;
  lines) debug_info=-g1 ;;
  *) echo "${0##*/}: QUILL_DEBUG_INFO is full or lines, not '$QUILL_DEBUG_INFO'" >&2; exit 2 ;;
esac

load() { cut -d' ' -f1-3 /proc/loadavg; }
ticks=$(getconf CLK_TCK)
# cpu=the user + system time, in clock ticks, of this shell's finished
# children and everything they waited for (a function, not $(...): a
# command substitution's own shell has no children).
children_cpu() {
  local fields
  read -ra fields </proc/$BASHPID/stat
  cpu=$((fields[15] + fields[16]))
}
seconds() { echo $(($1 / ticks)).$(($1 % ticks * 10 / ticks)); }
# timed COMMAND...: runs the command; took=its wall-clock seconds and
# cpu=its CPU in clock ticks; returns the command's status.
timed() {
  local began=$SECONDS before rc=0
  children_cpu
  before=$cpu
  "$@" || rc=$?
  children_cpu
  cpu=$((cpu - before))
  took=$((SECONDS - began))
  return $rc
}
