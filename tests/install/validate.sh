#!/bin/sh
# The desktop's and Debian's checkers on the files a build installs, as a distribution runs them:
# desktop-file-validate on the desktop entry, appstreamcli validate --pedantic on the AppStream
# metadata (--no-net: the project's home is a placeholder until it has one), man's own warnings
# while it renders the manual page; then the facts they state against the build's:
#   validate.sh BUILD_DIR APP_ID VERSION RELEASE_DATE LICENSE
# Skipped (status 77) where a checker is missing.
set -eu
build=$1
id=$2
version=$3
date=$4
license=$5
for tool in desktop-file-validate appstreamcli man; do
  command -v "$tool" >/dev/null 2>&1 ||
    { echo "SKIP: $tool not found (apt-get install desktop-file-utils appstream man-db)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/stackrise-validate-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
desktop=$prefix/share/applications/$id.desktop
metainfo=$prefix/share/metainfo/$id.metainfo.xml
man=$prefix/share/man/man6/stackrise.6.gz

# The desktop entry: valid, a game, and tied to the window by its class (the app id).
desktop-file-validate "$desktop" >"$work/desktop.out" 2>&1 || { cat "$work/desktop.out" >&2; fail "desktop-file-validate"; }
[ ! -s "$work/desktop.out" ] || { cat "$work/desktop.out" >&2; fail "desktop-file-validate has remarks"; }
grep -qx "StartupWMClass=$id" "$desktop" || fail "StartupWMClass is not $id"
grep -qx 'Categories=Game;[A-Za-z]*;' "$desktop" || fail "Categories is not Game; with a sub-category"
grep -qx "Icon=$id" "$desktop" || fail "Icon is not $id"
echo "desktop-file-validate: no remarks"

# AppStream: valid at the pedantic level, naming this release with its date and the licence.
appstreamcli validate --pedantic --no-net "$metainfo" >"$work/as.out" 2>&1 ||
  { cat "$work/as.out" >&2; fail "appstreamcli validate --pedantic"; }
cat "$work/as.out"
grep -q "<release version=\"$version\" date=\"$date\">" "$metainfo" || fail "no release $version of $date"
grep -q "<project_license>$license</project_license>" "$metainfo" || fail "the licence is not $license"
grep -q "<id>$id</id>" "$metainfo" || fail "the id is not $id"
grep -q '<image type="source" width="1600" height="900">http[^<]*/docs/demo.png</image>' "$metainfo" ||
  fail "no screenshot of docs/demo.png"

# The icons: each PNG is as large as its folder says.
for size in 16 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png
  [ -f "$png" ] || fail "no $size px icon"
  read -r w h <<SIZE
$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4, $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
SIZE
  [ "$w $h" = "$size $size" ] || fail "the ${size}x$size icon is $w x $h"
done
echo "icons: 16 to 256 px"

# The manual page: rendered without a warning, dated by the release, of this version, with
# every section a manual page of a program has.
LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$man" >"$work/man.txt" 2>"$work/man.err" ||
  { cat "$work/man.err" >&2; fail "man -l failed"; }
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man -l warns"; }
tail -n 1 "$work/man.txt" | grep -q "Stackrise $version  *$date  *STACKRISE(6)" ||
  { tail -n 1 "$work/man.txt" >&2; fail "the manual page's footer lacks version $version or date $date"; }
for section in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT 'MOUSE AND KEYS' FILES 'EXIT STATUS' EXAMPLES; do
  grep -qx "$section" "$work/man.txt" || fail "the manual page has no $section section"
done
for option in --help --version; do
  grep -q -- "^       $option" "$work/man.txt" || fail "the manual page does not list $option"
done
echo "man -l: $(wc -l <"$work/man.txt") lines, no warning"
