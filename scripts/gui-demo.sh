#!/usr/bin/env bash
# Starts the romlift window against the virtual unit: vx7r-sim on a pseudo-terminal, COM1 mapped
# to it, and a sample image for the first model (VX7R-KT-121B-XXX, files PLQ5A*.abs) in the
# drivers folder beside a scratch copy of romlift, so the build tree's own bin/ stays untouched.
# Firmware > Download..., then Download, sends it; the unit paces its answers at 9600 baud.
# Ends when the window closes.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${ROMLIFT_BUILD_DIR:-$root/build}/bin"
work="$(mktemp -d /tmp/romlift-gui-XXXXXX)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/drivers"
cp "$bin/romlift" "$work/romlift"
head -c 4000 /dev/urandom > "$work/drivers/PLQ5A_sample.abs"

# Type code 10 is VX7R-KT-121B-XXX, the first row of the model list; other rows are refused by
# this unit at the header, as a real unit of another type would.
exec 3< <("$bin/vx7r-sim" --type-code 10 --quiet --save "$work/received.bin")
sim_pid=$!
read -r device <&3

echo "Virtual unit on $device as COM1; sample image drivers/PLQ5A_sample.abs (4000 bytes)."
echo "In the window: Firmware > Download..., keep COM1 and the first model, press Download."
status=0
# The demo keeps its download record in its own folder, not in ~/.local/state.
ROMLIFT_COM1="$device" XDG_STATE_HOME="$work/state" "$work/romlift" || status=$?

if [ -s "$work/received.bin" ]; then
  if cmp -s "$work/drivers/PLQ5A_sample.abs" "$work/received.bin"; then
    echo "The unit holds the sample image byte for byte."
  else
    echo "The unit's last received image differs from the sample." >&2
  fi
fi
# The window's Exit command ends with status 1 by design; closing the window gives 0.
exit 0
