#!/bin/sh
# cmake --install into a new temporary prefix: the layout must be exactly the expected files
# (no tests, benchmarks or test libraries), and the installed copy must run from elsewhere.
#   install_tree.sh BUILD_DIR APP_ID
set -eu
build=$1
id=$2
here=$(dirname "$0")
work=$(mktemp -d /tmp/stackrise-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) >"$work/found"
sort >"$work/expected" <<LIST
bin/stackrise
lib/stackrise/stackrise
lib/stackrise/Data/Lumen.lmd
share/applications/$id.desktop
share/metainfo/$id.metainfo.xml
share/icons/hicolor/16x16/apps/$id.png
share/icons/hicolor/32x32/apps/$id.png
share/icons/hicolor/48x48/apps/$id.png
share/icons/hicolor/64x64/apps/$id.png
share/icons/hicolor/128x128/apps/$id.png
share/icons/hicolor/256x256/apps/$id.png
share/doc/stackrise/README
share/doc/stackrise/lumen.md
share/doc/stackrise/copyright
share/doc/stackrise/changelog.gz
share/man/man6/stackrise.6.gz
LIST
if ! diff -u "$work/expected" "$work/found"; then
  echo "FAIL: the installed files differ from the layout above (- expected, + found)" >&2
  exit 1
fi
"$here/run_installed.sh" "$prefix" "$id"
