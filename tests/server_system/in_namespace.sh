#!/bin/sh
# Runs a command inside a private network namespace of its own, with a Wine
# prefix whose wineserver and service manager live in that namespace too, so
# that port 111 is the command's whatever the machine runs.
#   in_namespace.sh PREFIX SETTLE_EXE COMMAND [ARGS...]
# Inside: loopback up, and on it addresses that are not loopback addresses,
# for callers that must count as other machines and for the server's other
# interfaces: 10.77.0.1/32 to 10.77.0.3/32, 2001:db8::1/128 and
# 2001:db8::2/128.
# PREFIX is made afresh for each run from a copy of a prefix booted once
# (PREFIX.pristine), so that no service of an earlier run starts at boot.
set -eu
if [ -z "${TESSARD_IN_NAMESPACE:-}" ]; then
  # A server of this prefix started elsewhere would start our services in
  # its own namespace: end it before the namespace gets one of its own.
  WINEPREFIX=$1 wineserver -k >/dev/null 2>&1 </dev/null || true
  TESSARD_IN_NAMESPACE=1 exec unshare --net --mount "$0" "$@"
fi
prefix=$1
settle=$2
shift 2

ip link set lo up
for address in 10.77.0.1/32 10.77.0.2/32 10.77.0.3/32; do
  ip addr add "$address" dev lo
done
for address in 2001:db8::1/128 2001:db8::2/128; do
  ip addr add "$address" dev lo nodad
done
# libtirpc's clients ask a local rpcbind through its Unix socket before any
# network address: one of the machine's must not answer for our server.
for sock in /run/rpcbind.sock /var/run/rpcbind.sock; do
  if [ -e "$sock" ]; then mount --bind /dev/null "$sock"; fi
done

here=$(cd "$(dirname "$0")/../.." && pwd)
export WINEDEBUG=-all
pristine="$prefix.pristine"
if [ ! -f "$pristine/system.reg" ]; then
  rm -rf "$pristine"
  WINEPREFIX="$pristine" "$here/cmake/wine-prefix.sh" up "$pristine" >/dev/null
  WINEPREFIX="$pristine" "$here/cmake/wine-prefix.sh" down "$pristine" >/dev/null
  WINEPREFIX="$pristine" wineserver -w
fi
rm -rf "$prefix"
cp -a "$pristine" "$prefix"
export WINEPREFIX="$prefix"
trap '"$here/cmake/wine-prefix.sh" down "$WINEPREFIX" >/dev/null' EXIT
"$here/cmake/wine-prefix.sh" up "$WINEPREFIX"
wine "$settle" >"$WINEPREFIX.settle.log" 2>&1 </dev/null ||
  { cat "$WINEPREFIX.settle.log" >&2; exit 1; }
"$@"
