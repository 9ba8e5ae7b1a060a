#!/bin/sh
# Under wine, an install's event shows on the eventlog debug channel (wine's
# ReportEventW keeps nothing but prints its strings there).
#   event_log_test.sh WINE QUENNEL.EXE HELPER.EXE
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cp "$3" "$dir/app é.exe" && touch -d 2001-01-01 "$dir/app é.exe"
{ cat "$3"; echo v2; } >"$dir/new v.exe" && touch -d '2020-01-02 03:04:05.1234567 UTC' "$dir/new v.exe"
windows() { printf 'Z:%s' "$dir/$1" | tr / '\\'; }
traced() { windows "$1" | sed 's/\\/\\\\/g; s/é/\\00e9/g'; }  # as the channel writes a path
got=$(WINEDEBUG=-all,+eventlog DISPLAY='' "$1" "$2" "$(windows 'new v.exe')" "$(windows 'app é.exe')" 2>&1 |
  grep -a 'eventlog:ReportEventW' || true)
expected="ReportEventW L\"install\\00e9 : destination \\\"$(traced 'app é.exe')\\\", source \\\"$(traced 'new v.exe')\\\", "
expected="$expected$(stat -c %s "$dir/new v.exe") octets, modifi\\00e9 le 2020-01-02 03:04:05.123456700 UTC, utilisateur S-1-5-"
case $got in *"$expected"*) ;; *) printf 'expected\n  %s\ngot\n  %s\n' "$expected" "$got" >&2; exit 1 ;; esac
