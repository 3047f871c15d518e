#!/bin/sh
# Writes the server fuzzers' seed corpora from real traffic: tcpdump records
# port 111 while the server's system tests drive tessard.exe with rpcinfo
# and libtirpc; capture_seeds.py cuts the capture into one seed per datagram
# and one per TCP connection. Run after scripts/test has built both trees.
#   tests/fuzz/capture_seeds.sh
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
command -v tcpdump >/dev/null || apt-get install -y -qq tcpdump >/dev/null
build="$here/build/mingw"
work=$(mktemp -d)
cat >"$work/capture.sh" <<INNER
tcpdump -i lo -U -w "$work/port111.pcap" port 111 >/dev/null 2>&1 &
sleep 1
"$here/build/host/tests/server_system/server_system_test" \
  --gtest_filter='*Rpcinfo*:*Libtirpc*:*AnotherMachine*' >"$work/tests.log" 2>&1
sleep 1
kill \$!
INNER
TESSARD_BIN_DIR="$build/bin" TESSARD_WORK_DIR="$work/tests" \
LSAN_OPTIONS=detect_leaks=0 \
  "$here/tests/server_system/in_namespace.sh" "$build/server-wineprefix" \
  "$build/tests/system/settle.exe" sh "$work/capture.sh"
python3 "$here/tests/fuzz/capture_seeds.py" "$work/port111.pcap" \
  "$here/tests/fuzz/datagram_corpus" "$here/tests/fuzz/stream_corpus"
rm -rf "$work"
