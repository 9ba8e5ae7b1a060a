#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a
# while (FUZZ_SECONDS, default 30) from the committed seed corpus. A crash
# stops the script; its input is left in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQUENNEL_FUZZ=ON -DQUENNEL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target fuzz_command_line fuzz_quoting

mkdir -p build-fuzz/artifacts
for target in command_line quoting; do
  # New inputs go to the build folder's corpus; the committed seeds stay as they are.
  mkdir -p "build-fuzz/corpus/$target"
  echo "== fuzz_$target (${seconds}s)"
  build-fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/artifacts/"$target"- \
    "build-fuzz/corpus/$target" "tests/fuzz/corpus/$target" 2>build-fuzz/fuzz_$target.log ||
    { tail -n 40 build-fuzz/fuzz_$target.log; exit 1; }
  grep -E '^stat::(number_of_executed_units|new_units_added)' build-fuzz/fuzz_$target.log || true
done
