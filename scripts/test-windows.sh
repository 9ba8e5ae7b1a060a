#!/bin/sh
# Builds the Windows program and its tests with mingw-w64 into build-win,
# then runs the tests under wine in a private prefix. Exits non-zero on any
# failure.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-win"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

"$root/scripts/libsodium-mingw.sh" >/dev/null  # once, then from the cache
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" -DQUENNEL_TESTS=ON
cmake --build "$build" -j2

# A prefix of our own: nothing of the user's wine setup leaks in, and a
# first run creates it (that takes a while, once).
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the wine prefix $WINEPREFIX"
  env -u DISPLAY -u WAYLAND_DISPLAY "$wine" wineboot -i
  "$wineserver" -w
fi

# A second drive letter for the C: drive: the tests run one program under
# both spellings.
ln -sfn ../drive_c "$WINEPREFIX/dosdevices/q:"

# No desktop: message boxes return at once instead of waiting for a click.
env -u DISPLAY -u WAYLAND_DISPLAY ctest --test-dir "$build" --output-on-failure -E '^win32_window_tests$'

# The window's own tests want a desktop; Xvfb gives one where it is installed.
# A wine server still up from the tests above keeps their desktop, which has
# no display: it goes first.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w
if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a ctest --test-dir "$build" --output-on-failure -R '^win32_window_tests$'
else
  echo "xvfb-run not found: the window tests are skipped"
  ctest --test-dir "$build" --output-on-failure -R '^win32_window_tests$'
fi
