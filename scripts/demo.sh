#!/usr/bin/env bash
# Builds Quennel and shows its main job: an installed program, a newer
# version published beside it, and a start through Quennel that installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build
cmake -S . -B build -DQUENNEL_TESTS=OFF >/dev/null
cmake --build build -j2 >/dev/null

demo=$(mktemp -d /tmp/quennel-demo.XXXXXX)
trap 'rm -rf "$demo"' EXIT
mkdir -p "$demo/share" "$demo/My Apps"

# Version 1, installed a while ago.
cat > "$demo/My Apps/hello" <<'PROGRAM'
#!/bin/sh
echo "  hello, version 1, started with $# argument(s): $*"
PROGRAM
chmod +x "$demo/My Apps/hello"
touch -d '2 days ago' "$demo/My Apps/hello"

# Version 2, just published on the share (padded so the copy takes a moment).
{ sed 's/version 1/version 2/' "$demo/My Apps/hello"; head -c $((64 << 20)) /dev/zero | tr '\0' '#'; } \
  > "$demo/share/hello"
chmod +x "$demo/share/hello"

if [ -n "${DISPLAY:-}" ]; then
  echo "A display is present: the progress window shows while version 2 goes in."
else
  echo "No display: Quennel runs headless (boxes would go to standard error)."
fi

# Runs Quennel and prints its real exit status; fails the demo when that is
# not the one expected ($1).
quennel() {
  local expected=$1 status=0
  shift
  build/quennel "$@" || status=$?
  echo "   exit status $status"
  if [ "$status" -ne "$expected" ]; then
    echo "Demo failed: exit status $status, expected $expected." >&2
    exit 1
  fi
}

echo "1. First start, version 2 is newer: Quennel installs it, then starts it without the marker."
quennel 0 "$demo/share/hello" "$demo/My Apps/hello" --greet "Jane Doe"
echo "2. Second start, nothing new: Quennel starts the installed copy at once, with the marker (~!~)."
quennel 0 "$demo/share/hello" "$demo/My Apps/hello" --greet "Jane Doe"
echo "3. A malformed command line: the usage message, exit status 2."
quennel 2 "$demo/share/hello"
echo "Demo done: the installed copy now has $(stat -c %s "$demo/My Apps/hello") bytes, as published."
