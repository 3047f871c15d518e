#!/bin/sh
# The layering check's control: with each program's layers in the opposite
# order, the product's own includes must break the table, in both programs.
# Usage: control.sh LAYERING_CHECK TABLE SOURCE_ROOT WORK_DIR
set -u
check=$1 table=$2 root=$3 work=$4
mkdir -p "$work"
upside_down=$work/layers_upside_down.txt
awk 'function flush() { while (n > 0) print rows[--n] }
     /^program / { flush(); print; next }
     /^[[:space:]]*(#|$)/ { next }
     { rows[n++] = $0 }
     END { flush() }' "$table" >"$upside_down"
if out=$("$check" "$upside_down" "$root" 2>&1); then
  echo "the check passed the upside-down table:"
  cat "$upside_down"
  exit 1
fi
status=0
for fault in ': app includes actions/' ': server/win includes server/core/'; do
  if ! printf '%s\n' "$out" | grep -q "$fault"; then
    echo "no fault \"$fault\" found with the upside-down table"
    status=1
  fi
done
[ $status -eq 0 ] || printf '%s\n' "$out"
exit $status
