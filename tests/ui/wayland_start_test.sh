#!/usr/bin/env bash
# The window program on Wayland: under a headless weston it starts natively (the Wayland plugin,
# not XWayland), maps its main window with the caption "Flashpath", and runs until told to end.
# Usage: wayland_start_test.sh BIN_DIR OUT_DIR
# Exits 77 (CTest: skipped), saying why, where weston or Qt's Wayland plugin is missing.
set -uo pipefail

bin="$1"
out="$2"

if ! command -v weston >/dev/null 2>&1; then
  echo "SKIPPED: weston is not installed; scripts/install-deps.sh installs it"
  exit 77
fi
if ! find /usr/lib -path '*qt6/plugins/platforms/libqwayland-generic.so' 2>/dev/null | grep -q .; then
  echo "SKIPPED: Qt's Wayland plugin is not installed (the qt6-wayland package)"
  exit 77
fi

mkdir -p "$out"
work="$(mktemp -d /tmp/romlift-wayland-XXXXXX)"
chmod 700 "$work"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
wait_for() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}

export XDG_RUNTIME_DIR="$work"
weston --backend=headless-backend.so --socket=romlift-test --idle-time=0 \
  --no-config >"$work/weston.log" 2>&1 &
pids+=($!)
if ! wait_for 20 test -S "$work/romlift-test"; then
  echo "FAILED: weston did not start"
  tail -20 "$work/weston.log"
  exit 1
fi

mkdir -p "$work/config" "$work/state"
env -u DISPLAY WAYLAND_DISPLAY=romlift-test QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client \
  XDG_CONFIG_HOME="$work/config" XDG_STATE_HOME="$work/state" \
  "$bin/romlift" >"$work/romlift.log" 2>&1 &
romlift=$!
pids+=($romlift)

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
check "the main window is a Wayland toplevel captioned Flashpath" \
  wait_for 20 grep -q 'xdg_toplevel@[0-9]*\.set_title("Flashpath")' "$work/romlift.log"
check "the compositor has configured it" \
  wait_for 10 grep -q 'xdg_toplevel@[0-9]*\.configure(' "$work/romlift.log"
sleep 1
check "the program is still running" kill -0 "$romlift"
check "no platform plugin trouble" \
  sh -c "! grep -Eiq 'could not (load|connect)|failed to create|xcb' '$work/romlift.log'"
cp "$work/romlift.log" "$out/romlift-wayland.log"
[ "$failures" -eq 0 ] || { tail -30 "$work/romlift.log"; exit 1; }
echo "all checks passed"
