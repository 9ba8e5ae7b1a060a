#!/usr/bin/env bash
# Builds Quennel and runs every test: the Linux build (unit, backend and
# window tests, the install and the package), the same under the
# sanitizers, the fuzzers for a minute, then the Windows build under wine.
# Any part that cannot run fails the whole.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh test

cmake -S . -B build -DQUENNEL_TESTS=ON >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure

# The Linux suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
cmake -S . -B build-asan -DQUENNEL_TESTS=ON -DQUENNEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j2
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp ctest --test-dir build-asan --output-on-failure

# The command-line grammar and the argument quoting under libFuzzer.
scripts/fuzz.sh

scripts/test-windows.sh
