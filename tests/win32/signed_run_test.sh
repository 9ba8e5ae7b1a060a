#!/bin/sh
# One whole signed run under wine, set up as an administrator would:
# quennel.exe beside trusted-keys.txt, a signed version on the share, which
# --verify accepts in an information box (and refuses with a byte more). Its signature goes in beside the
# program, where minisign verifies it; then an earlier genuine signed
# version, put back with a fresh time, is refused with the box, and the
# program starts as it was, with the marker.
#   signed_run_test.sh WINE QUENNEL.EXE HELPER.EXE FIXTURE MINISIGN
set -eu
wine=$1 quennel=$2 helper=$3 fixture=$4 minisign=$5
# On C:, whose folders only their owner may change: the keys are believed.
dir=$(mktemp -d "${WINEPREFIX:?}/drive_c/signed run.XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin" "$dir/share" "$dir/App"
cp "$quennel" "$fixture/trusted-keys.txt" "$dir/bin/"
cp "$helper" "$dir/App/Prog.exe" && touch -d 2001-01-01 "$dir/App/Prog.exe"
windows() { printf 'C:%s' "${1#"$WINEPREFIX/drive_c"}" | tr / '\\'; }
fail() { printf '%s\n' "$*" >&2; exit 1; }
# Signed as Programme.exe, published as PROGRAMME.exe: one name on Windows.
share=$dir/share/PROGRAMME.exe
# Publishes the signed version in FOLDER, with a fresh time, and starts
# Quennel: the boxes it shows, as wine's relay channel traces them.
run() {
  cp "$1/Programme.exe" "$share" && cp "$1/Programme.exe.minisig" "$share.minisig" && touch "$share"
  WINEDEBUG=-all,+relay DISPLAY='' "$wine" "$(windows "$dir/bin/quennel.exe")" \
    "$(windows "$share")" "$(windows "$dir/App/Prog.exe")" /x 2>&1 |
    grep -a 'user32.MessageBoxW' || true
}
verify() {
  WINEDEBUG=-all,+relay DISPLAY='' "$wine" "$(windows "$dir/bin/quennel.exe")" "--verify=$(windows "$share")" \
    >"$dir/verify" 2>&1
}
cp "$fixture/Programme.exe.minisig" "$share.minisig"
{ cat "$fixture/Programme.exe"; printf '!'; } >"$share"
! verify || fail "--verify accepts a byte more than was signed"
cp "$fixture/Programme.exe" "$share"
verify || fail "--verify refuses the signed version"
grep -aq 'user32.MessageBoxW(.*L"Quennel",00010040)' "$dir/verify" || fail "no information box titled Quennel"
[ -z "$(run "$fixture")" ] || fail "a box for the signed version"
cmp "$dir/App/Prog.exe" "$fixture/Programme.exe" || fail "not the signed version"
cmp "$dir/App/Prog.exe.minisig" "$fixture/Programme.exe.minisig" || fail "its signature is not beside it"
"$minisign" -Vm "$dir/App/Prog.exe" -p "$fixture/key.pub" >/dev/null || fail "minisign refuses what went in"

case $(run "$fixture/earlier") in
  *"Call user32.MessageBoxW"*"Version plus ancienne que l'install\\00e9e"*) ;;
  *) fail "no box for the replay" ;;
esac
cmp "$dir/App/Prog.exe" "$fixture/Programme.exe" || fail "the earlier version went in"
case $(iconv -f UTF-16LE "$dir/App/Prog.exe.starts" | tail -n 1) in *' /x (~!~)') ;; *) fail "started unmarked" ;; esac
