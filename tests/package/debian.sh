#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks its control data and
# contents, has lintian check it (an error or a warning fails), unpacks it into
# a scratch root and runs the unpacked orvale on the sample; then reads the
# installed manual.
#   debian.sh BUILD_DIR SAMPLE VERSION [EMULATOR...]
# A cross build passes the emulator the unpacked orvale runs under.
set -euo pipefail
build=$1
sample=$2
version=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
deb=$(ls "$work"/out/orvale_"$version"_*.deb) || fail "no orvale_${version}_*.deb built"
info=$(dpkg-deb -I "$deb")
for field in "Package: orvale" "Version: $version" "Maintainer: " "Section: video" \
  "Description: extract H.264 video" "Depends: .*libc6"; do
  grep -q "^ *$field" <<<"$info" || fail "control lacks '$field'"
done
# The package depends on libstdc++6 exactly when the program loads it (a
# release build links it in; a sanitizer build does not).
if readelf -d "$build/orvale" | grep -q 'NEEDED.*libstdc++'; then
  grep -q "^ *Depends: .*libstdc++6" <<<"$info" || fail "control lacks libstdc++6 the program loads"
elif grep -q "^ *Depends: .*libstdc++" <<<"$info"; then
  fail "control depends on libstdc++ though the program carries it"
fi
# FFmpeg's libraries come from Debian's packages, each named after its soname
# (libavformat.so.59: libavformat59), at a version; the program loads them by
# those names when it makes an MP4 or Matroska file, so the package must pull
# in every one it names.
needed=$(strings "$build/orvale" | sed -n 's/^\(libav[a-z]*\)\.so\.\([0-9]*\)$/\1\2/p' | sort -u)
grep -q '^libavformat[0-9]' <<<"$needed" || fail "the program names no libavformat to load"
for library in $needed; do
  grep -qE "^ *Depends: (.*, )?$library \(>= [^)]+\)" <<<"$info" || fail "control lacks $library the program loads"
done
contents=$(dpkg-deb -c "$deb")
docs=./usr/share/doc/orvale
for file in ./usr/bin/orvale ./usr/share/man/man1/orvale.1.gz $docs/README.md $docs/LICENSE \
  $docs/copyright $docs/changelog.gz; do
  grep -q " $file\$" <<<"$contents" || fail "package lacks $file"
done
grep -qE 'kvxmux|gtest|include/' <<<"$contents" && fail "package carries build-only files"
lint=$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1) ||
  fail "lintian rejects the package:"$'\n'"$lint"

dpkg -x "$deb" "$work/root"
# gzip -9n: no name or time stamp (flag byte, bytes 4 to 7), best compression (byte 8).
for gz in ./usr/share/man/man1/orvale.1.gz $docs/changelog.gz; do
  [[ $(od -An -tu1 -j3 -N6 "$work/root/$gz" | tr -d ' ') == 000002 ]] || fail "$gz is not gzip -9n"
done
entry=$(gzip -dc "$work/root/$docs/changelog.gz" | sed -n 1p)
[[ $entry == "orvale ($version) "* ]] || fail "changelog entry is not for $version: $entry"
copyright=$(cat "$work/root/$docs/copyright")
for line in "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" \
  "Copyright: [0-9]" "License: Expat" " Permission is hereby granted"; do
  grep -q "^$line" <<<"$copyright" || fail "copyright lacks '$line'"
done
cp "$sample" "$work/clip.kvx"
"${@:4}" "$work/root/usr/bin/orvale" "$work/clip.kvx" >"$work/out.txt" 2>&1 || fail "installed orvale failed: $(cat "$work/out.txt")"
[[ -s $work/out.txt ]] && fail "installed orvale printed: $(cat "$work/out.txt")"
for output in clip.kvx.264 clip.kvx.0.aac clip.kvx.1.aac; do
  [[ -s $work/$output ]] || fail "installed orvale did not write $output"
done
MANWIDTH=80 man -l "$work/root/usr/share/man/man1/orvale.1.gz" 2>/dev/null | grep -q "^NAME" ||
  fail "installed manual does not render"
echo "debian: 1 passed, 0 failed"
