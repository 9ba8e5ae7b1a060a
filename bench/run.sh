#!/usr/bin/env bash
# Runs every benchmark side by side and prints the ratios (see README.md).
# Builds Quennel (Release) in build-bench and the Windows port in
# build-win-bench; works files in build-bench/bench-work, on the build
# folder's file system. Results also go to bench/results/.
#   LAUNCH_ROUNDS (default 1000), COPY_ROUNDS (default 31), COPY_MIB (256),
#   GROUP_ROUNDS (7), GROUP_MIB (300)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh bench >/dev/null

launch_rounds=${LAUNCH_ROUNDS:-1000}
copy_rounds=${COPY_ROUNDS:-31}
copy_mib=${COPY_MIB:-256}
group_rounds=${GROUP_ROUNDS:-7}
group_mib=${GROUP_MIB:-300}

cmake -S . -B build-bench -DQUENNEL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j2 --target quennel >/dev/null
quennel=$PWD/build-bench/quennel

work=$PWD/build-bench/bench-work
rm -rf "$work"
mkdir -p "$work" bench/results
cc=${CC:-gcc}
$cc -O2 -Wall -Wextra -o "$work/harness" bench/harness.c
$cc -O2 -Wall -Wextra -o "$work/floor" bench/floor.c
$cc -O2 -static -o "$work/tiny" bench/tiny.c
results=bench/results/$(date +%Y%m%d-%H%M%S).txt

{
  echo "# $(date -u +%Y-%m-%dT%H:%MZ) $(git rev-parse --short HEAD)$(git diff --quiet HEAD -- . ':!bench' || echo ' (modified)')"
  echo "# nproc $(nproc); $(lscpu | sed -n 's/^Model name: *//p' | head -n 1); kernel $(uname -r)"
  echo "# file system of $work: $(df --output=fstype "$work" | tail -n 1) on $(df --output=source "$work" | tail -n 1); LANG=${LANG:-}"
  cd "$work"

  # a. Launch, nothing to install: the installed program is newer.
  cp tiny new && cp tiny installed
  touch -d @1000000000 new
  ./harness -n "$launch_rounds" -t "launch (nothing to install)" \
    -p quennel/floor -p quennel/shell -- \
    floor ./floor new installed :: \
    direct ./installed :: \
    quennel "$quennel" new installed :: \
    shell sh -c '[ new -nt installed ] && cp new installed; exec ./installed'

  # b. Copy: a new version of $copy_mib MiB over an older, small program,
  # flushed to disk by both. The files go back to that state before every
  # run (not timed), and the page cache holds the new version throughout.
  # A version just written is looked at twice, two seconds apart, before it
  # goes in (it may still be being published): the copies run eleven
  # minutes ahead (faketime), where the new version has long stood still.
  # Only the clock moves: libfaketime would shift the times stat() returns
  # but not statx()'s, and the two looks at the new version would differ.
  { cat tiny; head -c $((copy_mib << 20)) /dev/urandom; } >big
  chmod +x big
  touch -d '1 hour ago' big
  settled="env NO_FAKE_STAT=1 faketime -f +11m"
  cat >reset.sh <<'RESET'
rm -f inst inst.minisig && cp tiny inst && touch -d @1000000000 inst && sync
RESET
  # The same install, signed: a copy of Quennel in a prefix of its own whose
  # trust file lists the key big is signed with (minisign), so the bytes
  # are hashed as they are copied and the signature checked.
  mkdir -p signed/bin signed/etc/quennel
  chmod 755 signed signed/etc signed/etc/quennel
  cp "$quennel" signed/bin/quennel
  minisign -G -W -p key.pub -s key.key >/dev/null
  install -m 644 key.pub signed/etc/quennel/trusted-keys
  minisign -S -s key.key -m big >/dev/null
  sh reset.sh && $settled signed/bin/quennel big inst 2>/dev/null && cmp -s big inst ||
    { echo "# the signed version was not installed"; exit 1; }
  ./harness -n "$copy_rounds" -w 2 -s 'sh reset.sh' -t "copy ($copy_mib MiB, flushed)" \
    -p quennel/cp -p signed/cp -p signed/b2sum -p signed/quennel -- \
    cp sh -c 'cp big inst && sync inst' :: \
    b2sum b2sum big :: \
    quennel $settled "$quennel" big inst :: \
    signed $settled "$PWD/signed/bin/quennel" big inst
  rm -rf signed big.minisig

  # e. Starts that coincide: N runs of the same pair at once, against one
  # run alone, on a ${group_mib} MiB new version. One of them installs; the
  # others wait for its lock and start the program it put in place.
  { cat tiny; head -c $((group_mib << 20)) /dev/urandom; } >big
  chmod +x big
  touch -d '1 hour ago' big
  cat >group.sh <<'GROUP'
for i in $(seq "$2"); do "$1" big inst & done
wait
GROUP
  ./harness -n "$group_rounds" -w 1 -s 'sh reset.sh' -t "simultaneous starts ($group_mib MiB)" -- \
    one $settled "$quennel" big inst :: \
    four $settled sh group.sh "$quennel" 4 :: \
    eight $settled sh group.sh "$quennel" 8
  rm -f big inst
  cd - >/dev/null

  # c. Windows, under wine: replacement of a destination held open for 3 s.
  bench/win/run.sh || { echo "# windows: failed"; exit 1; }
} 2>&1 | tee "$results"
echo "(saved in $results)"
