#!/bin/sh
# An install under wine leaves its event: wine's ReportEventW keeps nothing,
# but prints each string on its eventlog debug channel. A start with nothing
# to install leaves none.
#   event_log_test.sh WINE QUENNEL.EXE HELPER.EXE
set -eu
wine=$1 quennel=$2 helper=$3
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$helper" "$dir/app é.exe"
touch -d 2001-01-01 "$dir/app é.exe"
{ cat "$helper"; echo v2; } >"$dir/new v.exe"
touch -d '2020-01-02 03:04:05.1234567 UTC' "$dir/new v.exe"

windows() { printf 'Z:%s' "$1" | tr / '\\'; }
# A path as wine's debug channel writes it: backslashes doubled, é as \00e9.
traced() { windows "$1" | sed 's/\\/\\\\/g; s/é/\\00e9/g'; }
events() {
  WINEDEBUG=-all,+eventlog DISPLAY='' WAYLAND_DISPLAY='' \
    "$wine" "$quennel" "$(windows "$dir/new v.exe")" "$(windows "$dir/app é.exe")" 2>&1 |
    grep -a 'eventlog:ReportEventW' || true
}

expected="ReportEventW L\"install\\00e9 : destination \\\"$(traced "$dir/app é.exe")\\\", source \\\"$(traced "$dir/new v.exe")\\\", $(stat -c %s "$dir/new v.exe") octets, modifi\\00e9 le 2020-01-02 03:04:05.123456700 UTC, utilisateur S-1-5-"
first=$(events)
case $first in
  *"$expected"*) ;;
  *) printf 'no install event; expected\n  %s\ngot\n  %s\n' "$expected" "$first" >&2; exit 1 ;;
esac
second=$(events)
[ -z "$second" ] || { printf 'an event for a start with nothing to install:\n  %s\n' "$second" >&2; exit 1; }
echo "install event: $first"
