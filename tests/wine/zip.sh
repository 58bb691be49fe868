#!/bin/sh
# The .zip of the Windows build, made by cpack as the release makes it: exactly the program,
# Lumen, a short README.txt and LICENSE.txt (both with Windows line ends) in one folder; the
# program stripped and still carrying its resources; and the unpacked folder runs under Wine.
#   zip.sh BUILD_DIR VERSION WINEPREFIX
set -eu
build=$1
version=$2
export WINEPREFIX="$3" WINEDEBUG=-all
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack unzip x86_64-w64-mingw32-objdump wrestool; do
  command -v "$tool" >/dev/null 2>&1 || fail "$tool not found (scripts/setup-windows installs it)"
done
work=$(mktemp -d "/tmp/stackrise zip ü-XXXXXX")
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G ZIP -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G ZIP failed"; }
name=stackrise-$version-win64
zip=$work/pkg/$name.zip
[ -f "$zip" ] || { ls "$work/pkg" >&2; fail "no $name.zip"; }
unzip -q "$zip" -d "$work/out"
(cd "$work/out" && find . -type f | sed 's|^\./||' | sort) >"$work/found"
printf '%s\n' "$name/Data/Lumen.lmd" "$name/LICENSE.txt" "$name/README.txt" "$name/stackrise.exe" >"$work/expected"
diff -u "$work/expected" "$work/found" || fail "the .zip's files differ (- expected, + found)"
dir=$work/out/$name
echo "$name.zip: $(wc -c <"$zip") bytes; stackrise.exe $(wc -c <"$dir/stackrise.exe"), Lumen.lmd $(wc -c <"$dir/Data/Lumen.lmd") bytes"

# Stripped: no symbol table and no debugging sections left; the resources stay.
for file in stackrise.exe Data/Lumen.lmd; do
  x86_64-w64-mingw32-objdump -h "$dir/$file" >"$work/sections"
  ! grep -q ' \.debug_' "$work/sections" || fail "$file carries debugging sections"
  x86_64-w64-mingw32-objdump -t "$dir/$file" | grep -q 'SYMBOL TABLE:' &&
    [ "$(x86_64-w64-mingw32-objdump -t "$dir/$file" | grep -c '^\[')" -eq 0 ] || fail "$file keeps its symbols"
done
wrestool -l "$dir/stackrise.exe" | grep -q -- '--type=24 ' || fail "the stripped exe lost its manifest"

# The texts: Windows line ends, the licence's title, the README naming what to keep together.
for text in README.txt LICENSE.txt; do
  [ "$(grep -c "$(printf '\r')\$" "$dir/$text")" -eq "$(wc -l <"$dir/$text")" ] || fail "$text has lines without CR LF"
done
grep -q '^MIT License' "$dir/LICENSE.txt" || fail "LICENSE.txt is not the MIT licence"
grep -q 'Data\\Lumen.lmd' "$dir/README.txt" || fail "README.txt does not say to keep Data\\Lumen.lmd beside the exe"

# The unpacked folder (in a path with a space and an accent) plays a script under Wine.
printf '0 seed 1\n10 move 100 880\n10 press left\n20 move 300 880\n22 release left\n60 quit\n' >"$work/drag.script"
status=0
(cd "$work" && LUMEN_SCRIPT="$work/drag.script" LUMEN_TRACE="$work/trace.txt" \
   /usr/lib/wine/wine64 "$dir/stackrise.exe" </dev/null >"$work/out.txt" 2>"$work/err.txt") || status=$?
[ "$status" -eq 0 ] || { cat "$work/err.txt" >&2; fail "the unpacked stackrise.exe ended with status $status"; }
grep -q '^Init title="Stackrise"' "$work/trace.txt" || fail "no Init in the unpacked run's trace"
grep -q '^DrawRect ' "$work/trace.txt" || fail "the unpacked run drew no tower"
grep -q '^Free live=' "$work/trace.txt" || fail "the unpacked run never called Free"
echo "unpacked stackrise.exe: status 0, $(wc -l <"$work/trace.txt") trace lines"
