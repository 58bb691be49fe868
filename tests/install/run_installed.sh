#!/bin/sh
# Runs an installed Stackrise headless from a folder of its own, as a user would:
#   run_installed.sh PREFIX APP_ID   PREFIX/bin/stackrise, then the Exec line of the desktop entry
#                                    PREFIX/share/applications/APP_ID.desktop,
# with PREFIX/bin first on PATH. Each run plays a short script (one drag, which raises a
# tower, then quit) and must end with status 0, nothing on standard error, a trace of the
# whole run and a PNG picture of the last frame.
set -eu
prefix=$1
id=$2
work=$(mktemp -d /tmp/stackrise-installed-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[ -L "$prefix/bin/stackrise" ] || fail "$prefix/bin/stackrise is not a symbolic link"
[ "$(readlink "$prefix/bin/stackrise")" = ../lib/stackrise/stackrise ] ||
  fail "bin/stackrise points to $(readlink "$prefix/bin/stackrise"), not ../lib/stackrise/stackrise"
desktop=$prefix/share/applications/$id.desktop
[ -f "$desktop" ] || fail "no $desktop"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ -n "$exec_line" ] || fail "no Exec line in $desktop"

cat >"$work/drag.script" <<'SCRIPT'
0 seed 1
10 move 100 880
10 press left
20 move 300 880
22 release left
200 quit
SCRIPT

# run NAME COMMAND...: runs in $work/NAME (not the prefix, not the source tree).
run() {
  name=$1
  shift
  mkdir "$work/$name"
  status=0
  (cd "$work/$name" && env -u DISPLAY -u WAYLAND_DISPLAY PATH="$prefix/bin:$PATH" LUMEN_HEADLESS=1 \
     LUMEN_SCRIPT="$work/drag.script" LUMEN_TRACE="$work/$name.trace" LUMEN_CAPTURE="$work/$name.png" \
     "$@" 2>"$work/$name.err") || status=$?
  [ "$status" -eq 0 ] || { cat "$work/$name.err" >&2; fail "$name: exit status $status"; }
  [ ! -s "$work/$name.err" ] || { cat "$work/$name.err" >&2; fail "$name: wrote to standard error"; }
  grep -q '^Init title="Stackrise"' "$work/$name.trace" || fail "$name: no Init in the trace"
  grep -q '^Act 200$' "$work/$name.trace" || fail "$name: the trace does not reach frame 200"
  grep -q '^DrawRect ' "$work/$name.trace" || fail "$name: no tower drawn"
  grep -q '^Free live=' "$work/$name.trace" || fail "$name: no Free in the trace"
  [ "$(head -c 8 "$work/$name.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
    fail "$name: $work/$name.png is not a PNG"
  echo "$name: status 0, $(wc -l <"$work/$name.trace") trace lines, $(wc -c <"$work/$name.png") bytes of PNG"
}
run shell "$prefix/bin/stackrise"
# The desktop entry's Exec line, split into words as a launcher would (it has no field codes).
# shellcheck disable=SC2086
run desktop $exec_line
