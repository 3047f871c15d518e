#!/bin/sh
# Compares a program's list of Windows calls with the Windows functions its
# code imports, and fails, saying what to change, where they differ:
# - the seam's forwarding imports exactly the list's seam calls;
# - the rest of the program's code imports only the list's bypasses, and
#   each bypass is imported;
# - each row's DLL exports its function (a delay-loaded one is taken from
#   the import library of the DLL its row names).
# A Windows function is one that the import library of a DLL the program
# uses exports: a DLL the list names or the program imports eagerly, but the
# C runtime (msvcrt), which the code reaches through the C++ library.
#
# Usage: check_windows_calls.sh NM OBJDUMP COMPILER ROWS PROGRAM SEAM [CODE...]
#   ROWS     the list's rows as "call|bypass dll name" lines, and an
#            "around dll name" line for each seam call that the code may
#            still make straight to Windows (and must: see AROUND_SEAM in
#            cmake/WindowsCalls.cmake)
#   PROGRAM  the linked program
#   SEAM     the library of the seam's forwarding
#   CODE     the program's other objects and libraries
set -eu
export LC_ALL=C  # one collation for sort, comm and join
nm=$1 objdump=$2 compiler=$3 rows=$4 program=$5 seam=$6
shift 6

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() {
  echo "$program: $*" >&2
  status=1
}
for file in "$rows" "$program" "$seam" "$@"; do
  if [ ! -f "$file" ]; then
    echo "check_windows_calls.sh: no file $file" >&2
    exit 1
  fi
done

awk '$1 == "call" { print $3 }' "$rows" | sort >"$work/calls"
awk '$1 == "bypass" { print $3 }' "$rows" | sort >"$work/bypasses"
awk '$1 == "around" { print $3 }' "$rows" | sort >"$work/around"
for name in $(awk '$1 != "around" { print $3 }' "$rows" | sort | uniq -d); do
  fail "$name has more than one row in the list"
done

# The DLLs and what each exports, from its import library.
{
  awk '{ print $2 }' "$rows"
  "$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p'
} | tr '[:upper:]' '[:lower:]' | sed 's/\.dll$//' | sort -u |
  grep -v -e '^msvcrt' -e '^ucrtbase' -e '^api-ms-win-crt-' >"$work/dlls" || true
: >"$work/exports"
for dll in $(cat "$work/dlls"); do
  library=$("$compiler" -print-file-name="lib$dll.a")
  if [ ! -f "$library" ]; then
    fail "no import library for $dll.dll (lib$dll.a)"
    continue
  fi
  "$nm" -g --defined-only "$library" | awk 'NF == 3 { print $3 }' |
    sed 's/^__imp_//' | sort -u >"$work/exports.$dll"
  cat "$work/exports.$dll" >>"$work/exports"
done
sort -u -o "$work/exports" "$work/exports"

while read -r kind dll name; do
  if [ -f "$work/exports.$dll" ] && ! grep -qx "$name" "$work/exports.$dll"; then
    fail "the list puts $name in $dll.dll, which does not export it"
  fi
done <"$rows"

# "symbol file" for every symbol the given objects leave undefined, and the
# symbols any of the program's code defines (those are not imports).
"$nm" -g --defined-only "$seam" "$@" | awk 'NF == 3 { print $3 }' |
  sort -u >"$work/defined"
undefined() {
  "$nm" -A -u "$@" |
    awk '{ file = $1; sub(/:$/, "", file); sub(/.*\//, "", file); print $NF, file }' |
    sort -u | join -v 1 - "$work/defined" | sed 's/^__imp_//' | sort -u
}
# The Windows functions among them: "name file" lines.
windows_imports() {
  undefined "$@" | join - "$work/exports"
}

windows_imports "$seam" >"$work/seam"
for name in $(cut -d' ' -f1 "$work/seam" | sort -u | comm -23 - "$work/calls"); do
  fail "the seam forwards $name, which the list has no WINDOWS_CALL row for"
done
for name in $(cut -d' ' -f1 "$work/seam" | sort -u | comm -13 - "$work/calls"); do
  fail "the list's WINDOWS_CALL $name is not forwarded by the seam"
done

if [ $# -gt 0 ]; then windows_imports "$@"; fi >"$work/code"
while read -r name file; do
  if grep -qx "$name" "$work/around"; then
    :
  elif grep -qx "$name" "$work/calls"; then
    fail "$file calls $name around the seam: call the seam's $name"
  elif ! grep -qx "$name" "$work/bypasses"; then
    fail "$file calls $name, which the list does not have: add a WINDOWS_CALL" \
      "row and call the seam's $name, or a WINDOWS_BYPASS row with the reason"
  fi
done <"$work/code"
for name in $(cut -d' ' -f1 "$work/code" | sort -u | comm -13 - "$work/bypasses"); do
  fail "nothing calls $name, the list's WINDOWS_BYPASS: remove its row"
done
for name in $(cut -d' ' -f1 "$work/code" | sort -u | comm -13 - "$work/around"); do
  fail "nothing calls $name around the seam any more: remove it from AROUND_SEAM"
done

exit $status
