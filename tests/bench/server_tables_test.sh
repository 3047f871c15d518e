#!/bin/sh
# The server benchmark's tables from samples whose figures are known: the
# best floor is the one with the best median (not the best single round),
# the server's own thread count is a column even when it is not among the
# usual ones, medians of an even number of rounds, ranges whatever the
# order of the rounds, goals met at their bounds, and the checks of the
# full table.   tests/bench/server_tables_test.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
samples=$(mktemp)
trap 'rm -f "$samples"' EXIT
{
  for r in "950 1 p99_us=300 lost=2" "900 2 p99_us=310" "880 3 p99_us=290"; do
    set -- $r
    echo "tessard udp getport 1 load=$2 rate=$1 p50_us=100 $3 ${4:-lost=0}"
    echo "rpcbind udp getport 1 load=$2 rate=1800 p50_us=50 p99_us=80"
  done
  for r in "990 400 800" "1000 2000 850" "1010 500 900"; do
    set -- $r
    echo "floor2 udp getport 1 load=2 rate=$1 p50_us=90 p99_us=200"
    echo "floor4 udp getport 1 load=2 rate=$2 p50_us=90 p99_us=200"
    echo "floor3 udp getport 1 load=2 rate=$3 p50_us=80 p99_us=100"
  done
  echo "service udp getport 1 load=2 rate=700 p50_us=120 p99_us=250"
  echo "callits udp getport 1 load=2 rate=950 p50_us=110 p99_us=310" \
    "callits=200 callit_replies=5"
  echo "tessard udp getport 8 load=1 rate=200 p50_us=9 p99_us=16"
  echo "tessard udp getport 8 load=1 rate=100 p50_us=9 p99_us=20"
  echo "floor2 udp getport 8 load=1 rate=300 p50_us=5 p99_us=10"
  echo "floor2 udp getport 8 load=1 rate=400 p50_us=5 p99_us=10"
  for who in "tessard 1000" "service 250" "rpcbind 500"; do
    set -- $who
    echo "$1 udp set 1 load=1 rate=$2 p50_us=99 p99_us=199 set_p50_us=50" \
      "set_p99_us=90 unset_p50_us=40 unset_p99_us=80"
  done
  echo "service fill - - entries=2048 added=2038 refused=0 beyond=refused"
  echo "service drain - - before=2048 entries=10 removed=1019 refused=0"
  echo "service drain - - before=2040 entries=10 removed=1015 refused=0"
  echo "service fill - - entries=2048 added=2038 refused=0 beyond=accepted"
} >"$samples"
out=$(awk -v threads="1 2 3 4" -v own=3 -v memory="tessard 1 2 3
" -f "$here/server_tables.awk" "$samples")

failed=0
expect() {
  if ! printf '%s\n' "$out" | grep -qxF "$1"; then
    echo "missing: $1" >&2
    failed=1
  fi
}
expect "| UDP GETPORT v2 | 1 | console | 900 (880–950) | 1000 (990–1010), 2 threads | 0.90 | PASS | 850 (800–900) | 1.06 | 1800 | 0.50 | 2.00 (1.00–3.00) |"
expect "| UDP GETPORT v2 | 8 | console | 150 (100–200) | 350 (300–400), 2 threads | 0.43 | MISS | – | – | – | – | 1.00 (1.00–1.00) |"
expect "| UDP GETPORT v2 | 1 | service, table full | 700 (700–700) | 1000 (990–1010), 2 threads | 0.70 | MISS | 850 (800–900) | 0.82 | – | – | 2.00 (1.00–3.00) |"
expect "| UDP GETPORT v2 | 1 | console, CALLITs beside | 950 (950–950) | 1000 (990–1010), 2 threads | 0.95 | PASS | 850 (800–900) | 1.12 | – | – | 2.00 (1.00–3.00) |"
expect "| UDP GETPORT v2 | 1 | console | 100 / 300 (290–310) | 90 / 200 | 1.50 | PASS | 80 / 100 | 3.00 | 50 / 80 |"
expect "| UDP GETPORT v2 | 1 | console, CALLITs beside | 110 / 310 (310–310) | 90 / 200 | 1.55 | MISS | 80 / 100 | 3.10 | – |"
expect "| UDP GETPORT v2 | 8 | console | 9 / 18 (16–20) | 5 / 10 | 1.80 | MISS | – | – | – |"
expect "| UDP GETPORT v2 | 1 | – | 1000 (990–1010) | 850 (800–900) | 500 (400–2000) |"
expect "| UDP SET+UNSET v4 | 1 | tessard.exe, service | 250 (250–250) | 50 / 90 | 40 / 80 | 0.25 | 0.50 | 1.00 (1.00–1.00) |"
expect "| tessard | 1 KiB | 2 KiB | 3 KiB | 2 |"
expect "The service's table: before its look-ups 2048 entries, 2038 of them added by the benchmark, and a SET beyond them refused, in 1 of 2 rounds; still 2048 entries after them in 1 of 2."
expect "Goals met, console: 2 of 4 (against the floor with 3 threads: 1)."
expect "Goals met, service, table full: 1 of 2 (against the floor with 3 threads: 0)."
expect "Goals met, console, CALLITs beside: 1 of 2 (against the floor with 3 threads: 1)."
[ $failed -eq 0 ] || { printf '%s\n' "$out" >&2; exit 1; }
echo "server tables: as computed by hand"
