#!/bin/sh
# rpc_load against Debian's rpcbind, natively, in a private network and
# mount namespace: fill makes exactly the registrations it says, as rpcinfo
# counts them; a look-up of the filled table checks what it is answered (it
# fails once drain has taken the registrations out); SET+UNSET pairs are
# answered true.   tests/bench/rpc_load_test.sh RPC_LOAD
set -eu
if [ -z "${TESSARD_BENCH_NAMESPACE:-}" ]; then
  TESSARD_BENCH_NAMESPACE=1 exec unshare --net --mount "$0" "$@"
fi
load=$1
ip link set lo up
mount -t tmpfs tmpfs /run
rpcbind -f >/dev/null 2>&1 </dev/null &
pid_rpcbind=$!
"$load" 1111 hold >/dev/null &
pid_hold=$!
trap 'kill $pid_rpcbind $pid_hold' EXIT
until rpcinfo -p 127.0.0.1 >/dev/null 2>&1; do sleep 0.1; done

failed=0
check() { # WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] || { echo "$1: expected '$2', got '$3'" >&2; failed=1; }
}
# rpcinfo lists every registration (its version 4 DUMP): count all, or
# those of the fill's program (0x5f000000) and of its pad (0x5f000001).
entries() { rpcinfo 127.0.0.1 | tail -n +2 | wc -l; }
filled() { rpcinfo 127.0.0.1 | grep -cE '^ *159383552[01] ' || true; }
own=$(entries)

check "fill's output" "entries=$((own + 301)) added=301 refused=0 beyond=accepted" \
  "$("$load" 111 fill $((own + 301)))"
check "registrations rpcinfo lists" 301 "$(filled)"
for proto in udp tcp; do
  for proc in getport getaddr; do
    "$load" 111 $proto $proc 2 0.1 0 filled >/dev/null ||
      check "$proto $proc of the filled table" answered failed
  done
done
check "drain's output" "before=$((own + 301)) entries=$own removed=151 refused=0" \
  "$("$load" 111 drain)"
check "registrations left" 0 "$(filled)"
if "$load" 111 udp getport 1 0.1 0 filled >/dev/null 2>&1; then
  check "a look-up of what is gone" refused answered
fi
"$load" 111 udp set 2 0.2 0.1 >/dev/null || check "SET+UNSET" answered failed
check "registrations after SET+UNSET" "$own" "$(entries)"
[ $failed -eq 0 ]
echo "rpc_load: fill, drain, look-ups and SET+UNSET as rpcbind and rpcinfo see them"
