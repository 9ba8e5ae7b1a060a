#!/bin/sh
# Window module tests on a private Xvfb server.
#   gui_test.sh nodisplay HARNESS MODULE   no X server: open() says 0, nothing breaks
#   gui_test.sh window HARNESS MODULE      progress window, message boxes, reopen, lost server
#   gui_test.sh e2e QUENNEL                the program: copy error, failed start, exit status 1
#   gui_test.sh installed CMAKE BUILD      an install, moved elsewhere, still shows its window;
#                                          without its module it runs headless
#   gui_test.sh e2e_display_lost QUENNEL   the same, the display gone while the box is up
# Exits 77 (skipped) where Xvfb is not installed.
set -u

mode=$1
shift

CAPTION='Mise à jour automatique de programme 32bits'
work=$(mktemp -d)
xvfb_pid=
harness_pid=
quennel_pid=

cleanup() {
  exec 4>&- 2>/dev/null
  [ -n "$harness_pid" ] && kill "$harness_pid" 2>/dev/null
  [ -n "$quennel_pid" ] && kill "$quennel_pid" 2>/dev/null
  # Gone before the next test's server starts: a dying server still
  # answering on the display the new one takes would drop its clients.
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  for log in "$work"/*.log "$work"/quennel.err; do
    [ -s "$log" ] && { echo "--- $log" >&2; cat "$log" >&2; }
  done
  exit 1
}

# --- X server and tools ------------------------------------------------------

need_x() {
  if ! command -v Xvfb >/dev/null 2>&1; then
    echo "Xvfb is not installed: skipped"
    exit 77
  fi
  for tool in xdotool xwininfo xprop import convert; do
    command -v "$tool" >/dev/null 2>&1 ||
      fail "$tool is missing (Debian: xdotool x11-utils imagemagick)"
  done
  # -displayfd picks a free display number and writes it once the server
  # accepts connections.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  i=0
  until [ -s "$work/display" ]; do
    i=$((i + 1))
    [ $i -gt 200 ] && fail "Xvfb did not start"
    sleep 0.05
  done
  DISPLAY=:$(head -n 1 "$work/display")
  export DISPLAY
}

# A pattern for xdotool: FLTK also stores the UTF-8 title as a Latin-1
# WM_NAME, so accented letters are left to ".*".
name_pattern() {
  printf '^%s$' "$1" | LC_ALL=C sed 's/[^ -~][^ -~]*/.*/g'
}

# The window titled exactly $1 (xdotool matches names as a case-blind
# regular expression; the title is then compared byte for byte), waiting up
# to 10 s for it.
find_window() {
  i=0
  while [ $i -lt 100 ]; do
    for id in $(xdotool search --onlyvisible --name "$(name_pattern "$1")" 2>/dev/null); do
      if [ "$(xprop -id "$id" _NET_WM_NAME 2>/dev/null)" = "_NET_WM_NAME(UTF8_STRING) = \"$1\"" ]; then
        echo "$id"
        return
      fi
    done
    i=$((i + 1))
    sleep 0.1
  done
}

# Prints "W H" of a window's client area.
client_size() {
  xwininfo -id "$1" | awk '/  Width:/ {w = $2} /  Height:/ {h = $2} END {print w, h}'
}

shoot() {
  import -window "$1" "$work/$2.png" || fail "screenshot $2"
}

# Colour statistics of the progress window shot $1. Label boxes in pixels:
# left 8, width 481; tops 8 and 56, heights 33 and 41.
progress_stats() {
  convert "$work/$1.png" -depth 8 txt:- | awk '
    NR == 1 { split($5, d, ","); w = d[1]; h = d[2]; next }
    {
      split($1, xy, "[,:]"); x = xy[1] + 0; y = xy[2] + 0
      c = $2; gsub(/[()]/, "", c); split(c, v, ",")
      red = v[1] == 255 && v[2] == 0 && v[3] == 0
      grey = v[1] == 192 && v[2] == 192 && v[3] == 192
      in0 = x >= 8 && x < 489 && y >= 8 && y < 41
      in1 = x >= 8 && x < 489 && y >= 56 && y < 97
      if (red && in0) { red0++; if (x < minx0) minx0 = x; if (y < miny0) miny0 = y }
      if (red && in1) { red1++; if (y >= 56 + 14) red1below++ }
      if (!in0 && !in1 && !grey) stray++
      if ((x == 1 && y == 1) || (x == w - 2 && y == h - 2)) corners += grey
    }
    BEGIN { minx0 = miny0 = 9999 }
    END { printf "%d %d %d %d %d %d %d %d %d\n", w, h, corners, red0, red1, red1below, stray, minx0, miny0 }'
}

# Count of pixels of colour $2 ("r,g,b") in shot $1.
count_colour() {
  convert "$work/$1.png" -depth 8 txt:- | awk -v want="$2" '
    NR > 1 { c = $2; gsub(/[()]/, "", c); if (c == want) n++ } END { print n + 0 }'
}

# "LEFT TOP RIGHT BOTTOM" (inclusive) of the pixels that differ between
# shots $1 and $2 of one size, or "none".
diff_box() {
  convert "$work/$1.png" -depth 8 txt:- | sed 1d >"$work/$1.txt"
  convert "$work/$2.png" -depth 8 txt:- | sed 1d >"$work/$2.txt"
  paste -d '|' "$work/$1.txt" "$work/$2.txt" | awk -F '|' '
    BEGIN { l = t = 9999; r = b = -1 }
    { split($1, p, " "); split($2, q, " ")
      if (p[1] != q[1]) { print "misaligned"; exit }
      if (p[2] != q[2]) { split(p[1], xy, "[,:]"); x = xy[1] + 0; y = xy[2] + 0
        if (x < l) l = x; if (x > r) r = x; if (y < t) t = y; if (y > b) b = y } }
    END { if (r < 0) print "none"; else print l, t, r, b }'
}

# The copy's bar: shots before it, at 30 % and at 70 % differ only inside
# its box (left 8, top 98, 481 by 8 pixels), which fills from the left.
check_bar() {
  [ "$(identify -format '%w %h' "$work/$2.png")" = "497 108" ] || fail "$2: the window changed size"
  [ "$(client_size "$1")" = "497 108" ] || fail "with its bar the client area is $(client_size "$1")"
  set -- $(diff_box "$3" "$2")
  [ "$#" = 4 ] || fail "$2 does not differ from $3 as expected: $*"
  [ "$1" -ge 8 ] && [ "$2" -ge 98 ] && [ "$3" -le 488 ] && [ "$4" -le 105 ] ||
    fail "pixels changed outside the bar's box: $*"
}

# Dark text pixels in the rightmost 6 columns of shot $1 (text running off
# the side of a box instead of wrapping).
text_in_right_margin() {
  convert "$work/$1.png" -depth 8 txt:- | awk '
    NR == 1 { split($5, d, ","); edge = d[1] - 6; next }
    { split($1, xy, "[,:]"); c = $2; gsub(/[()]/, "", c); split(c, v, ",")
      if (xy[1] + 0 >= edge && v[1] + v[2] + v[3] < 150) n++ }
    END { print n + 0 }'
}

# Checks the progress window $1 as shown in shot $2; $3 says whether the
# second label is expected to wrap onto a second line.
check_progress_shot() {
  set -- "$1" "$2" "$3" $(progress_stats "$2")
  shot=$2 wraps=$3
  [ "$4 $5" = "497 108" ] || fail "$shot: image is $4x$5, not 497x108"
  [ "$6" = 2 ] || fail "$shot: corners are not grey 192,192,192"
  [ "$7" -gt 50 ] || fail "$shot: no red text in the first label box ($7 pixels)"
  [ "$8" -gt 50 ] || fail "$shot: no red text in the second label box ($8 pixels)"
  if [ "$wraps" = yes ]; then
    [ "$9" -gt 20 ] || fail "$shot: the long second label did not wrap"
  fi
  shift 9
  [ "$1" = 0 ] || fail "$shot: $1 pixels outside the label boxes are not background grey"
  [ "$2" -ge 8 ] && [ "$2" -le 10 ] || fail "$shot: first label starts at x=$2, not at its left edge 8"
  [ "$3" -ge 8 ] && [ "$3" -le 12 ] || fail "$shot: first label starts at y=$3, not at its top 8"
}

# --- Driving the harness -----------------------------------------------------

start_harness() {
  mkfifo "$work/in"
  : >"$work/harness.out"
  "$harness" "$module" <"$work/in" >"$work/harness.out" 2>"$work/harness.log" &
  harness_pid=$!
  exec 4>"$work/in"
  seen=0
}

send() {
  printf '%s\n' "$*" >&4
}

# Waits for the harness's next answer and checks it.
reply() {
  i=0
  while [ "$(wc -l <"$work/harness.out")" -le "$seen" ]; do
    i=$((i + 1))
    [ $i -gt 200 ] && fail "no answer from the harness (wanted '$1')"
    sleep 0.05
  done
  seen=$((seen + 1))
  got=$(sed -n "${seen}p" "$work/harness.out")
  [ "$got" = "$1" ] || fail "harness answered '$got', wanted '$1'"
}

finish_harness() {
  send quit
  reply bye
  exec 4>&-
  wait "$harness_pid" || fail "harness exited with status $?"
  harness_pid=
}

# No spaces: it can only wrap if the module breaks it after a slash.
LONG_PATH='/home/utilisateur/Programmes/Comptabilité-générale/version-2024/bin/programme-principal-très-long-à-lancer.exe'
LONG_TEXT='Impossible de remplacer le fichier /home/utilisateur/Programmes/Comptabilité générale/version-2024/bin/programme-principal-très-long-à-lancer.exe par sa nouvelle version.\r\nVérifiez que le programme est fermé, que le disque n’est pas plein et que vous avez le droit d’écrire dans ce dossier, puis relancez la mise à jour.'

# --- The cases ---------------------------------------------------------------

case_nodisplay() {
  for display in ':31999' ''; do
    set -- env DISPLAY="$display"
    [ -z "$display" ] && set -- env -u DISPLAY
    out=$(printf '%s\n' open 'label 0 Essai' show busy beep 'message 64 Quennel|Texte' idle close open quit |
      "$@" "$harness" "$module" 2>"$work/harness.log") ||
      fail "harness failed with DISPLAY='$display'"
    want=$(printf '%s\n' 'open 0' label shown busy beep message-not-shown idle closed 'open 0' bye)
    [ "$out" = "$want" ] || fail "with DISPLAY='$display' the harness said: $out"
  done
}

case_window() {
  need_x
  start_harness
  send open; reply 'open 1'
  send open; reply 'open 1'
  send 'label 0 Installation de la nouvelle version de'; reply label
  send "label 1 $LONG_PATH"; reply label
  send show; reply shown
  send busy; reply busy

  progress=$(find_window "$CAPTION")
  [ -n "$progress" ] || fail "no progress window"
  [ "$(client_size "$progress")" = "497 108" ] || fail "client area is $(client_size "$progress")"
  hints=$(xprop -id "$progress" WM_NORMAL_HINTS)
  echo "$hints" | grep -q 'minimum size: 497 by 108' && echo "$hints" | grep -q 'maximum size: 497 by 108' ||
    fail "the window can be resized: $hints"
  # The icon: 32x32, opaque, silver bevel, yellow field, aqua diamond, white edge.
  { xprop -id "$progress" -f _NET_WM_ICON 32c ' = $0+' _NET_WM_ICON | sed 's/.*= //' | tr -d ' ' | tr ',' '\n'; echo; } >"$work/icon"
  [ "$(wc -l <"$work/icon")" = 1026 ] || fail "icon has $(wc -l <"$work/icon") values, not 2+32*32"
  icon_at() { sed -n "$((3 + $2 * 32 + $1))p" "$work/icon"; }
  [ "$(sed -n 1,2p "$work/icon" | tr '\n' ' ')" = "32 32 " ] || fail "icon is not 32x32"
  [ "$(icon_at 0 0)" = $((0xFFC0C0C0)) ] || fail "icon pixel 0,0 is $(icon_at 0 0)"
  [ "$(icon_at 2 2)" = $((0xFFFFFF00)) ] || fail "icon pixel 2,2 is $(icon_at 2 2)"
  [ "$(icon_at 15 5)" = $((0xFF00FFFF)) ] || fail "icon pixel 15,5 is $(icon_at 15 5)"
  [ "$(icon_at 31 31)" = $((0xFFFFFFFF)) ] || fail "icon pixel 31,31 is $(icon_at 31 31)"
  awk -v min=$((0xFF000000)) 'NR > 2 && $1 < min { exit 1 }' "$work/icon" || fail "icon has transparent pixels"

  shoot "$progress" progress
  check_progress_shot "$progress" progress yes

  send 'progress 0.3'; reply progress
  shoot "$progress" bar30
  check_bar "$progress" bar30 progress
  send 'progress 0.7'; reply progress
  shoot "$progress" bar70
  check_bar "$progress" bar70 bar30
  fill30=$(count_colour bar30 0,0,128) fill70=$(count_colour bar70 0,0,128)
  [ "$fill30" -gt 500 ] && [ "$fill70" -gt $((fill30 * 2)) ] ||
    fail "the bar did not fill: $fill30 then $fill70 pixels"

  # Escape (like a close attempt) must not take the window down.
  xdotool key --window "$progress" Escape 2>/dev/null
  sleep 0.2
  send beep; reply beep
  xwininfo -id "$progress" | grep -q IsViewable || fail "Escape closed the progress window"

  # A box over the shown progress window: modal, kept in front of it, and
  # long text wraps to a sane width.
  send "message 64 Quennel|$LONG_TEXT"
  box=$(find_window Quennel)
  [ -n "$box" ] || fail "no message box titled Quennel"
  xprop -id "$box" WM_TRANSIENT_FOR | grep -q "$(printf '0x%x' "$progress")" ||
    fail "the box is not transient for the progress window: $(xprop -id "$box" WM_TRANSIENT_FOR)"
  xprop -id "$box" _NET_WM_STATE | grep -q _NET_WM_STATE_MODAL || fail "the box is not modal"
  set -- $(client_size "$box")
  [ "$1" -ge 300 ] && [ "$1" -le 520 ] || fail "box for a long text is $1 pixels wide"
  [ "$2" -ge 120 ] || fail "box for a long text is only $2 pixels high (text not wrapped?)"
  shoot "$box" info
  [ "$(count_colour info 0,0,255)" -gt 300 ] || fail "no blue information icon"
  [ "$(count_colour info 255,255,0)" = 0 ] || fail "warning colours in an information box"
  [ "$(text_in_right_margin info)" = 0 ] || fail "text runs off the right side of the box"
  xdotool key --window "$box" Return 2>/dev/null
  reply message-closed

  send close; reply closed
  sleep 0.2
  [ -z "$(xdotool search --onlyvisible --name "$(name_pattern "$CAPTION")" 2>/dev/null)" ] ||
    fail "the progress window is still up after close"

  # Reopened after close (a failure report after a failed start).
  send open; reply 'open 1'
  send 'message 48 quennel|Un\r\nDeux\r\nTrois'
  box=$(find_window quennel)
  [ -n "$box" ] || fail "no message box titled quennel after reopening"
  set -- $(client_size "$box")
  [ "$1" -le 300 ] || fail "box for three short lines is $1 pixels wide"
  [ "$2" -ge 105 ] || fail "box for three lines is $2 pixels high (CR LF not a line break?)"
  shoot "$box" warning
  [ "$(count_colour warning 255,255,0)" -gt 150 ] || fail "no yellow warning icon"
  [ "$(count_colour warning 0,0,255)" = 0 ] || fail "information colours in a warning box"
  xdotool key --window "$box" Escape 2>/dev/null
  reply message-closed

  # The window draws again on the reopened connection.
  send 'label 1 Etiquette1'; reply label
  send show; reply shown
  progress=$(find_window "$CAPTION")
  shoot "$progress" again
  check_progress_shot "$progress" again no

  # The server goes away while a box waits for OK: the box returns, says it
  # was not seen, and the process carries on without a window.
  send 'message 64 Quennel|Le serveur va disparaître'
  [ -n "$(find_window Quennel)" ] || fail "no message box before stopping the server"
  kill "$xvfb_pid"
  wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=
  reply message-not-shown
  send beep; reply beep
  send 'message 64 Quennel|Encore là'; reply message-not-shown
  send close; reply closed
  send open; reply 'open 0'
  finish_harness
}

# Starts quennel $1 on a copy that must fail (the installed program is a
# folder), its output into $work/quennel.out and .err.
start_failing_copy() {
  need_x
  mkdir "$work/installed"
  printf 'nouvelle version\n' >"$work/new.bin"
  touch -d '1 day ago' "$work/new.bin"
  "$1" "$work/new.bin" "$work/installed" >"$work/quennel.out" 2>"$work/quennel.err" &
  quennel_pid=$!
}

# Waits for that quennel to end, with status 1.
expect_failure_exit() {
  i=0
  while kill -0 "$quennel_pid" 2>/dev/null; do
    i=$((i + 1))
    [ $i -gt 200 ] && fail "quennel did not exit"
    sleep 0.05
  done
  wait "$quennel_pid"
  status=$?
  quennel_pid=
  [ "$status" = 1 ] || fail "quennel exited with status $status, not 1"
}

case_e2e() {
  start_failing_copy "$1"

  box=$(find_window quennel)
  [ -n "$box" ] || fail "no copy-error box titled quennel"
  progress=$(find_window "$CAPTION")
  [ -n "$progress" ] || fail "no progress window behind the copy-error box"
  [ "$(client_size "$progress")" = "497 108" ] || fail "client area is $(client_size "$progress")"
  shoot "$progress" progress
  check_progress_shot "$progress" progress no
  xdotool key --window "$box" Return 2>/dev/null

  report=$(find_window Quennel)
  [ -n "$report" ] || fail "no failure report titled Quennel"
  xdotool key --window "$report" Return 2>/dev/null
  expect_failure_exit
}

case_installed() {
  cmake=$1 build=$2
  "$cmake" --install "$build" --prefix "$work/first" >"$work/install.log" 2>&1 || fail "cmake --install failed"
  for file in bin/quennel share/man/man1/quennel.1 share/doc/quennel/README.md share/doc/quennel/LICENSE; do
    [ -f "$work/first/$file" ] || fail "the install lacks $file"
  done
  set -- "$work"/first/lib*/quennel/quennel-fltk.so "$work"/first/lib/*/quennel/quennel-fltk.so
  modules=$(ls "$@" 2>/dev/null)
  [ "$(echo "$modules" | wc -w)" = 1 ] || fail "no single window module under lib: $modules"
  [ ! -e "$work/first/bin/quennel-fltk.so" ] || fail "the module was installed beside the binary"

  # Moved as a whole, the binary finds its module relative to itself.
  mv "$work/first" "$work/moved"
  case_e2e "$work/moved/bin/quennel"

  # A display is named, but the module is missing, or there and refusing to
  # load: the usage box goes to standard error.
  module="$work/moved/${modules#"$work/first/"}"
  for broken in missing unloadable; do
    rm -f "$module"
    [ "$broken" = unloadable ] && printf 'not a shared object\n' >"$module"
    DISPLAY=$DISPLAY timeout 30 "$work/moved/bin/quennel" only-one-path 2>"$work/headless.log"
    status=$?
    [ "$status" = 2 ] || fail "module $broken: quennel exited with status $status, not 2"
    [ "$(head -n 1 "$work/headless.log")" = Quennel ] || fail "module $broken: no usage box on standard error"
  done
}

# The display goes away while the copy-error box is up: that text, and the
# failure report after it, go to standard error as without a display.
case_e2e_display_lost() {
  start_failing_copy "$1"
  [ -n "$(find_window quennel)" ] || fail "no copy-error box titled quennel"
  kill "$xvfb_pid"
  wait "$xvfb_pid" 2>/dev/null
  xvfb_pid=
  expect_failure_exit
  err=$(cat "$work/quennel.err")
  # Title, error text, the Copy line; then the report's title, heading, error, path.
  [ "$(sed -n 1p "$work/quennel.err")" = quennel ] || fail "copy error not on standard error: $err"
  [ "$(sed -n 3p "$work/quennel.err")" = "Copy $work/new.bin, $work/installed" ] ||
    fail "copy error not on standard error: $err"
  [ "$(sed -n 4,5p "$work/quennel.err")" = "$(printf "Quennel\nErreur d'exécution")" ] ||
    fail "failure report not on standard error: $err"
  [ "$(sed -n 7p "$work/quennel.err")" = "\"$work/installed\"" ] || fail "report names no program: $err"
}

case "$mode" in
  nodisplay) harness=$1 module=$2; case_nodisplay ;;
  window) harness=$1 module=$2; case_window ;;
  e2e) case_e2e "$1" ;;
  installed) case_installed "$1" "$2" ;;
  e2e_display_lost) case_e2e_display_lost "$1" ;;
  *) fail "unknown mode $mode" ;;
esac
echo "ok: $mode"
