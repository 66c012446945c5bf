#!/bin/sh
# Fails when the machine code under the given build directories holds a
# fused multiply-add: x86 vfmadd/vfmsub/vfnmadd/vfnmsub and their variants,
# aarch64 fmla/fmls (vector) and fmadd/fmsub/fnmadd/fnmsub (scalar).
# Results are specified with every product and sum rounded on its own.
# Usage: check-no-fma.sh OBJDUMP DIRECTORY...
set -eu
objdump=$1
shift
fused='[[:space:]](vfn?m(add|sub)[a-z0-9]*|fn?madd|fn?msub|fml[as][a-z0-9]*)[[:space:]]'
files=$(find "$@" -type f \( -name '*.o' -o -name '*.so' \) | sort)
[ -n "$files" ] || { echo "error: no object files under $*" >&2; exit 1; }
status=0
for file in $files; do
    code=$("$objdump" -d --no-show-raw-insn "$file")
    found=$(printf '%s\n' "$code" | grep -cE "$fused" || true)
    if [ "$found" != 0 ]; then
        echo "error: $file holds $found fused multiply-add instructions" >&2
        status=1
    fi
done
[ $status = 0 ] && echo "no fused multiply-add in $(echo "$files" | wc -l) object files"
exit $status
