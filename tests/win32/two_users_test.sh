#!/bin/sh
# Two Unix users, each with a wine prefix of their own, sharing a program's
# folder: the second takes the lock the first left and, holding it (only a
# run that does sets a running program aside), sets aside the program it
# runs to put a newer version in. Needs root to switch users; 77 elsewhere.
#   two_users_test.sh WINE QUENNEL.EXE HELPER.EXE PREFIX CACHE
set -eu
wine=$1 quennel=$2 helper=$3 prefix=$4 cache=$5
[ "$(id -u)" = 0 ] && command -v setpriv >/dev/null && command -v useradd >/dev/null || exit 77
# What wine says goes to a file: anything of the users' that outlives the
# test then holds no pipe of the test runner's open.
log=$cache/two-users.log
fail() { printf '%s\n' "$*" >&2; cat "$log" >&2; exit 1; }
for who in a b; do  # made once, kept in the build tree
  id "quennel-$who" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "quennel-$who"
  if [ ! -f "$cache/$who/system.reg" ]; then
    mkdir -p "$cache/home-$who" && rm -rf "$cache/$who" && cp -a "$prefix" "$cache/$who"
    rm -f "$cache/$who/wineserver"  # names the root prefix's server
    chown -R "quennel-$who:" "$cache/$who" "$cache/home-$who"
  fi
done
as() {
  who=$1 && shift
  timeout 120 setpriv --reuid="quennel-$who" --regid="quennel-$who" --clear-groups env -u DISPLAY \
    HOME="$cache/home-$who" WINEPREFIX="$cache/$who" WINEDEBUG=-all "$@" </dev/null >>"$log" 2>&1
}
# A space in the paths: wine quotes them, as Quennel's command line wants.
dir=$(mktemp -d "/tmp/quennel two users.XXXXXX")
: >"$log"
# The test's own users run nothing else: whatever of theirs is left (a
# console host outlives its server) goes.
trap 'pkill -KILL -u quennel-a,quennel-b || :; rm -rf "$dir"' EXIT
chmod 755 "$dir" && mkdir -m 777 "$dir/app" && mkdir "$dir/new"
cp "$quennel" "$dir/quennel.exe" && cp "$helper" "$dir/app/Prog.exe" && touch -d 2000-01-01 "$dir/app/Prog.exe"
windows() { printf 'Z:%s' "$dir/$1" | tr / '\\'; }
update() {  # USER VERSION
  { cat "$helper"; printf 'v%s' "$2"; } >"$dir/new/Prog.exe" && touch -d "200$2-01-01" "$dir/new/Prog.exe"
  as "$1" "$wine" "$(windows quennel.exe)" "$(windows new/Prog.exe)" "$(windows app/Prog.exe)" || fail "$1: status $?"
  cmp -s "$dir/app/Prog.exe" "$dir/new/Prog.exe" || fail "$1 installed nothing"
  [ "$(stat -c %U "$dir/app/Prog.exe.quennel~lock")" = "quennel-$1" ] || fail "$1 holds no lock file of its own"
}
update a 2
as b "$wine" "$(windows app/Prog.exe)" --run 30000 none &
sleep 2
update b 3
ls "$dir/app" | grep -q '^Prog\.exe\.quennel~[0-9a-f]\{16\}\.old$' || fail "nothing set aside: $(ls "$dir/app")"
