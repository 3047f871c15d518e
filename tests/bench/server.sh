#!/bin/sh
# Measures tessard.exe under Wine against a do-nothing responder under the
# same Wine (the floor) and Debian's rpcbind, and writes the server's section
# of docs/benchmarks.md.   tests/bench/server.sh ROUNDS SECTION_FILE [SECONDS]
# SECONDS: measured per run (default 1), after 0.3 s of warm-up.
#
# Everything runs in a private network and mount namespace: the Wine prefix
# build/bench/server-wineprefix gets its wineserver there (Wine opens a
# program's sockets in its wineserver), and rpcbind a network namespace of
# its own inside it, with a tmpfs on /run for its files. tessard.exe serves
# port 111 in console mode, the floors (one per UDP thread count) ports 1100
# + their thread count. tessard.exe as a service, installed by tessardctl.exe,
# serves port 111 in a third namespace, whose Wine prefix
# build/bench/service-wineprefix, wineserver and service manager
# tests/server_system/in_namespace.sh starts there, from a prefix booted once.
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
prefix="$here/build/bench/server-wineprefix"
if [ -z "${TESSARD_BENCH_NAMESPACE:-}" ]; then
  # A server of this prefix running elsewhere would open our sockets in its
  # own namespace: end it first.
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 </dev/null || true
  TESSARD_BENCH_NAMESPACE=1 exec unshare --net --mount "$0" "$@"
fi
rounds=$1
section=$2
seconds=${3:-1}
bench="$here/build/bench"
run="$bench/server-run"
service_prefix="$bench/service-wineprefix"
service_run="$bench/service-run"
load="$here/build/host-release/tests/bench/rpc_load"
# A program of the tests' own that answers slowly, for the CALLITs that go
# beside the console's look-ups (registered with it, not with rpcbind).
slow="$here/build/host-release/tests/server_system/remote_call_recorder"
slow_prog=300200
# The floors' UDP thread counts, and among them the server's own on its IPv4
# loopback UDP socket, read from its source so that the comparison follows
# it.
own=$(sed -n 's/^constexpr unsigned kDatagramThreads = \([0-9]*\);.*/\1/p' \
  "$here/server/win/address_endpoint.cpp")
if [ -z "$own" ]; then
  echo "bench: no kDatagramThreads in server/win/address_endpoint.cpp" >&2
  exit 1
fi
threads=$(printf '%s\n' 1 2 4 8 "$own" | sort -nu | paste -sd' ' -)

ip link set lo up
mount -t tmpfs tmpfs /run

rm -rf "$run" "$service_run"
mkdir -p "$run" "$service_run"
cp "$bench/build/bin/tessard.exe" "$run/"
cp "$bench/build/bin/tessard.exe" "$bench/build/bin/tessardctl.exe" \
  "$service_run/"
# The floor, built as the Release tessard.exe is: -O3, static, console,
# stripped, no timestamp.
x86_64-w64-mingw32-g++-posix -std=c++17 -O3 -DNDEBUG -static -s \
  -Wl,--no-insert-timestamp tests/bench/rpc_floor.cpp -lws2_32 \
  -o "$run/rpc_floor.exe"

export WINEPREFIX="$prefix" WINEDEBUG=-all
"$here/cmake/wine-prefix.sh" up "$WINEPREFIX" >/dev/null
pid_rpcbind="" pid_holder="" pid_hold="" pid_slow=""
ready="$service_run/ready"
cleanup() {
  for p in $pid_rpcbind $pid_hold $pid_slow; do
    kill "$p" 2>/dev/null || true
  done
  rm -f "$ready"
  WINEPREFIX="$service_prefix" wineserver -k >/dev/null 2>&1 </dev/null || true
  [ -z "$pid_holder" ] || wait "$pid_holder" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 </dev/null || true
}
trap cleanup EXIT
trap 'exit 1' INT TERM
cd "$run"
# Output to files, never a pipe: Wine's background processes would hold it.
wine ./tessard.exe tcp >tessard.log 2>&1 </dev/null &
pid_tessard=$!
for t in $threads; do
  wine ./rpc_floor.exe "$t" $((1100 + t)) >"floor$t.log" 2>&1 </dev/null &
  eval "pid_floor$t=\$!"
done
# The slow program registers before rpcbind starts: libtirpc would ask
# rpcbind's socket in the shared /run first.
tries=0
until "$load" 111 udp getport 1 0.05 0 >/dev/null 2>&1; do
  tries=$((tries + 1))
  [ $tries -lt 100 ] || { echo "bench: tessard does not answer" >&2; exit 1; }
  sleep 0.2
done
"$slow" "$slow_prog" 1 "$run/slow.log" --delay-ms 200 >slow.out 2>&1 </dev/null &
pid_slow=$!
tries=0
until grep -q ready "$run/slow.log" 2>/dev/null; do
  tries=$((tries + 1))
  [ $tries -lt 50 ] || { echo "bench: the slow program did not register" >&2; exit 1; }
  sleep 0.2
done
unshare --net sh -c 'ip link set lo up && exec rpcbind -f' \
  >rpcbind.log 2>&1 </dev/null &
pid_rpcbind=$!
# The service: installed and started as a user would, then kept until the
# file "ready" goes; in_namespace.sh then ends its prefix's processes.
"$here/tests/server_system/in_namespace.sh" "$service_prefix" \
  "$bench/build/tests/system/settle.exe" sh -c '
    cd "$1" && wine ./tessardctl.exe nogui install auto tcp \
      >tessardctl.log 2>&1 </dev/null || exit 1
    : >ready
    while [ -e ready ]; do sleep 0.5; done' service "$service_run" \
  >service.log 2>&1 </dev/null &
pid_holder=$!
tries=0
until [ -e "$ready" ]; do
  if ! kill -0 "$pid_holder" 2>/dev/null || [ $tries -ge 600 ]; then
    echo "bench: the service was not installed and started:" >&2
    cat service.log "$service_run/tessardctl.log" >&2 2>/dev/null || true
    exit 1
  fi
  tries=$((tries + 1))
  sleep 0.5
done
service_net="/proc/$pid_holder/ns/net"
# The service's process: the tessard.exe in its namespace.
for p in /proc/[0-9]*; do
  [ "$(readlink "$p/ns/net" 2>/dev/null)" = "$(readlink "$service_net")" ] ||
    continue
  case $(tr '\0' ' ' <"$p/cmdline" 2>/dev/null) in
  *tessard.exe*) pid_service=${p#/proc/} ;;
  esac
done
[ -n "${pid_service:-}" ] || { echo "bench: no service process" >&2; exit 1; }
# The port that the benchmark's registrations name, bound in the service's
# namespace for as long as they live: a service that drops registrations of
# ports without a socket must keep them.
nsenter --net="$service_net" "$load" 1111 hold >hold.log 2>&1 </dev/null &
pid_hold=$!

servers="tessard service rpcbind"
for t in $threads; do servers="$servers floor$t"; done

# load SERVER ARGS...: rpc_load against SERVER, in its namespace.
load() {
  server=$1
  shift
  case $server in
  tessard | callits) "$load" 111 "$@" ;;
  service) nsenter --net="$service_net" "$load" 111 "$@" ;;
  rpcbind) nsenter --net="/proc/$pid_rpcbind/ns/net" "$load" 111 "$@" ;;
  floor*) "$load" $((1100 + ${server#floor})) "$@" ;;
  esac
}
pid() { eval "echo \$pid_$1"; }
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$(pid "$1")/status"; }

for server in $servers; do
  tries=0
  until load "$server" udp getport 1 0.05 0 >/dev/null 2>&1 &&
    load "$server" tcp getport 1 0.05 0 >/dev/null 2>&1; do
    tries=$((tries + 1))
    [ $tries -lt 100 ] || { echo "bench: $server does not answer" >&2; exit 1; }
    sleep 0.2
  done
  eval "rss_before_$server=$(rss "$server")"
done

echo "bench: $rounds rounds of the server's measurements"
load_before=$(cut -d" " -f1-3 /proc/loadavg)
samples="$bench/server.samples"
: >"$samples"

# change SERVER fill|drain: fills the server's table to its 2048 places, or
# takes out what the fill put in; the outcome goes to the samples.
change() {
  out=$(load "$1" "$2") || {
    echo "bench: $2 of $1's table failed: $out" >&2
    exit 1
  }
  echo "$1 $2 - - $out" >>"$samples"
}

# measure PROTO PROC CLIENTS SERVERS...: one run against each server in turn.
# Against the service, a look-up asks for the last registration of the full
# table.
measure() {
  proto=$1 proc=$2 clients=$3
  shift 3
  for server in "$@"; do
    filled=""
    if [ "$server" = service ] && [ "$proc" != set ]; then filled=filled; fi
    # Right after a run with 8 clients a single client's calls take three
    # times as long for a while, whichever server answers (the scheduler
    # still spreads the threads over both cores): let it settle.
    sleep 1
    at=$(cut -d" " -f1 /proc/loadavg)
    beside=$filled
    if [ "$server" = callits ]; then beside="callits=$slow_prog"; fi
    out=$(load "$server" "$proto" "$proc" "$clients" "$seconds" 0.3 $beside) ||
      {
        echo "bench: $server, $proto $proc, $clients clients failed: $out" >&2
        exit 1
      }
    echo "$server $proto $proc $clients load=$at $out" >>"$samples"
  done
}

# Each measurement runs against every server in turn, so that a change in
# the machine's load falls on all alike; every other round in reverse order.
# The look-ups come first, with the service's table full; then it is
# emptied again for the SETs and UNSETs, which only the port mappers take.
# A floor's TCP side does not depend on its UDP threads: one serves TCP.
round=1
while [ $round -le "$rounds" ]; do
  order=$servers
  if [ $((round % 2)) -eq 0 ]; then
    order=$(echo "$servers" | tr ' ' '\n' | tac | paste -sd' ' -)
  fi
  tcp_order="" change_order=""
  for server in $order; do
    case $server in
    floor*) [ "$server" = "floor$own" ] && tcp_order="$tcp_order $server" ;;
    *) tcp_order="$tcp_order $server" change_order="$change_order $server" ;;
    esac
  done
  change service fill
  for proto in udp tcp; do
    for proc in getport getaddr; do
      for clients in 1 8; do
        if [ $proto = udp ]; then
          measure $proto $proc $clients $order
          # One client's look-ups while CALLITs wait on a slow program.
          if [ $proc = getport ] && [ $clients = 1 ]; then
            measure udp getport 1 callits
          fi
        else
          measure $proto $proc $clients $tcp_order
        fi
      done
    done
  done
  change service drain
  for clients in 1 8; do measure udp set $clients $change_order; done
  if [ $round -eq 1 ]; then
    for server in $servers; do eval "rss_first_$server=$(rss "$server")"; done
  fi
  round=$((round + 1))
done
load_after=$(cut -d" " -f1-3 /proc/loadavg)
memory=""
for server in $servers; do
  memory="$memory$server $(eval "echo \$rss_before_$server \$rss_first_$server")"
  memory="$memory $(rss "$server")
"
done

per_round=$(($(grep -cv '^[^ ]* \(fill\|drain\) ' "$samples") / rounds))
tables=$(awk -v threads="$threads" -v own="$own" -v memory="$memory" \
  -f "$here/tests/bench/server_tables.awk" "$samples")

cat >"$section" <<DOC
## The server

Run on $(date -u +%Y-%m-%d) ($(date -u +%H:%M) UTC); load average
$load_before before the runs, $load_after after.

A load generator (tests/bench/rpc_load.cpp, native, plain sockets) runs 1 or
8 clients in a closed loop: each sends a call, waits for the reply with its
xid, and checks that it answers the call. GETPORT asks version 2 for a port
on the transport in use, GETADDR version 4 for an address on that netid;
over TCP each client keeps one connection open and marks its records.
SET+UNSET is a pair over UDP from loopback: a version 4 SET of a program and
version no client registered before, then its UNSET; both must answer true.
Each run measures $seconds s after 0.3 s of warm-up, and starts after a second
with no calls (see the notes). A row is the median of $rounds rounds, with the
lowest and the highest round in brackets: a difference within those ranges
is not a change. In each round every measurement runs against every server
in turn (in reverse order every other round), so that a change in the
machine's load falls on all alike. Latencies are the round's median and
99th percentile of single calls, in microseconds. "load (1 min)" is the
machine's 1-minute load average read before each run of the row, every
server and round: the benchmark's own runs account for about 1 to 1.5 of
it (its clients, a server and a wineserver on 2 cores); more is other
work, under which the ranges widen.

- tessard.exe, console: \`tessard.exe tcp\` started from a console, under
  Wine, with a Wine prefix and wineserver of its own in a private network
  namespace. Its table holds only the port mapper's own 10 entries, and
  its changes are kept in memory. Look-ups ask for the port mapper's own
  entry (port 111; the address the call came to).
- tessard.exe, service: installed and started by \`tessardctl.exe nogui
  install auto tcp\` in a second Wine prefix whose wineserver and service
  manager run in a network namespace of their own; whatever the server does
  on its path when it runs as a service (keeping its changes, watching the
  machine's sockets) is in its rows. Before the look-ups of each round its
  table is filled to its 2,048 places (the 10 own entries and a program of
  the benchmark's, registered on udp and tcp from its highest version down
  to version 1, at a port the benchmark keeps bound on both, so that no
  registration counts as dead), and a SET beyond them must answer false;
  its look-ups ask for version 1 of that program, the last registration
  made. After the look-ups the table is counted and emptied again for the
  SET+UNSET rows (the line below the tables).
- tessard.exe, console, CALLITs beside: the console's UDP GETPORT with one
  client while another sends a version 2 CALLIT every 5 ms to a program
  of the tests' own (tests/server_system/remote_call_recorder.cpp) that
  answers each call after 200 ms: the forwards fill the server's table of
  forwards in flight, and the rest are dropped. Its goals are the
  look-ups' goals.
- floor: tests/bench/rpc_floor.cpp, built as tessard.exe is, under the
  console's Wine: it answers every call with a fixed reply of the same size
  as the server's, with N threads blocking in \`recvfrom\` on one UDP
  socket and a thread per TCP connection blocking in \`recv\`. What any
  Windows program pays here for Wine's sockets, and has no table: the
  console's and the service's rows are set beside the same floor runs.
- rpcbind: Debian's \`rpcbind -f\`, natively, in a network namespace of its
  own and a private /run. It keeps its table in memory and stores nothing:
  its SET+UNSET rows are the reference of a port mapper without storage, as
  the console's are ours. Its look-ups find its own entries only, so it
  stands beside the console's rows, not the full table's.

Goals, for the look-ups of both modes: at least 0.9 of the floor's
throughput, and a 99th-percentile latency within 1.5 times the floor's.
Each goal is judged against the floor with the best median throughput for
that row ("floor, best", with its thread count), as in the runs
recorded before, so that results stay comparable with them; the ratio to
the floor with tessard.exe's own thread count on its IPv4 UDP socket
($own, the same design) stands beside it. On TCP both are the same
floor: a thread per connection. The SET+UNSET rows have no goal: they show
what a change costs the service beside the console and rpcbind.

$tables

Reading the numbers:

- tessard.exe pays for Wine's sockets what the floor pays, and nothing
  that shows beside it. Counted with \`strace -c -f\` on the server's
  process and on its wineserver (8 clients, GETPORT, 2026-12-08), a UDP
  call costs tessard.exe (four threads) 28.7 system calls in its process
  and 27.5 in the wineserver, the floor with four threads 28.1 and 27.4; a
  TCP call 41.9 and 26.4, the floor 42.2 and 27.3. Where a row falls short
  of the floor, it is the thread count or the machine, not the server's
  own work.
- Threads on one UDP socket: tessard.exe has $own on its IPv4 socket; the
  floor's best (third table) depends on what else runs. On a quiet machine
  four or eight win (as we read it, a thread already waiting keeps the
  wineserver's next receive off the call's path); while another program
  keeps a core busy, everything shares the other, one thread wins by far
  (about 47,000 calls/s against 25,000 with four) and the UDP rows miss at
  about half the best floor. A server that chose its thread count from the
  load would close that; on Windows none of this applies, and we keep the
  quiet machine's choice (docs/wine-notes.md).
- Choosing the best of several thread counts after the fact favours the
  floor, the more so the noisier the machine: each floor's rounds scatter,
  and the best median of several picks the luckiest. A UDP row that misses
  against the best floor but not against the floor with the server's own
  thread count is the thread count or that choice, not the server; one
  that misses against both is worth a look, when its range does not
  overlap the floor's. With one client, eight waiting threads beat four by
  up to a fifth in the rounds where other work runs on the machine (four
  and eight are equal in quiet ones); with eight clients four beat eight by
  about a tenth. No fixed count wins every row.
- rpcbind is a native program: a call costs it about 14 system calls in
  one process and nothing elsewhere. Under Wine each receive and each send
  also goes through the wineserver, and a thread blocked in a receive is
  woken by a message from it; that, not the server's own work, separates
  tessard.exe from rpcbind, and the floor shows that no Windows program
  gets closer here.
- With one client there is one call in flight: the rate is one over the
  latency, and where the scheduler puts the client, the server and the
  wineserver on the two cores decides it. Single rounds of these rows vary
  by up to two times (build/bench/server.samples keeps every round, with
  the load average at its start); the medians of the rounds are steadier,
  but a ratio within a tenth of its goal can fall on either side from one
  run to the next, more so while other work runs on the machine.
- Without the second of quiet before each run, a single client measured
  right after a run with 8 clients gets replies three times later (about
  240 µs instead of 80) from every Wine server alike, the floor's too, and
  the 1-client rows took whichever state the previous run had left.
- Length: $rounds rounds of $per_round runs, $seconds s each. Until the
  service and the SET+UNSET rows were measured (14 runs a round), a round
  had 36 runs of 2 s. The rounds stay, for the ranges; the second of quiet
  stays, for the reason above; the seconds per run were cut so that the
  whole benchmark keeps the 12 minutes it took before.
- Memory is the resident set of each server's process (VmRSS) before the
  first call, after the first round and at the end. tessard.exe grows in
  the first round: it keeps the threads of its TCP pool, with their
  buffers, for the next connections, where the floor's threads end with
  their connection. The service fills and empties its table every round:
  the rounds after the first show whether either mode goes on growing.
DOC
