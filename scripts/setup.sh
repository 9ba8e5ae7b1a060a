#!/usr/bin/env bash
# Installs the Debian packages Quennel's build and tests need, once.
# Usage: scripts/setup.sh [build|bench|test]   (default: test, which is everything)
#   build  the Linux program, its window module and its Debian package
#   bench  that, and the Windows cross build run under wine
#   test   all of it, and the tests' tools
# For the Windows program it also builds libsodium with the cross compiler,
# once (scripts/libsodium-mingw.sh keeps it in the user's cache).
set -euo pipefail

build_packages=(g++ cmake make libfltk1.3-dev libx11-dev fonts-dejavu-core dpkg-dev libsodium-dev)
windows_packages=(g++-mingw-w64-x86-64-posix wine64 python3 autoconf automake libtool)
test_packages=(libgtest-dev googletest xvfb xdotool x11-utils imagemagick lintian man-db
               acl libcap2-bin e2fsprogs dosfstools xfsprogs procps
               clang libclang-rt-dev)
# Makes the keys and signatures of the tests and the benchmark.
signing_packages=(minisign)
# Dates the benchmark's runs past the wait a version just published gets.
bench_packages=(faketime)

wanted=("${build_packages[@]}")
case "${1:-test}" in
  build) ;;
  bench) wanted+=("${windows_packages[@]}" "${signing_packages[@]}" "${bench_packages[@]}") ;;
  test) wanted+=("${windows_packages[@]}" "${test_packages[@]}" "${signing_packages[@]}" "${bench_packages[@]}") ;;
  *) echo "usage: $0 [build|bench|test]" >&2; exit 2 ;;
esac
windows_libsodium() {
  [ "${1:-test}" = build ] || "$(dirname "$0")/libsodium-mingw.sh" >/dev/null
}

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  windows_libsodium "$@"
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
windows_libsodium "$@"
