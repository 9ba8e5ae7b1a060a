#!/usr/bin/env bash
# The Windows benchmark, under wine: Quennel replacing a program that another
# process holds open without sharing for HOLD_MS (3000), ROUNDS (7) times.
# Prints the medians of Quennel's processor time over wall time while it
# waits, and of the delay from the release to the new version in place.
set -euo pipefail
cd "$(dirname "$0")/../.."
rounds=${ROUNDS:-7}
hold=${HOLD_MS:-3000}

build=$PWD/build-win-bench
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake" -DQUENNEL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target quennel >/dev/null
work=$build/bench-work
mkdir -p "$work"
cc=x86_64-w64-mingw32-gcc-posix
$cc -O2 -Wall -Wextra -o "$work/holdopen.exe" bench/win/holdopen.c
$cc -O2 -static -o "$work/tiny.exe" bench/tiny.c
$cc -O2 -Wall -Wextra -o "$work/running.exe" bench/win/running.c
cp "$build/quennel.exe" "$work/quennel.exe"

wine=/usr/lib/wine/wine64
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  env -u DISPLAY -u WAYLAND_DISPLAY "$wine" wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
fi

cd "$work"
{ cat tiny.exe; head -c $((1 << 20)) /dev/zero; } >new.exe
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for _ in $(seq "$rounds"); do
  cp tiny.exe installed.exe
  touch -d @1000000000 installed.exe
  env -u DISPLAY -u WAYLAND_DISPLAY "$wine" holdopen.exe quennel.exe new.exe installed.exe "$hold" >>"$out"
done
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
echo "# windows (wine $("$wine" --version 2>/dev/null | sed 's/^wine-//'); $rounds rounds, destination held ${hold} ms)"
echo "cpu/wall while waiting: median $(awk '{print $5}' "$out" | median) (max $(awk '{print $5}' "$out" | sort -g | tail -n 1); 10 ms ticks)"
echo "release to replaced: median $(awk '{print $7}' "$out" | median) ms (max $(awk '{print $7}' "$out" | sort -g | tail -n 1) ms)"

# The installed program kept running by another instance: it is set aside
# after the grace and the new version goes in.
: >"$out"
{ cat running.exe; head -c $((1 << 20)) /dev/zero; } >new-running.exe
touch -d @1500000000 new-running.exe
for _ in $(seq "$rounds"); do
  rm -f installed-running.exe installed-running.exe.quennel~*
  cp running.exe installed-running.exe
  touch -d @1000000000 installed-running.exe
  env -u DISPLAY -u WAYLAND_DISPLAY "$wine" running.exe quennel.exe new-running.exe installed-running.exe >>"$out"
done
echo "# windows, another instance running ($rounds rounds)"
echo "start to new version in place: median $(awk '{print $2}' "$out" | median) ms (max $(awk '{print $2}' "$out" | sort -g | tail -n 1) ms)"
echo "start to Quennel's end: median $(awk '{print $4}' "$out" | median) ms; other instance still running in $(awk '{s += $6} END {print s}' "$out") of $rounds rounds"
