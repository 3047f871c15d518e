#!/bin/sh
# Runs one Windows program under the project's Wine prefix and passes its
# exit code back. The program's output goes through a file: Wine's
# background processes inherit a pipe and would keep a reader waiting for
# its end forever.
set -u
: "${TESSARD_BUILD_DIR:=$(pwd)}"
export WINEPREFIX="${WINEPREFIX:-$TESSARD_BUILD_DIR/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
log=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
wine "$@" >"$log" 2>&1 </dev/null
rc=$?
cat "$log"
rm -f "$log"
exit $rc
