#!/bin/sh
# The control of check_windows_calls.sh: run on the program as built, with
# the list's first seam call left out and a bypass that nothing calls added,
# the check must fail and name both.
# Usage: check_windows_calls_control.sh WORK_DIR NM OBJDUMP COMPILER ROWS ...
#        (the arguments of check_windows_calls.sh after WORK_DIR)
set -u
here=$(dirname "$0")
work=$1 rows=$5
mkdir -p "$work"
altered=$work/rows_altered.txt
dropped=$(awk '$1 == "call" { print $3; exit }' "$rows")
{
  awk -v name="$dropped" '!($1 == "call" && $3 == name)' "$rows"
  echo "bypass kernel32 Beep"
} >"$altered"
shift 1
nm=$1 objdump=$2 compiler=$3
shift 4
if out=$("$here/check_windows_calls.sh" "$nm" "$objdump" "$compiler" \
  "$altered" "$@" 2>&1); then
  echo "the check passed a list without $dropped and with a bypass of Beep"
  exit 1
fi
status=0
for fault in "forwards $dropped, which the list has no WINDOWS_CALL" \
  "nothing calls Beep"; do
  if ! printf '%s\n' "$out" | grep -q "$fault"; then
    echo "no fault \"$fault\" in the check's output"
    status=1
  fi
done
[ $status -eq 0 ] || printf '%s\n' "$out"
exit $status
