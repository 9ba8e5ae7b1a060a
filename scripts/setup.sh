#!/usr/bin/env bash
# Installs the Debian packages Quennel's build and tests need, once.
# Usage: scripts/setup.sh [build|test]   (default: test, which is everything)
set -euo pipefail

build_packages=(g++ cmake make libfltk1.3-dev libx11-dev fonts-dejavu-core)
test_packages=(libgtest-dev googletest xvfb xdotool x11-utils imagemagick python3 acl libcap2-bin e2fsprogs dosfstools
               g++-mingw-w64-x86-64-posix wine64 clang libclang-rt-14-dev)

wanted=("${build_packages[@]}")
[ "${1:-test}" = build ] || wanted+=("${test_packages[@]}")

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
