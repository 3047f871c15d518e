#!/bin/sh
# The dialog tests' own X server: started on a free display (up), used by
# a command (run), stopped by its process id (down).
# Usage: xvfb.sh up STATE_DIR | run STATE_DIR COMMAND... |
#        down STATE_DIR [SCREENSHOT.bmp]
# STATE_DIR/display holds ":N", STATE_DIR/pid the server's process id. down
# also turns the dialog's screenshot into a PNG beside it.
set -u
action=$1
state=$2

case $action in
up)
  mkdir -p "$state"
  rm -f "$state/display" "$state/pid" "$state/displayfd"
  # -displayfd picks a free display and writes its number on fd 3 once the
  # server accepts connections. Every fd goes to a file: a server holding
  # CTest's pipe would keep CTest waiting for its end.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp \
    3>"$state/displayfd" >"$state/xvfb.log" 2>&1 </dev/null &
  echo $! >"$state/pid"
  tries=0
  while [ ! -s "$state/displayfd" ]; do
    if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
      echo "Xvfb did not start:" >&2
      cat "$state/xvfb.log" >&2
      exit 1
    fi
    tries=$((tries + 1))
    if [ $tries -gt 200 ]; then
      echo "Xvfb gave no display number" >&2
      kill "$(cat "$state/pid")"
      exit 1
    fi
    sleep 0.1
  done
  echo ":$(tr -d '\n' <"$state/displayfd")" >"$state/display"
  echo "Xvfb $(cat "$state/pid") on $(cat "$state/display")"
  ;;
run)
  shift 2
  # Without a server (listing the tests before it is up) run as it is.
  if [ -s "$state/display" ]; then
    DISPLAY=$(cat "$state/display")
    export DISPLAY
  fi
  exec "$@"
  ;;
down)
  shot=${3:-}
  if [ -n "$shot" ] && [ -f "$shot" ] && command -v convert >/dev/null; then
    convert "$shot" "${shot%.bmp}.png" && echo "screenshot: ${shot%.bmp}.png"
  fi
  if [ -f "$state/pid" ]; then
    pid=$(cat "$state/pid")
    kill "$pid" 2>/dev/null
    rm -f "$state/pid" "$state/display" "$state/displayfd"
    echo "Xvfb $pid stopped"
  fi
  ;;
*)
  echo "usage: $0 up|run|down STATE_DIR ..." >&2
  exit 2
  ;;
esac
