#!/bin/sh
# Brings the test Wine prefix up (created once, settled, one persistent
# wineserver) or down. Usage: wine-prefix.sh up|down PREFIX
set -u
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
log="$WINEPREFIX.log"

case $action in
up)
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    # Create the prefix and let its server exit before starting ours: a
    # persistent server started while wineboot runs leaves two service
    # managers side by side.
    wineboot -i >"$log" 2>&1 </dev/null
    wineserver -w
    wineserver -p >>"$log" 2>&1 </dev/null
    # A crash must end the process with its code, not open a debugger.
    wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /f >>"$log" 2>&1 </dev/null
    # Xvfb has no window manager: let Wine draw its own captions.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
      >>"$log" 2>&1 </dev/null
  else
    wineserver -p >>"$log" 2>&1 </dev/null
    wineboot >>"$log" 2>&1 </dev/null
  fi
  echo "wine prefix ready: $WINEPREFIX"
  ;;
down)
  wineserver -k >/dev/null 2>&1 </dev/null
  echo "wine prefix stopped: $WINEPREFIX"
  ;;
*)
  echo "usage: $0 up|down PREFIX" >&2
  exit 2
  ;;
esac
