#!/bin/sh
# Wine for the tests: `start PREFIX` starts a persistent wineserver with its output sent away (a
# wineserver that inherited CTest's pipes would hold every test up until it exits), creates the
# prefix on first use and stops Wine from waiting for a window manager; `stop PREFIX` ends it.
set -eu
wine=/usr/lib/wine/wine64
server=/usr/lib/wine/wineserver64
[ -x "$server" ] || server=wineserver
export WINEPREFIX="$2" WINEDEBUG=-all
case "$1" in
  start)
    mkdir -p "$WINEPREFIX"
    # Fails when a wineserver of this prefix already runs, which is as good.
    "$server" -p </dev/null >/dev/null 2>&1 || true
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    ;;
  stop)
    "$server" -k </dev/null >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 start|stop PREFIX" >&2; exit 2 ;;
esac
