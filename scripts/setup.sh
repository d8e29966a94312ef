#!/usr/bin/env bash
# First command: installs what is missing, builds, and runs a download to the virtual unit.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
"$root/scripts/demo.sh"
