#!/bin/sh
# Measures tessardctl.exe under Wine against the cost of starting any
# process, and writes the utility's section of docs/benchmarks.md.
#   tests/bench/utility.sh RUNS SECTION_FILE   (scripts/bench runs it)
#
# tessardctl.exe (the same image as scripts/release makes) and the stand-in
# server tessard.exe come from scripts/bench's Release tree, build/bench/build;
# the floor program is compiled with the same compiler and flags. Everything
# runs in one Wine session with its own prefix, build/bench/wineprefix, and
# one persistent wineserver.
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
runs=$1
section=$2
cd "$here"

bench="$here/build/bench"
build="$bench/build"
run="$bench/run"
rm -rf "$run"
mkdir -p "$run"
cp "$build/bin/tessardctl.exe" "$build/standin/tessard.exe" "$run/"
cp tests/bench/tessard.script "$run/"
# The floor, built as the Release tessardctl.exe is: -O3, static, GUI
# subsystem, stripped, no timestamp.
x86_64-w64-mingw32-g++-posix -std=c++17 -O3 -DNDEBUG -static -mwindows -s \
  -Wl,--no-insert-timestamp tests/bench/floor.cpp -o "$run/floor.exe"
# The same, importing the DLLs that tessardctl.exe imports.
x86_64-w64-mingw32-g++-posix -std=c++17 -O3 -DNDEBUG -static -mwindows -s \
  -Wl,--no-insert-timestamp tests/bench/floor_imports.cpp \
  -luser32 -ladvapi32 -loleaut32 -o "$run/floor_imports.exe"

export WINEPREFIX="$bench/wineprefix" WINEDEBUG=-all
"$here/cmake/wine-prefix.sh" up "$WINEPREFIX" >/dev/null
trap '"$here/cmake/wine-prefix.sh" down "$WINEPREFIX" >/dev/null' EXIT INT TERM
cd "$run"

# Runs one Wine program, output to a file (never a pipe: Wine's background
# processes would hold it open), and checks its exit code (255 is -1).
wine_run() {
  expect=$1
  shift
  set +e
  wine "$@" >>"$run/wine.log" 2>&1 </dev/null
  rc=$?
  set -e
  if [ "$rc" -ne "$expect" ]; then
    echo "bench: '$*' exited $rc, expected $expect" >&2
    exit 1
  fi
}

now() { date +%s%N; }

# sample NAME SETUP TIMED TEARDOWN: one sample of NAME, in microseconds:
# SETUP, then TIMED timed, then TEARDOWN (shell functions; "true" for none).
sample() {
  $2
  t0=$(now)
  $3
  t1=$(now)
  $4
  echo "$(( (t1 - t0) / 1000 ))" >>"$bench/$1.samples"
}

# Median, minimum and maximum of a sample file, in ms.
median() { sort -n "$bench/$1.samples" | awk '{v[NR]=$1} END {
  m = (NR % 2) ? v[(NR+1)/2] : (v[NR/2] + v[NR/2+1]) / 2; printf "%.1f", m/1000 }'; }
range() { sort -n "$bench/$1.samples" | awk 'NR==1{lo=$1} {hi=$1} END {
  printf "%.1f–%.1f", lo/1000, hi/1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t) ? "PASS" : "MISS" }'; }

floor_run() { wine_run 0 ./floor.exe; }
floor_imports() { wine_run 0 ./floor_imports.exe; }
malformed() { wine_run 255 ./tessardctl.exe nogui remove udp; }
remove_tcp() { wine_run 0 ./tessardctl.exe nogui remove tcp; }
install_manual() { wine_run 0 ./tessardctl.exe nogui install manual tcp; }
install_remove() { install_manual; remove_tcp; }
start_tcp() { wine_run 0 ./tessardctl.exe nogui start tcp; }

# Settle the fresh prefix: its service manager may answer "database locked"
# for a few seconds, and no service of ours may be left from an earlier run.
tries=0
until wine ./tessardctl.exe nogui remove tcp >>"$run/wine.log" 2>&1 </dev/null; do
  tries=$((tries + 1))
  [ $tries -lt 30 ] || { echo "bench: the service manager does not settle" >&2; exit 1; }
  sleep 1
done
wine_run 0 ./tessardctl.exe nogui remove spx
# Warm the file cache and Wine's own start-up path.
for _ in 1 2 3; do floor_run; malformed; done

echo "bench: $runs runs per measurement"
load_before=$(cut -d" " -f1-3 /proc/loadavg)
# The quick measurements take turns, one of each per round, so that a change
# in the machine's load falls on all of them alike. The ones that change the
# service database follow in blocks of their own: after a service has run,
# Wine's own processes stay busy for a while and would slow the quick ones.
names="floor floor_imports malformed remove_missing install_remove start"
for name in $names; do : >"$bench/$name.samples"; done
i=0
while [ $i -lt "$runs" ]; do
  sample floor true floor_run true
  sample floor_imports true floor_imports true
  sample malformed true malformed true
  sample remove_missing true remove_tcp true
  i=$((i + 1))
done
i=0
while [ $i -lt "$runs" ]; do
  sample install_remove true install_remove true
  i=$((i + 1))
done
i=0
while [ $i -lt "$runs" ]; do
  sample start install_manual start_tcp remove_tcp
  i=$((i + 1))
done

floor=$(median floor)
m_imports=$(median floor_imports)
r_imports=$(ratio "$m_imports" "$floor")
m_malformed=$(median malformed)
m_remove=$(median remove_missing)
m_pair=$(median install_remove)
m_start=$(median start)
r_malformed=$(ratio "$m_malformed" "$floor")
r_remove=$(ratio "$m_remove" "$floor")
r_pair=$(ratio "$m_pair" "$floor")
r_start=$(ratio "$m_start" "$floor")
r_hints=$(ratio "$m_start" 200)
size=$(stat -c %s tessardctl.exe)
kib=$(awk -v s="$size" 'BEGIN { printf "%.1f", s / 1024 }')
imports_floor=$(x86_64-w64-mingw32-objdump -p floor_imports.exe |
  sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | paste -sd, - | sed 's/,/, /g')
imports=$(x86_64-w64-mingw32-objdump -p tessardctl.exe |
  sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f | paste -sd, - | sed 's/,/, /g')
size_verdict=$(awk -v s="$size" 'BEGIN { print (s < 200 * 1024) ? "PASS" : "MISS" }')

i_malformed=$(ratio "$m_malformed" "$m_imports")
i_remove=$(ratio "$m_remove" "$m_imports")

cat >"$section" <<DOC
## The utility

Run on $(date -u +%Y-%m-%d) ($(date -u +%H:%M) UTC); load average
$load_before before the runs, $(cut -d" " -f1-3 /proc/loadavg) after.

Wall time of each command under Wine, from the shell's \`wine\` call to its
exit: median of $runs runs, range in brackets. One Wine session with a prefix
of its own and one persistent wineserver. The first four rows take turns,
one of each per round, so that a change in the machine's load falls on all
of them alike; the machine is shared, so single runs vary.

- floor: a do-nothing GUI program built as tessardctl.exe is (Release,
  static, GUI subsystem, stripped): what any process costs under Wine.
- import floor: the same, importing the DLLs tessardctl.exe imports
  ($imports_floor): what loading them costs before any of the utility's
  code runs.

| Measurement | Median ms (range) | × floor | × import floor | Target | |
|---|---|---|---|---|---|
| floor | $floor ($(range floor)) | 1.00 | | | |
| import floor | $m_imports ($(range floor_imports)) | $r_imports | 1.00 | | |
| malformed command line (\`nogui remove udp\`) | $m_malformed ($(range malformed)) | $r_malformed | $i_malformed | ≤ 1.2 × floor | $(verdict "$r_malformed" 1.2) |
| \`nogui remove tcp\`, nothing installed | $m_remove ($(range remove_missing)) | $r_remove | $i_remove | ≤ 1.5 × floor | $(verdict "$r_remove" 1.5) |
| \`nogui install manual tcp\` then \`nogui remove tcp\` (two processes; the service never runs) | $m_pair ($(range install_remove)) | $r_pair | | | |
| \`nogui start tcp\`, stand-in reaching running after 2 checkpoints of 100 ms wait hint | $m_start ($(range start)) | $r_start | | | $r_hints × the 200 ms of wait hints |

| Executable | | |
|---|---|---|
| size of tessardctl.exe | $size bytes ($kib KiB) | < 200 KiB: $size_verdict |
| DLLs it imports | $imports | |

Reading the numbers:

- A malformed line is refused before user32 or oleaut32 is needed, so it
  costs about the plain floor.
- The removal of a missing service needs both: user32 for the service name
  (the message catalogue) and the formatting of the server command line,
  oleaut32 for the helper library's strings (oleaut32 in turn maps user32).
  Under Wine, mapping them costs about as much as a whole do-nothing process
  (the import floor), which is why this row misses its target against the
  plain floor while its own work, the difference to the import floor, is a
  few milliseconds. On Windows user32 is mapped in nearly every process
  already and costs far less.
- The removal of a registered service waits 100 ms after it has seen the
  service stopped, before deleting it; that pause is part of the pair.
- The start follows the two wait hints (200 ms); the rest is the utility's
  process and the service manager starting the stand-in's process.
DOC
