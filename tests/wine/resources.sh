#!/bin/sh
# The resources of stackrise.exe read back with icoutils' wrestool, as Explorer and the loader
# read them: group icon 101 with six images (16 to 256 px), the version information (product,
# versions, description, copyright) and the manifest (per-monitor DPI awareness v2, the UTF-8
# code page, common controls 6).
#   resources.sh EXE VERSION COPYRIGHT
set -eu
exe=$1
version=$2
copyright=$3
command -v wrestool >/dev/null 2>&1 || { echo "FAIL: wrestool not found (scripts/setup-windows installs icoutils)" >&2; exit 1; }
fail() { echo "FAIL: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/stackrise-resources-XXXXXX)
trap 'rm -rf "$work"' EXIT

wrestool -l "$exe" >"$work/list" || fail "wrestool -l $exe"
cat "$work/list"
grep -q -- '--type=14 --name=101 ' "$work/list" || fail "no group icon 101"
[ "$(grep -c -- '--type=3 ' "$work/list")" -eq 6 ] || fail "not six icon images"
grep -q -- '--type=16 --name=1 ' "$work/list" || fail "no version information"
grep -q -- '--type=24 --name=1 ' "$work/list" || fail "no manifest (type 24, name 1)"

# The group icon, extracted as an .ico: icotool lists its sizes.
wrestool -x -t14 -n101 "$exe" -o "$work/icon.ico" || fail "wrestool -x the group icon"
icotool -l "$work/icon.ico" >"$work/icons" || fail "icotool -l"
for size in 16 32 48 64 128 256; do
  grep -q -- "--width=$size --height=$size --bit-depth=32" "$work/icons" || { cat "$work/icons" >&2; fail "no $size px image at 32 bits"; }
done

# The version information: UTF-16 strings in the resource; read as text without the zero bytes.
wrestool -x --raw --type=16 --name=1 "$exe" | tr -d '\000' >"$work/version" || fail "wrestool -x the version"
for pair in "ProductName:Stackrise" "ProductVersion:$version" "FileVersion:$version" \
            "FileDescription:Stackrise: " "LegalCopyright:Copyright (c) $copyright" \
            "OriginalFilename:stackrise.exe"; do
  key=${pair%%:*}
  value=${pair#*:}
  grep -aq -- "$key$value" "$work/version" || fail "version information: no $key \"$value\""
done
echo "version information: Stackrise $version, Copyright (c) $copyright"

wrestool -x --raw --type=24 --name=1 "$exe" >"$work/manifest" || fail "wrestool -x the manifest"
for want in '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2</dpiAwareness>' \
            '<activeCodePage xmlns="http://schemas.microsoft.com/SMI/2019/WindowsSettings">UTF-8</activeCodePage>' \
            'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'; do
  grep -q -- "$want" "$work/manifest" || fail "the manifest lacks $want"
done
echo "manifest: per-monitor DPI v2, UTF-8 code page, common controls 6"
