#!/usr/bin/env bash
# Installs the Debian packages Quennel's build and tests need, once.
# Usage: scripts/setup.sh [build|bench|test]   (default: test, which is everything)
#   build  the Linux program, its window module and its Debian package
#   bench  that, and the Windows cross build run under wine
#   test   all of it, and the tests' tools
set -euo pipefail

build_packages=(g++ cmake make libfltk1.3-dev libx11-dev fonts-dejavu-core dpkg-dev)
windows_packages=(g++-mingw-w64-x86-64-posix wine64 python3)
test_packages=(libgtest-dev googletest xvfb xdotool x11-utils imagemagick lintian man-db
               acl libcap2-bin e2fsprogs dosfstools
               clang libclang-rt-dev)

wanted=("${build_packages[@]}")
case "${1:-test}" in
  build) ;;
  bench) wanted+=("${windows_packages[@]}") ;;
  test) wanted+=("${windows_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 [build|bench|test]" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q "${missing[@]}"
