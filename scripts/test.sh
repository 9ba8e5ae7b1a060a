#!/usr/bin/env bash
# Builds Quennel and runs every test: the Linux build (unit, backend and
# window tests), then the Windows build under wine when its scripts exist.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

cmake -S . -B build -DQUENNEL_TESTS=ON >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure

if [ -x scripts/test-windows.sh ]; then
  scripts/test-windows.sh
fi
