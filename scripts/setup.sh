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
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "velmor setup: installing ${missing[*]}" >&2
install_cmd=(apt-get install -y --no-install-recommends "${missing[@]}")
if [ "$(id -u)" -eq 0 ]; then
  run=()
elif command -v sudo >/dev/null 2>&1; then
  run=(sudo)
else
  echo "velmor setup: these packages are missing and neither root nor sudo is available." >&2
  echo "Please run as root:  apt-get update && ${install_cmd[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${run[@]}" apt-get update -q
"${run[@]}" "${install_cmd[@]}"
