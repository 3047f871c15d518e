#!/bin/sh
# Runs the dialog's install-right-after-remove sequence again and again on a
# loaded core and counts its outcomes: installed again and lasting, or
# refused as marked for deletion. Not part of scripts/test.
# Usage: tests/dialog/reinstall_under_load.sh [RUNS] [BUSY_LOOPS]
# (defaults 50 and 2). The build folders must exist (scripts/build host and
# mingw). Everything, the busy loops included, runs on core 0 only: the
# service processes then wait behind the loops, as on a busy machine, and
# the other core stays free for whoever shares the machine.
set -u
runs=${1:-50}
loops=${2:-2}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$root/build/mingw
log=$build/Testing/Temporary/LastTest.log

pids=""
stop_load() {
  for pid in $pids; do kill "$pid" 2>/dev/null; done
  pids=""
}
trap stop_load EXIT INT TERM

i=0
while [ "$i" -lt "$loops" ]; do
  taskset -c 0 sh -c 'while :; do :; done' &
  pids="$pids $!"
  i=$((i + 1))
done
echo "busy loops on core 0:$pids"

GTEST_FILTER='InstallerDialog.InstallRightAfterRemoveFailsAsMarkedOrLasts' \
  GTEST_REPEAT=$runs taskset -c 0 \
  ctest --test-dir "$build" -R dialog_tests --output-on-failure
rc=$?
stop_load

lasted=$(grep -c '^outcome: installed again' "$log")
marked=$(grep -c '^outcome: marked for deletion' "$log")
failed=$(grep -c '^\[  FAILED  \] InstallerDialog\.' "$log")
echo "runs: $runs; installed again and lasted: $lasted;" \
  "refused as marked for deletion: $marked; failed: $failed"
echo "each run's view of the registration: grep '^outcome' $log"
exit $rc
