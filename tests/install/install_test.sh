#!/bin/sh
# What a user gets from an install: the options, the manual, the package.
#   install_test.sh help QUENNEL             --help on standard output, status 0; 1 when unwritable
#   install_test.sh manpage PAGE             the manual renders, with its sections
#   install_test.sh package CPACK CONFIG VERSION VERSION_TEXT
#                                            the Debian package: name, contents, fields,
#                                            lintian, and the binary run from an unpacked root
#   install_test.sh zip CPACK CONFIG VERSION EXE   the Windows zip: quennel.exe, README, LICENSE
set -u

mode=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

USAGE='Donnez le programme source entre guillements, un espace, et le programme destination entre guillemets en paramètre svp.'

case_help() {
  quennel=$1
  "$quennel" --help >"$work/out" 2>"$work/err"
  status=$?
  [ "$status" = 0 ] || fail "--help exited with status $status"
  [ ! -s "$work/err" ] || fail "--help wrote to standard error: $(cat "$work/err")"
  [ "$(sed -n 1p "$work/out")" = "$USAGE" ] || fail "--help does not start with the usage text: $(cat "$work/out")"
  grep -q '^Usage: quennel "NEW" "INSTALLED" \[ARGUMENT\.\.\.\]$' "$work/out" ||
    fail "--help shows no synopsis: $(cat "$work/out")"
  # Only alone is it an option; with a second argument both are paths, and
  # the program "missing" cannot be started.
  (cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY "$quennel" --help missing >"$work/out" 2>"$work/err")
  status=$?
  [ "$status" = 1 ] || fail "'--help missing' exited with status $status, not 1"
  [ ! -s "$work/out" ] || fail "'--help missing' printed help"
  grep -q "Erreur d'exécution" "$work/err" || fail "'--help missing' did not try to start 'missing': $(cat "$work/err")"
  if [ -w /dev/full ]; then
    "$quennel" --help >/dev/full 2>"$work/err"
    status=$?
    [ "$status" = 1 ] || fail "--help into a full device exited with status $status, not 1"
    grep -q 'No space left on device' "$work/err" || fail "no reason given for the failed write: $(cat "$work/err")"
  fi
}

case_manpage() {
  page=$1
  command -v man >/dev/null 2>&1 || fail "man is missing (Debian: man-db)"
  MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" >"$work/page" 2>"$work/warnings" ||
    fail "man could not render $page: $(cat "$work/warnings")"
  [ ! -s "$work/warnings" ] || fail "groff warnings: $(cat "$work/warnings")"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS 'EXIT STATUS' ENVIRONMENT FILES EXAMPLES; do
    grep -q "^$section\$" "$work/page" || fail "no $section section in the rendered page"
  done
  for text in '(~!~)' 'Exec=sh -c' 'quennel-fltk.so' 'WAYLAND_DISPLAY' '--help' '--verify=' 'trusted-keys.d' 'minisign -Sm'; do
    grep -qF -- "$text" "$work/page" || fail "the page does not mention $text"
  done
  ! grep -qE '@[A-Z_]+@' "$work/page" || fail "a placeholder was left unfilled: $(grep -E '@[A-Z_]+@' "$work/page")"
  # groff's own checks, every warning on.
  case "$page" in *.gz) zcat "$page" ;; *) cat "$page" ;; esac >"$work/page.roff"
  groff -ww -man -Tutf8 "$work/page.roff" >/dev/null 2>"$work/groff" || fail "groff failed: $(cat "$work/groff")"
  [ ! -s "$work/groff" ] || fail "groff -ww: $(cat "$work/groff")"
  # Every entry of FILES stands alone: a path, then its text indented below.
  sed -n '/^FILES$/,/^[A-Z]/p' "$work/page" | grep -E '^       [^ ]' >"$work/entries"
  for path in quennel-fltk.so /dev/log /etc/quennel/trusted-keys /etc/quennel/trusted-keys.d; do
    grep -qE "$path\$" "$work/entries" || fail "FILES has no entry of its own for $path: $(cat "$work/entries")"
  done
}

# Runs cpack $1 with generator $3 and config $2; fails unless it made $work/out/$4.
make_package() {
  "$1" -G "$3" --config "$2" -B "$work/out" >"$work/cpack.log" 2>&1 || fail "cpack failed: $(cat "$work/cpack.log")"
  [ -f "$work/out/$4" ] || fail "no $4; made: $(ls "$work/out")"
}

case_package() {
  version=$3 version_text=$4
  deb="$work/out/quennel_${version}_$(dpkg --print-architecture).deb"
  make_package "$1" "$2" DEB "$(basename "$deb")"

  dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | sort >"$work/files"
  # Quennel's own paths, as the README and the manual name them.
  for file in /usr/bin/quennel /usr/lib/quennel/quennel-fltk.so /usr/share/man/man1/quennel.1.gz \
              /usr/share/doc/quennel/copyright /usr/share/doc/quennel/changelog.gz \
              /usr/share/doc/quennel/README.md /etc/quennel/ /etc/quennel/trusted-keys.d/; do
    grep -qx "$file" "$work/files" || fail "the package lacks $file"
  done
  ! grep -q '/usr/share/man/man1/quennel\.1$' "$work/files" || fail "an uncompressed manual in the package"
  # The folder for the administrator's trusted keys, and nothing in it that
  # would switch signature checking on by itself.
  ! grep -v '/$' "$work/files" | grep '^/etc/' || fail "the package puts a file into /etc/quennel/"

  field() { dpkg-deb -f "$deb" "$1"; }
  [ "$(field Package)" = quennel ] || fail "Package: $(field Package)"
  [ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
  [ "$(field Section)" = utils ] || fail "Section: $(field Section)"
  [ -n "$(field Maintainer)" ] || fail "no Maintainer"
  [ "$(dpkg-deb -f "$deb" Description | wc -l)" -ge 3 ] || fail "no long description"
  # Hard dependencies: the C and C++ runtimes only; the window's libraries
  # are recommended.
  depends=$(field Depends)
  echo "$depends" | grep -q '^libc6' || fail "Depends lacks libc6: $depends"
  echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -vxE 'libc6|libstdc\+\+6|libgcc-s1' &&
    fail "Depends holds more than the C and C++ runtimes: $depends"
  field Recommends | grep -q 'libfltk1\.3' || fail "Recommends lacks FLTK: $(field Recommends)"

  # Unpacked into a root of its own, the installed binary runs.
  dpkg-deb -x "$deb" "$work/root" || fail "dpkg-deb -x failed"
  [ "$("$work/root/usr/bin/quennel" --version)" = "Quennel $version_text" ] ||
    fail "the installed binary says: $("$work/root/usr/bin/quennel" --version 2>&1)"
  head -n 1 "$work/root/usr/share/doc/quennel/copyright" |
    grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
    fail "copyright is not in the machine-readable format"
  grep -q 'Copyright: 2026 the Quennel authors' "$work/root/usr/share/doc/quennel/copyright" ||
    fail "copyright does not name the authors"
  case_manpage "$work/root/usr/share/man/man1/quennel.1.gz"

  command -v lintian >/dev/null 2>&1 || fail "lintian is missing (Debian: lintian)"
  lintian --fail-on error "$deb" >"$work/lintian" 2>&1 || fail "lintian: $(cat "$work/lintian")"
  grep '^E:' "$work/lintian" && fail "lintian reports errors"
  return 0
}

case_zip() {
  version=$3 exe=$4
  zip="$work/out/quennel-$version-win64.zip"
  make_package "$1" "$2" ZIP "$(basename "$zip")"
  python3 -m zipfile -e "$zip" "$work/unpacked" || fail "the zip does not unpack"
  (cd "$work/unpacked" && find . -type f | sort) >"$work/files"
  top="./quennel-$version-win64"
  printf '%s\n' "$top/LICENSE" "$top/README.md" "$top/quennel.exe" | cmp -s - "$work/files" ||
    fail "the zip holds: $(cat "$work/files")"
  cmp -s "$exe" "$work/unpacked/$top/quennel.exe" || fail "the zip's quennel.exe is not the one built"
  grep -q 'Copyright 2026 the Quennel authors' "$work/unpacked/$top/LICENSE" || fail "LICENSE lacks the copyright line"
}

case "$mode" in
  help) case_help "$@" ;;
  zip) case_zip "$@" ;;
  manpage) case_manpage "$@" ;;
  package) case_package "$@" ;;
  *) fail "unknown mode $mode" ;;
esac
echo "ok: $mode"
