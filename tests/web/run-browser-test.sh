#!/usr/bin/env bash
# Runs the browser test in one engine, in a network namespace of its own: as
# root directly, otherwise inside a user namespace too. Exit status 77
# (skipped) only where neither can be made. The WebKit run gets an X server
# of its own, inside the namespace, for as long as the test runs.
#   run-browser-test.sh chromium|firefox|webkit VELMOR SCREENSHOT.png [http|https]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
engine="$1"
for driver in playwright-core puppeteer-core selenium-webdriver axe-core; do
  if [ ! -d "$here/node_modules/$driver" ]; then
    echo "$driver is not installed in $here (scripts/setup.sh installs it)" >&2
    exit 1
  fi
done
if unshare -n true 2>/dev/null; then
  ns=(unshare -n)
elif unshare -rn true 2>/dev/null; then
  ns=(unshare -rn)
else
  echo "SKIPPED: cannot make a network namespace (neither as root nor in a user namespace)"
  exit 77
fi
display=()
if [ "$engine" = webkit ]; then
  display=(xvfb-run --auto-servernum --server-args="-screen 0 1280x1024x24 -nolisten tcp")
fi
# Every address the test uses is on loopback: no proxy is asked.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
exec "${ns[@]}" bash -c 'ip link set lo up && exec "$@"' bash \
  "${display[@]}" node "$here/browser-test.mjs" "$@"
