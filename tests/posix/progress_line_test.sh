#!/bin/sh
# The headless progress line of a slow copy: on standard error when it is a
# terminal (a pseudo-terminal from script), absent when it is a pipe.
#   progress_line_test.sh QUENNEL SLOWCOPY_LIBRARY
set -u
quennel=$1 slow=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Copies a 1 MiB new version (about 0.6 s, slowed) over an older one.
run() {
  head -c 1048576 /dev/urandom >"$work/new"
  printf 'old\n' >"$work/installed"
  chmod 755 "$work/installed"
  touch -d '1 day ago' "$work/installed"
}

run
# script gives the program a terminal on all three streams and copies what
# it writes; the installed "program" is random bytes, so its start fails
# with a report, which must begin on a fresh line.
script -qec "env -u DISPLAY -u WAYLAND_DISPLAY LD_PRELOAD='$slow' ASAN_OPTIONS=verify_asan_link_order=0 \
  '$quennel' '$work/new' '$work/installed'" /dev/null >"$work/tty.out" 2>&1 </dev/null
cmp -s "$work/new" "$work/installed" || fail "the new version was not installed"
tr '\r' '\n' <"$work/tty.out" >"$work/tty.lines"
grep -Eq '^Mise à jour : [0-9]{1,2} %$' "$work/tty.lines" || fail "no progress under 100 %: $(cat "$work/tty.out")"
grep -q "$(printf 'Mise à jour : 100 %%\r$')" "$work/tty.out" ||
  fail "the line does not end at 100 % with a newline: $(od -c "$work/tty.out" | head -20)"
# Each update rewrites the one line: no newline before the last.
[ "$(grep -c 'Mise à jour' "$work/tty.out")" = 1 ] || fail "the progress took several lines"

run
env -u DISPLAY -u WAYLAND_DISPLAY LD_PRELOAD="$slow" ASAN_OPTIONS=verify_asan_link_order=0 \
  "$quennel" "$work/new" "$work/installed" 2>&1 </dev/null | cat >"$work/pipe.out"
cmp -s "$work/new" "$work/installed" || fail "the new version was not installed through a pipe"
! grep -q 'Mise à jour' "$work/pipe.out" || fail "progress written to a pipe: $(cat "$work/pipe.out")"
grep -q 'Erreur' "$work/pipe.out" || fail "the run through a pipe did not get as far as the start"
echo ok
