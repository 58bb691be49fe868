#!/bin/sh
# lintian --pedantic on the Debian package of a build tree, as the distribution checks a
# package: every tag it reports (errors, warnings, informational and pedantic ones) fails.
#   lintian_deb.sh BUILD_DIR VERSION
# Skipped (status 77) where lintian or the packaging tools are missing.
set -eu
build=$1
version=$2
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null 2>&1 || { echo "SKIP: $tool not found (apt-get install dpkg-dev lintian)"; exit 77; }
done
work=$(mktemp -d /tmp/stackrise-lintian-XXXXXX)
trap 'rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; echo "FAIL: cpack -G DEB failed" >&2; exit 1; }
deb=$work/pkg/stackrise_${version}_amd64.deb
[ -f "$deb" ] || { ls "$work/pkg" >&2; echo "FAIL: no $(basename "$deb")" >&2; exit 1; }
status=0
lintian --pedantic --display-info --display-level '>=pedantic' "$deb" >"$work/lintian.out" 2>&1 || status=$?
# Tags are "X: package: tag ..." lines; lintian's remark about running as root is none.
if grep -E '^[EWIPX]: ' "$work/lintian.out" >&2 || [ "$status" -ne 0 ]; then
  cat "$work/lintian.out" >&2
  echo "FAIL: lintian --pedantic reports the tags above (status $status)" >&2
  exit 1
fi
echo "lintian --pedantic $(basename "$deb"): no tags"
