#!/usr/bin/env bash
# Can this machine start 32-bit x86 programs? Some x86-64 kernels refuse them
# (booted without ia32 emulation); the 32-bit half of Wine then cannot start.
#
#   cmake/ia32-probe.sh      exit 0 if it can; else exit 1 and print why
#
# The probe is a 93-byte 32-bit Linux program that only exits with status 0:
# an ELF header, one loadable segment and "mov eax,1; xor ebx,ebx; int 0x80".
set -u

dir=$(mktemp -d "${TMPDIR:-/tmp}/tarvik-ia32.XXXXXX") || { echo "cannot make a temporary directory"; exit 1; }
trap 'rm -rf "$dir"' EXIT
probe="$dir/exit0"
# ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054,
# program headers at byte 52, one of 32 bytes.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$probe"
printf '\000\000\000\000' >>"$probe"
# Program header: the whole file loaded read+execute at 0x08048000.
printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >>"$probe"
printf '\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000' >>"$probe"
# The code.
printf '\270\001\000\000\000\061\333\315\200' >>"$probe"
chmod +x "$probe"

if out=$("$probe" 2>&1); then
  exit 0
fi
status=$?
reason=$(printf '%s' "$out" | sed -n 's/.*: //p' | tail -n 1)
echo "this machine does not start 32-bit x86 programs (${reason:-exit status $status})"
exit 1
