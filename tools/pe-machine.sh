#!/bin/sh
# Prints the PE/COFF Machine field of FILE as its two bytes stand, in hex
# (4c01 for 32-bit x86, 6486 for x86-64): the 16 bits at e_lfanew + 4,
# e_lfanew being the 32-bit little-endian value at offset 0x3C.
#   pe-machine.sh FILE
offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
od -An -tx1 -j$((${offset:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' '
