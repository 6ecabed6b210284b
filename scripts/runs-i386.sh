#!/usr/bin/env bash
# Exits 0 when this machine executes 32-bit x86 Linux programs (what Wine's
# 32-bit half needs), 1 when it does not. Builds and runs a program of two
# instructions with binutils (as --32, ld -m elf_i386).
#
# QUILL_NO_I386=1 answers 1 without trying: what a machine that runs 64-bit
# code only would answer, to take its path (wine-setup.sh, wine-test.sh) here.
set -uo pipefail
[ "${QUILL_NO_I386:-0}" = 1 ] && exit 1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
printf '.globl _start\n_start:\n  movl $1, %%eax\n  xorl %%ebx, %%ebx\n  int $0x80\n' >"$dir/exit.s"
as --32 -o "$dir/exit.o" "$dir/exit.s" 2>/dev/null && ld -m elf_i386 -o "$dir/exit" "$dir/exit.o" 2>/dev/null || exit 1
"$dir/exit" 2>/dev/null || exit 1
