#!/bin/sh
# Brings the test Wine prefix up (created once, one persistent wineserver,
# crash and window settings applied) or down. Usage: wine-prefix.sh up|down PREFIX
set -u
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
log="$WINEPREFIX.log"
ours="$WINEPREFIX.server-started-here"

# Starts the one persistent server of the run. When a server already runs
# in this prefix (an earlier run's or scripts/run's), it is kept, together
# with the services it runs: ending it would stop what a user started.
# "wineserver -p" fails when one runs; `down` ends only a server started
# here.
start_server() {
  if wineserver -p >>"$log" 2>&1 </dev/null; then
    : >"$ours"
  fi
}

case $action in
up)
  : >"$log"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    # Create the prefix and let its server exit before starting ours: a
    # persistent server started while wineboot runs leaves two service
    # managers side by side. Nothing here needs .NET or the HTML engine, and
    # with a display Wine would offer to install them and wait for an answer.
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >>"$log" 2>&1 </dev/null
    wineserver -w
    start_server
  else
    start_server
    wineboot >>"$log" 2>&1 </dev/null
  fi
  # Applied at every start, as a prefix may have been created by any wine
  # command. A crash must end the process with its code, not open a debugger.
  wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
    /v Debugger /f >>"$log" 2>&1 </dev/null
  # Xvfb has no window manager: let Wine draw its own captions.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
    >>"$log" 2>&1 </dev/null
  echo "wine prefix ready: $WINEPREFIX"
  ;;
down)
  if [ -f "$ours" ]; then
    wineserver -k >/dev/null 2>&1 </dev/null
    rm -f "$ours"
    echo "wine prefix stopped: $WINEPREFIX"
  else
    echo "wine prefix left running (its server was not started here)"
  fi
  ;;
*)
  echo "usage: $0 up|down PREFIX" >&2
  exit 2
  ;;
esac
