#!/bin/sh
# The Windows tests' signed version, made as a publisher makes one: a
# minisign key, its public half as trusted-keys.txt, and the test helper
# grown by two bytes, signed as Programme.exe.
#   sign_fixture.sh MINISIGN HELPER_EXE OUT_FOLDER
set -eu
minisign=$1 helper=$2 out=$3
rm -rf "$out"
mkdir -p "$out"
"$minisign" -G -W -p "$out/key.pub" -s "$out/key.key" >/dev/null
cp "$out/key.pub" "$out/trusted-keys.txt"
{ cat "$helper"; printf v2; } >"$out/Programme.exe"
"$minisign" -S -s "$out/key.key" -m "$out/Programme.exe" >/dev/null
