#!/usr/bin/env bash
# First command: installs what the programs need to run and to be built (no test tool, no
# database server), builds the programs into build/, and runs a download to the virtual unit.
# With a display (and ROMLIFT_NO_GUI unset) it then opens the romlift window on the same kind of
# virtual unit, COM1 mapped to it and a sample image in its drivers folder.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" run build
"$root/scripts/build.sh" -DROMLIFT_BUILD_TESTS=OFF -DROMLIFT_BUILD_BENCH=OFF
"$root/scripts/demo.sh"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${ROMLIFT_NO_GUI:-}" ]; then
  "$root/scripts/gui-demo.sh"
fi
