#!/bin/sh
# Runs each fuzzer of a host build for SECONDS from a scratch copy of its
# seed corpus (tests/fuzz/*_corpus) and fails on any finding. It builds and
# installs nothing: scripts/fuzz does that, then calls this.
#   tests/fuzz/run.sh HOST_BUILD_DIR SECONDS [FUZZER...]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$1
seconds=$2
shift 2
[ $# -gt 0 ] ||
  set -- command_line_fuzzer datagram_fuzzer stream_fuzzer stored_fuzzer
status=0
for name in "$@"; do
  fuzzer="$build/tests/fuzz/$name"
  [ -x "$fuzzer" ] || { echo "fuzz: $fuzzer is not built" >&2; exit 1; }
  seeds="$here/${name%_fuzzer}_corpus"
  run="$build/fuzz-run/$name"
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  cp "$seeds"/* "$run/corpus/"
  set -- -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$run/artifacts/"
  if [ "$name" = command_line_fuzzer ]; then
    set -- "$@" -max_len=512 -dict="$here/command_line.dict"
  else
    set -- "$@" -max_len=16384
  fi
  log="$run/fuzz.log"
  if "$fuzzer" "$@" "$run/corpus" >"$log" 2>&1 </dev/null; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    echo "fuzz: $name OK, ${runs:-?} inputs in ${seconds}s, no finding;" \
      "corpus $(ls "$seeds" | wc -l) -> $(ls "$run/corpus" | wc -l)"
  else
    tail -n 30 "$log" >&2
    echo "fuzz: $name FAILED; reproduce with: $fuzzer $run/artifacts/<file>" >&2
    status=1
  fi
done
exit $status
