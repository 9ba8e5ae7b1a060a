#!/usr/bin/env bash
# Builds libsodium for the Windows program, static, with the mingw-w64 cross
# compiler, from Debian's own libsodium source package (Debian ships no
# mingw build of it), and keeps the result: a later run with the same
# source version does nothing. The first build takes a few minutes.
# Prints the folder it installed into (include/, lib/libsodium.a), which
# cmake/mingw-w64.cmake looks in:
#   ${QUENNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quennel}/libsodium-mingw64
# Needs: dpkg-dev, autoconf, automake, libtool, make, the mingw-w64 compiler
# (scripts/setup.sh installs them); root or sudo, once, to add a deb-src
# entry for the system's own Debian archive when there is none.
set -euo pipefail

cache=${QUENNEL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quennel}
prefix=$cache/libsodium-mingw64
host=x86_64-w64-mingw32

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The newest libsodium source the system's archive offers.
source_version() {
  apt-cache showsrc --only-source libsodium 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n 1 || true
}

version=$(source_version)
if [ -z "$version" ]; then
  # No deb-src entry yet: one for each Debian archive the system already
  # uses for binary packages, in the same places.
  echo "Adding deb-src entries beside the system's Debian archives" >&2
  list=/etc/apt/sources.list.d/quennel-deb-src
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk 'BEGIN { RS = ""; FS = "\n" }
         { stanza = ""; binary = 0
           for (i = 1; i <= NF; i++) {
             line = $i
             if (line ~ /^Types:/ && line ~ /[ \t]deb([ \t]|$)/) { line = "Types: deb-src"; binary = 1 }
             stanza = stanza line "\n"
           }
           if (binary) printf "%s\n", stanza }' \
      /etc/apt/sources.list.d/debian.sources | $sudo tee "$list.sources" >/dev/null
  fi
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list | $sudo tee "$list.list" >/dev/null
  fi
  $sudo apt-get update -q >&2
  version=$(source_version)
  [ -n "$version" ] || { echo "libsodium's Debian source package cannot be found" >&2; exit 1; }
fi

if [ -f "$prefix/lib/libsodium.a" ] && [ "$(cat "$prefix/VERSION" 2>/dev/null)" = "$version" ]; then
  echo "$prefix"
  exit 0
fi

echo "Building libsodium $version for $host (static), into $prefix" >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"  # apt's own user fetches into it
(
  cd "$work"
  apt-get source --download-only "libsodium=$version" >&2
  # Debian's patches applied; the signature on the .dsc is the archive's
  # own, already checked by apt.
  dpkg-source --no-check -x libsodium_*.dsc src >&2
  cd src
  # The original tarball has no configure script.
  ./autogen.sh -s >&2
  ./configure --host="$host" --prefix="$prefix.new" --disable-shared --enable-static \
    --disable-dependency-tracking >&2
  make -j"$(nproc)" >&2
  rm -rf "$prefix.new"
  make install >&2
)
echo "$version" >"$prefix.new/VERSION"
rm -rf "$prefix"
mv "$prefix.new" "$prefix"
echo "$prefix"
