#!/bin/sh
# The Windows tests' signed versions, made as a publisher makes them: a
# minisign key, its public half as trusted-keys.txt, the test helper grown
# by two bytes, signed as Programme.exe; and in earlier/, an earlier version
# of it signed a day before with the same key.
#   sign_fixture.sh MINISIGN HELPER_EXE OUT_FOLDER
set -eu
minisign=$1 helper=$2 out=$3
rm -rf "$out"
mkdir -p "$out/earlier"
"$minisign" -G -W -p "$out/key.pub" -s "$out/key.key" >/dev/null
cp "$out/key.pub" "$out/trusted-keys.txt"
{ cat "$helper"; printf v1; } >"$out/earlier/Programme.exe"
yesterday=$(($(date +%s) - 86400))
"$minisign" -S -s "$out/key.key" -m "$out/earlier/Programme.exe" \
  -t "$(printf 'timestamp:%s\tfile:Programme.exe\thashed' "$yesterday")" >/dev/null
{ cat "$helper"; printf v2; } >"$out/Programme.exe"
"$minisign" -S -s "$out/key.key" -m "$out/Programme.exe" >/dev/null
