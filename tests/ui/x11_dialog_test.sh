#!/usr/bin/env bash
# The window program on a real X display with a window manager (Xvfb and openbox), used as a
# technician would, through xdotool's keys and clicks, against a virtual unit pacing its answers
# at 9600 baud and a made-up sysfs with USB adapters.
#   - The main window's ports table follows an adapter plugged in, and its row menu (reached by
#     the keyboard) assigns COM3 in the map file, swapping numbers.
#   - The dialog's frame: the window asks for no minimize or maximize, openbox offers no maximize,
#     a minimize (which openbox offers on every window) does not keep it hidden, and it is
#     transient for the main window.
#   - Alt+3 and Alt+4 choose the port; a COM with no device and a model with no image each leave
#     an advice line under the status line.
#   - In the selection the highlighted file (Up, Down, Enter) is the one the unit receives.
#   - The picture of the dialog during the transfer equals the one before it, outside the status
#     line, the bar and the buttons: no remains of the closed file list.
#   - Escape, a click on Close and Alt+F4 during the transfer ask once whether to stop; Continue
#     (Enter, Escape, C) lets it finish. After it the focus is on Download: Enter downloads again,
#     and S in the question stops that download within a second, recorded as interrupted, the
#     dialog still open.
# Usage: x11_dialog_test.sh BIN_DIR OUT_DIR [SCALE]   (pictures land in OUT_DIR, never in the tree)
# Exits 77 (CTest: skipped), saying why, where Xvfb or the other X tools are missing.
set -uo pipefail

bin="$1"
out="$2"
scale="${3:-1}"

for tool in Xvfb openbox xdotool xprop xwininfo import convert compare identify; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIPPED: $tool is not installed; scripts/install-deps.sh installs the X11 test tools"
    exit 77
  fi
done

mkdir -p "$out"
work="$(mktemp -d /tmp/romlift-x11-XXXXXX)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {
  local what="$1"
  shift
  if "$@"; then
    echo "ok: $what"
  else
    echo "FAILED: $what"
    failures=$((failures + 1))
  fi
}
fatal() {
  echo "FAILED: $*"
  for f in "$work"/*.log; do
    [ -s "$f" ] && { echo "--- $f"; tail -20 "$f"; }
  done
  exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

# import and xdotool's --sync wait for ever on a window that has gone: each gets a time limit.
shot() { timeout 10 import -window "$1" "$out/$2.png" || echo "no picture $2 (window gone?)"; }
activate() { # and wait until it has the keyboard
  timeout 5 xdotool windowactivate --sync "$1" 2>/dev/null
  wait_for 5 sh -c "test \"\$(xdotool getactivewindow)\" = $1"
}

# --- a display with a window manager ---
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 10 test -s "$work/display" || fatal "Xvfb did not start"
export DISPLAY=":$(head -n1 "$work/display")"
# With the other scale's Xvfb starting beside this one, openbox now and then fails to open a
# display that other clients reach ("Failed to open the display"); it gets three tries.
for try in 1 2 3; do
  openbox --sm-disable >>"$work/openbox.log" 2>&1 &
  wm=$!
  pids+=($wm)
  wait_for 10 sh -c "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id' || ! kill -0 $wm" || true
  xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id" && break
  [ "$try" -lt 3 ] || fatal "openbox did not take the display"
  sleep 0.5
done

# --- the program in a folder of its own, two images in drivers/, a paced virtual unit ---
prog="$work/prog"
mkdir -p "$prog/drivers" "$work/config" "$work/run" "$work/state" "$work/dev"
chmod 700 "$work/run"
# A USB adapter as sysfs shows it (FakeSysfs in tests/support makes the same shapes).
plug() { # NAME VENDOR PRODUCT SERIAL USBPORT DRIVER
  local usb="$work/sys/devices/pci0000:00/usb1/$5"
  mkdir -p "$usb/$5:1.0/$1" "$work/sys/bus/usb/drivers/$6" "$work/sys/class/tty/$1"
  echo "$2" >"$usb/idVendor"
  echo "$3" >"$usb/idProduct"
  [ -n "$4" ] && echo "$4" >"$usb/serial"
  echo "Adapter $1" >"$usb/product"
  ln -sfn "$work/sys/bus/usb/drivers/$6" "$usb/$5:1.0/$1/driver"
  ln -sfn "$usb/$5:1.0/$1" "$work/sys/class/tty/$1/device"
  : >"$work/dev/$1"
}
mkdir -p "$work/sys/class/tty"
plug ttyUSB0 0403 6001 A1 1-2 ftdi_sio
map="$work/config/romlift/ports.conf"
mapped() { grep -qxF "$1" "$map" 2>/dev/null; }
cp "$bin/romlift" "$prog/romlift"
head -c 6000 /dev/urandom >"$prog/drivers/PLQ5A_a.abs"
head -c 9000 /dev/urandom >"$prog/drivers/PLQ5A_b.abs"
"$bin/vx7r-sim" --type-code 10 --quiet --save "$work/received.bin" --link "$work/COM1" \
  >"$work/sim.log" 2>&1 &
pids+=($!)
wait_for 10 test -e "$work/COM1" || fatal "vx7r-sim did not start"

# Control rectangles in logical pixels; the window's pixels are SCALE times as many.
"$bin/dialog_geometry" "$prog" >"$work/geometry" 2>"$work/geometry.log" ||
  fatal "dialog_geometry failed"
rect() { # DIALOG ID -> x y w h in window pixels
  awk -v d="$1" -v id="$2" -v s="$scale" '$1 == d && $2 == id {print $3*s, $4*s, $5*s, $6*s}' \
    "$work/geometry"
}
centre() { # DIALOG ID -> x y
  rect "$1" "$2" | awk '{print int($1 + $3 / 2), int($2 + $4 / 2)}'
}
[ -n "$(rect download 1014)" ] || fatal "no geometry: $(cat "$work/geometry")"

# Under scripts/sanitize.sh: libxkbcommon-x11 (Debian 12) strndup()s X atom names that are not
# zero-terminated, which AddressSanitizer's strict string checks report as an overflow at start-up
# on a real X display; they stay on for everything of ours that runs offscreen.
asan="${ASAN_OPTIONS:+$ASAN_OPTIONS:}strict_string_checks=0"
env ROMLIFT_COM1="$work/COM1" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" \
  XDG_STATE_HOME="$work/state" ROMLIFT_SYSFS="$work/sys" ROMLIFT_DEV="$work/dev" \
  QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" ASAN_OPTIONS="$asan" \
  "$prog/romlift" >"$work/romlift.log" 2>&1 &
pids+=($!)
wait_for 20 xdotool search --onlyvisible --name '^Flashpath$' || fatal "no main window"
main="$(xdotool search --onlyvisible --name '^Flashpath$' | head -n1)"
activate "$main"
sleep 0.5

# --- the ports table: numbers given, an adapter plugged in, COM3 assigned from the row menu ---
check "the adapter present got a number (COM1 is the environment's)" \
  wait_for 5 mapped "COM2 = 0403:6001 serial A1"
shot "$main" ports-before
plug ttyUSB1 1a86 7523 "" 1-3 ch341
check "an adapter plugged in is numbered within a second" wait_for 1 mapped "COM3 = 1a86:7523 port 1-3"
sleep 0.5
shot "$main" ports-after
check "the ports table shows it" \
  sh -c "! compare -metric AE '$out/ports-before.png' '$out/ports-after.png' null: 2>/dev/null"
xdotool key --clearmodifiers alt+p Home shift+F10
sleep 0.5
xdotool key 3
check "Assign COM3 in the first row's menu gives its adapter COM3 and the other its COM2" \
  wait_for 5 sh -c "grep -qxF 'COM3 = 0403:6001 serial A1' '$map' &&
    grep -qxF 'COM2 = 1a86:7523 port 1-3' '$map'"

xdotool key --clearmodifiers ctrl+n
wait_for 10 xdotool search --onlyvisible --name '^Download$' || fatal "Ctrl+N opened no dialog"
dlg="$(xdotool search --onlyvisible --name '^Download$' | head -n1)"
sleep 0.5
away() { xdotool mousemove 2 1020; sleep 0.3; } # no control of the dialog hovered

# --- the frame ---
mwm="$(xprop -id "$dlg" _MOTIF_WM_HINTS | sed 's/.*= //')"
IFS=', ' read -r _ functions decorations _ <<<"$mwm"
check "the dialog asks for no minimize or maximize (_MOTIF_WM_HINTS $mwm)" \
  test $((functions & 0x18)) -eq 0 -a $((decorations & 0x60)) -eq 0
check "openbox offers no maximize" \
  wait_for 5 sh -c "xprop -id $dlg _NET_WM_ALLOWED_ACTIONS | grep -q CLOSE &&
    ! xprop -id $dlg _NET_WM_ALLOWED_ACTIONS | grep -q MAXIMIZE"
check "the dialog is transient for the main window" \
  sh -c "xprop -id $dlg WM_TRANSIENT_FOR | grep -qi \"$(printf '0x%x' "$main")\""
xdotool windowminimize "$dlg"
sleep 0.3
check "a minimized dialog comes back at once" \
  wait_for 5 sh -c "xwininfo -id $dlg | grep -q IsViewable && xwininfo -id $main | grep -q IsViewable"

read -r sx sy sw sh <<<"$(rect download 1014)"
status_differs() { # A B: the status lines of two pictures differ
  local a b
  a="$(convert "$out/$1.png" -crop "${sw}x${sh}+${sx}+${sy}" +repage -format '%#' info:)"
  b="$(convert "$out/$2.png" -crop "${sw}x${sh}+${sx}+${sy}" +repage -format '%#' info:)"
  test "$a" != "$b"
}

height() { xwininfo -id "$1" | awk '/ Height:/ {print $NF}'; }
plain="$(height "$dlg")"

# --- Alt+n chooses the port; the advice line says why an attempt could not start ---
activate "$dlg" || fatal "the dialog does not take the keyboard"
chooser() { # answers the file selection with Enter: the highlighted file
  wait_for 10 xdotool search --onlyvisible --name '^Select File To Download$' || return 1
  activate "$(xdotool search --onlyvisible --name '^Select File To Download$' | head -n1)"
  xdotool key Return
}
xdotool key alt+4 Return
chooser || fatal "Alt+4 and Enter opened no file selection"
check "Alt+4 and Enter: COM4, which no device has, is said why (standard error)" \
  wait_for 5 grep -q "romlift: COM4: no device has this number" "$work/romlift.log"
check "the advice line shows under the status line (the dialog grew)" \
  wait_for 5 sh -c "test \$(xwininfo -id $dlg | awk '/ Height:/ {print \$NF}') -gt $plain"
shot "$dlg" advice-port
xdotool key alt+3 Return
chooser || fatal "Alt+3 and Enter opened no file selection"
check "Alt+3 chose COM3 (its adapter's node here is a plain file)" \
  wait_for 5 grep -q "romlift: .*(COM3)" "$work/romlift.log"
xdotool key alt+1
read -r x y <<<"$(centre download 1029)"
xdotool mousemove --window "$dlg" "$x" "$y" click 1
sleep 0.5
xdotool key Down Return # the second model, PLQ5B: no image for it
sleep 0.3
xdotool key Return
sleep 1
shot "$dlg" advice-image
strip() { # PICTURE: the signature of what lies under the template
  convert "$out/$1.png" -crop "x$(($(identify -format %h "$out/$1.png") - plain))+0+$plain" +repage \
    -format '%#' info:
}
check "a model with no image leaves an advice line of its own" \
  test "$(height "$dlg")" -gt "$plain" -a "$(strip advice-image)" != "$(strip advice-port)"
xdotool mousemove --window "$dlg" "$x" "$y" click 1
sleep 0.5
xdotool key Up Return
sleep 0.3

# --- before: the focus on Close, as the attempt will leave it ---
activate "$dlg" || fatal "the dialog does not take the keyboard"
xdotool key Tab Tab
away
sleep 0.3
shot "$dlg" before

read -r x y <<<"$(centre download 1)"
xdotool mousemove --window "$dlg" "$x" "$y" click 1
wait_for 10 xdotool search --onlyvisible --name '^Select File To Download$' ||
  fatal "Download opened no file selection"
sel="$(xdotool search --onlyvisible --name '^Select File To Download$' | head -n1)"
sleep 0.5
shot "$sel" select
activate "$sel"
xdotool key Tab Tab Up Down Up Return # from OK to the list; the first file highlighted
away

# --- during: once the status line shows the transfer ---
for ((i = 0; i < 50; i++)); do
  sleep 0.2
  shot "$dlg" during
  status_differs before during && break
done
sleep 0.5 # the window system's expose after the selection closed has had its time
shot "$dlg" during
draws=()
for id in 1 2 1013 1014; do
  read -r x y w h <<<"$(rect download "$id")"
  draws+=(-draw "rectangle $((x - 2)),$((y - 2)) $((x + w + 1)),$((y + h + 1))")
done
# The template's part only: under it the advice line of the last attempt comes and goes.
convert "$out/before.png" -crop "x$plain+0+0" +repage -fill magenta "${draws[@]}" \
  "$work/before-masked.png"
convert "$out/during.png" -crop "x$plain+0+0" +repage -fill magenta "${draws[@]}" \
  "$work/during-masked.png"
differing="$(compare -metric AE "$work/before-masked.png" "$work/during-masked.png" \
  "$out/during-vs-before.png" 2>&1)"
check "during the transfer the dialog shows what it showed before, outside the status line, bar and buttons ($differing pixels differ; $out/during-vs-before.png)" \
  test "$differing" = 0
check "the status line shows the transfer" status_differs before during
test -e "$work/received.bin" && fatal "the transfer was over before the picture; too fast to test"

# --- moved during the transfer: the main window paints what the dialog uncovers ---
geometry() { # WINDOW -> x y w h on the screen, frame included
  xwininfo -frame -id "$1" | awk '/Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
    / Width:/ {w = $NF} / Height:/ {h = $NF} END {print x, y, w, h}'
}
read -r ox oy ow oh <<<"$(geometry "$dlg")"
xdotool windowmove "$dlg" 0 0
sleep 0.7
read -r nx ny nw nh <<<"$(geometry "$dlg")"
px=$((ox + ow - 12))
py=$((oy + oh - 12))
if ((px >= nx + nw || py >= ny + nh)); then
  for ((i = 0; i < 15; i++)); do # the expose goes through the window system: a moment
    uncovered="$(import -window root -crop "1x1+$px+$py" -depth 8 txt:- |
      grep -o '#[0-9A-F]\{6\}' | head -n1)"
    [ "$uncovered" = "#FFFFFF" ] && break
    sleep 0.2
  done
  # The dialog's corner lies over the empty part of the record's table, white.
  check "where the moved dialog was, the main window's table shows again ($uncovered at $px,$py)" \
    test "$uncovered" = "#FFFFFF"
else
  echo "note: the dialog covers its old corner after the move; the uncover check is left out"
fi
shot "$dlg" moved

# --- asking to close during the transfer: the question, answered Continue three ways ---
question() { xdotool search --onlyvisible --name '^Download$' 2>/dev/null | grep -vx "$dlg" | head -n1; }
# Sets q to the question's window once it shows, within 5 s; empty when it does not.
wait_question() {
  q=""
  for ((i = 0; i < 50; i++)); do
    q="$(question)"
    [ -n "$q" ] && return 0
    sleep 0.1
  done
  return 1
}
asks() { # WHAT KEYS-OR-CLICK ANSWER
  local q
  activate "$dlg"
  if [ "$2" = click ]; then
    read -r x y <<<"$(centre download 2)"
    xdotool mousemove --window "$dlg" "$x" "$y" click 1
    away
  else
    xdotool key "$2"
  fi
  wait_question
  if [ -z "$q" ]; then
    check "$1 asks whether to stop the download" false
    return
  fi
  check "$1 asks whether to stop the download, over the dialog" \
    sh -c "xprop -id $q WM_TRANSIENT_FOR | grep -qi \"$(printf '0x%x' "$dlg")\""
  shot "$q" question
  activate "$q"
  xdotool key "$3"
  check "$3 in the question continues" wait_for 5 sh -c "! xwininfo -id $q 2>/dev/null | grep -q IsViewable"
}
asks Escape Escape Return
asks "a click on Close" click Escape
asks Alt+F4 alt+F4 c
wait_for 60 test -e "$work/received.bin" || fatal "the transfer did not end"
sleep 1
shot "$dlg" after
check "the dialog is still open" sh -c "xwininfo -id $dlg | grep -q IsViewable"
check "the dialog shows a new status text after the transfer" status_differs during after
check "the unit holds the file highlighted in the list (the first)" \
  cmp -s "$work/received.bin" "$prog/drivers/PLQ5A_a.abs"
check "the main window is still open" sh -c "xwininfo -id $main | grep -q IsViewable"

# --- Enter downloads again; S in the question stops it within a second ---
newest() { # the newest row's outcome in the record
  XDG_STATE_HOME="$work/state" "$bin/romlift-cli" history --json 2>/dev/null |
    grep -o '"outcome": *"[a-z]*"' | head -n1 | grep -o '[a-z]*"$' | tr -d '"'
}
newest_is() { test "$(newest)" = "$1"; }
activate "$dlg"
xdotool key Return
wait_for 10 xdotool search --onlyvisible --name '^Select File To Download$' ||
  fatal "Enter after the download opened no file selection (the focus was not on Download)"
sel="$(xdotool search --onlyvisible --name '^Select File To Download$' | head -n1)"
activate "$sel"
xdotool key Return # the highlighted last file
wait_for 10 newest_is unfinished ||
  fatal "the second download did not start; the record: $(XDG_STATE_HOME="$work/state" \
    "$bin/romlift-cli" history 2>&1 | head -5)"
sleep 0.5
activate "$dlg"
xdotool key Escape
wait_question || fatal "Escape did not ask"
activate "$q"
start=$(date +%s%N)
xdotool key s
wait_for 3 newest_is interrupted
elapsed=$((($(date +%s%N) - start) / 1000000))
check "S stopped the download, recorded as interrupted, within a second (${elapsed} ms)" \
  test "$(newest)" = interrupted -a "$elapsed" -lt 1000
sleep 0.5
shot "$dlg" stopped
check "the dialog is still open after Stop" sh -c "xwininfo -id $dlg | grep -q IsViewable"

echo "pictures in $out: ports-before ports-after before select during moved question after stopped advice-port advice-image"
if [ "$failures" -ne 0 ]; then
  # Kept apart, so that a later passing run does not overwrite what this one saw.
  mkdir -p "$out/failed" && cp "$out"/*.png "$out/failed/"
  echo "$failures check(s) failed; pictures kept in $out/failed/"
  echo "--- the program's standard error"
  tail -20 "$work/romlift.log"
  exit 1
fi
echo "all checks passed"
