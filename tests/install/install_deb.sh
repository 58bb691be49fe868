#!/bin/sh
# Builds the Debian package of a build tree with cpack, checks its control fields, unpacks it
# with dpkg-deb -x and runs the unpacked program headless from a folder of its own.
#   install_deb.sh BUILD_DIR VERSION APP_ID
# Skipped (status 77) where the Debian packaging tools are missing.
set -eu
build=$1
version=$2
id=$3
here=$(dirname "$0")
for tool in cpack dpkg-deb dpkg-shlibdeps file; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not found (apt-get install dpkg-dev file)"; exit 77; }
done
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/stackrise-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
set -- "$work"/pkg/stackrise_"$version"_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || { ls "$work/pkg" >&2; fail "no single stackrise_${version}_*.deb"; }
deb=$1
echo "$(basename "$deb"): $(wc -c <"$deb") bytes"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = stackrise ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ -n "$(field Description)" ] || fail "no Description"
[ -n "$(field Homepage)" ] || fail "no Homepage"
# Dependencies come from dpkg-shlibdeps: the C and C++ runtimes at least.
depends=$(field Depends)
echo "Depends: $depends"
case "$depends" in *libc6*) ;; *) fail "Depends lacks libc6" ;; esac
case "$depends" in *libstdc++6*) ;; *) fail "Depends lacks libstdc++6" ;; esac

dpkg-deb -x "$deb" "$work/root"
# The documents: the user's short README (not the developer's), the licence in the copyright file.
doc=$work/root/usr/share/doc/stackrise
[ -f "$doc/README" ] || fail "no user README in the package"
[ ! -e "$doc/README.md" ] || fail "the developer's README.md is in the package"
grep -q '^License: Expat$' "$doc/copyright" || fail "the copyright file names no Expat (MIT) licence"
grep -q '^ Permission is hereby granted, free of charge' "$doc/copyright" || fail "the copyright file lacks the licence's text"
"$here/run_installed.sh" "$work/root/usr" "$id"
