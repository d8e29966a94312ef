#!/usr/bin/env bash
# Downloads a sample firmware image through romlift-cli into the virtual unit vx7r-sim on a
# pseudo-terminal, at a modelled 9600 baud, and compares what the unit received with the file.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bin="${ROMLIFT_BUILD_DIR:-$root/build}/bin"
work="$(mktemp -d /tmp/romlift-demo-XXXXXX)"
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A sample image of 4000 bytes: 80 frames, about 5 seconds on the line.
image="$work/PLQ5A_sample.abs"
head -c 4000 /dev/urandom > "$image"

# The unit announces type code 10, the code of model VX7R-KT-121B-XXX.
exec 3< <("$bin/vx7r-sim" --type-code 10 --once --quiet --save "$work/received.bin")
sim_pid=$!
read -r device <&3

echo "Virtual unit on $device; downloading $(basename "$image") ($(stat -c %s "$image") bytes)"
status=0
# The demo keeps its download record in its own folder, not in ~/.local/state.
export XDG_STATE_HOME="$work/state"
"$bin/romlift-cli" download --port "$device" --model VX7R-KT-121B-XXX --image "$image" || status=$?

wait "$sim_pid" || true
sim_pid=""
if [ "$status" -eq 0 ] && cmp -s "$image" "$work/received.bin"; then
  echo "Outcome: the unit confirmed the download and holds the image byte for byte."
else
  echo "Outcome: the download failed (romlift-cli exit status $status)." >&2
  exit 1
fi
