#!/usr/bin/env bash
# Runs the browser test in a network namespace of its own: as root directly,
# otherwise inside a user namespace too. Exit status 77 (skipped) only where
# neither can be made.
#   run-browser-test.sh VELMOR SCREENSHOT.png
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -d "$here/node_modules/playwright-core" ]; then
  echo "playwright-core is not installed in $here (scripts/setup.sh installs it)" >&2
  exit 1
fi
if unshare -n true 2>/dev/null; then
  ns=(unshare -n)
elif unshare -rn true 2>/dev/null; then
  ns=(unshare -rn)
else
  echo "SKIPPED: cannot make a network namespace (neither as root nor in a user namespace)"
  exit 77
fi
exec "${ns[@]}" bash -c 'ip link set lo up && exec node "$@"' bash "$here/browser-test.mjs" "$@"
