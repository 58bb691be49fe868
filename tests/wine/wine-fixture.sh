#!/bin/sh
# Wine for the tests.
#   start PREFIX  starts a virtual display (Xvfb, 1920x1080x24; its number goes to PREFIX.display)
#                 and a persistent wineserver, both with their output sent away (a wineserver
#                 that inherited CTest's pipes would hold every test up until it exits), creates
#                 the prefix on first use and stops Wine from waiting for a window manager. Wine's
#                 desktop process starts now, on that display, so that every later program of the
#                 prefix can open windows there (a desktop started without a display never can).
#   stop PREFIX   ends the prefix's Wine processes and the display.
set -eu
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=wineserver
# No .NET or HTML engine: a new prefix would otherwise offer to install them, in a dialog.
export WINEPREFIX="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
state="$WINEPREFIX.display"
case "$1" in
  start)
    mkdir -p "$WINEPREFIX"
    if [ -f "$state" ] && kill -0 "$(cut -d' ' -f2 "$state")" 2>/dev/null; then
      n=$(cut -d' ' -f1 "$state")
    else
      n=90
      while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
      Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
      echo "$n $!" > "$state"
      i=0
      while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i + 1)); done
    fi
    export DISPLAY=":$n"
    # Fails when a wineserver of this prefix already runs, which is as good.
    "$server" -p </dev/null >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    if [ -f "$state" ]; then
      kill "$(cut -d' ' -f2 "$state")" 2>/dev/null || true
      rm -f "$state"
    fi
    ;;
  *) echo "usage: $0 start|stop PREFIX" >&2; exit 2 ;;
esac
