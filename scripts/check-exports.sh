#!/bin/sh
# Checks, without running anything, that the i686 Corvane.dll and Basalt.dll
# export the entry points of the x86_64 ones, named as a 32-bit client built
# against the i686 SDK links to them:
#   scripts/check-exports.sh X86_64_BIN_FOLDER I686_BIN_FOLDER
# A 32-bit name may differ from its 64-bit twin only where the types do:
# integers of pointer size (64-bit y/x, 32-bit j/m or i/l) and function
# pointers, which are the platform's or the client's __stdcall callbacks on
# 32-bit (U7stdcall) and must be nothing else, or the caller would clean up
# the stack the callee already cleaned.
set -e
. "$(dirname "$0")/steps.sh"
need x86_64-w64-mingw32-objdump i686-w64-mingw32-objdump awk sort
wide="$1" narrow="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The export table's names, one a line, sorted.
names() {
  "$1-w64-mingw32-objdump" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort
}

status=0
for dll in Corvane.dll Basalt.dll; do
  names x86_64 "$wide/$dll" >"$work/wide"
  names i686 "$narrow/$dll" >"$work/narrow"
  if [ ! -s "$work/wide" ]; then
    echo "FAILED: $wide/$dll exports nothing" >&2; status=1; continue
  fi
  if grep -q 'PF' "$work/narrow"; then
    echo "FAILED: i686 $dll passes a function pointer without __stdcall:" >&2
    grep 'PF' "$work/narrow" | sed 's/^/  /' >&2; status=1
  fi
  # The 32-bit names with the stdcall mark taken out, paired with the 64-bit
  # names line by line: same length, and where they differ, pointer-size integers.
  sed 's/PU7stdcallF/PF/g' "$work/narrow" | sort >"$work/plain"
  if ! awk -v dll="$dll" '
    NR == FNR { wide[FNR] = $0; count = FNR; next }
    {
      n = FNR; a = wide[n]; b = $0
      if (a == b) next
      bad = length(a) != length(b)
      for (i = 1; !bad && i <= length(a); ++i) {
        x = substr(a, i, 1); y = substr(b, i, 1)
        if (x == y) continue
        if (!((x == "y" && (y == "j" || y == "m")) || (x == "x" && (y == "i" || y == "l")))) bad = 1
      }
      if (bad) { printf "FAILED: %s: x86_64 %s has no i686 twin (%s)\n", dll, a, b > "/dev/stderr"; failed = 1 }
    }
    END {
      if (FNR != count) { printf "FAILED: %s: %d x86_64 exports, %d i686\n", dll, count, FNR > "/dev/stderr"; failed = 1 }
      exit failed
    }' "$work/wide" "$work/plain"; then
    status=1
  fi
  echo "$dll: $(wc -l <"$work/wide") entry points on both architectures"
done
exit $status
