#!/usr/bin/env bash
# Installs the Debian packages Velmor needs to build, test and run, and nothing
# else. Checking is cheap (one dpkg-query); the package lists are refreshed only
# when something is actually missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev
  clang libclang-rt-14-dev
  fonts-noto-cjk xvfb xauth
  iproute2 util-linux python3 dpkg-dev file
  help2man lintian systemd man-db
  qt6-httpserver-dev qt6-websockets-dev chromium nodejs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
# Debian's nodejs comes without npm; other builds of nodejs bring their own.
if ! command -v npm >/dev/null 2>&1 && ! dpkg-query -W -f='${Status}\n' npm 2>/dev/null | grep -q '^install ok installed$'; then
  missing+=(npm)
fi

install_cmd=(apt-get install -y --no-install-recommends "${missing[@]}")
[ ${#missing[@]} -gt 0 ] && echo "velmor setup: installing ${missing[*]}" >&2
if [ ${#missing[@]} -eq 0 ]; then
  run=()
elif [ "$(id -u)" -eq 0 ]; then
  run=()
elif command -v sudo >/dev/null 2>&1; then
  run=(sudo)
else
  echo "velmor setup: these packages are missing and neither root nor sudo is available." >&2
  echo "Please run as root:  apt-get update && ${install_cmd[*]}" >&2
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${run[@]}" apt-get update -q
  "${run[@]}" "${install_cmd[@]}"
fi

# The browser test's driver, from the npm registry, at the version the lock
# file names; installed again only when the lock file changed.
web="$(dirname "$0")/../tests/web"
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.velmor-installed-lock" 2>/dev/null; then
  echo "velmor setup: installing the browser test's driver (npm ci in tests/web)" >&2
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error &&
    cp package-lock.json node_modules/.velmor-installed-lock)
fi
