#!/usr/bin/env bash
# Installs the Debian packages Velmor needs to build, test and run, and nothing
# else, under the names the running release gives them (tested on Debian 12 and
# 13). Checking is cheap (one dpkg-query); the package lists are refreshed only
# when something is actually missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev libgtest-dev
  clang clang-format
  fonts-noto-cjk xvfb xauth
  iproute2 nftables util-linux python3 dpkg-dev file openssl
  help2man lintian systemd man-db
  qt6-httpserver-dev qt6-websockets-dev libssl-dev libsqlite3-dev chromium nodejs ca-certificates
  # The browser test's other two engines. WebKitWebDriver drives the
  # MiniBrowser that libwebkit2gtk-4.1-0 ships; Debian 13 names the driver's
  # package webkitgtk-webdriver and keeps webkit2gtk-driver as the name that
  # brings it, the only name Debian 12 has.
  firefox-esr webkit2gtk-driver
)

installed() {
  dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'
}
missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
# Debian's nodejs comes without npm; other builds of nodejs bring their own.
if ! command -v npm >/dev/null 2>&1 && ! installed npm; then
  missing+=(npm)
fi
# The sanitizers' runtime of the clang that is installed, or that the release
# would install: clang 14 on Debian 12, clang 19 on Debian 13.
# (asked of clang itself once the packages above are in).
clang_major() {
  clang -dumpversion | cut -d. -f1
}

# Installs the named packages: as root directly, otherwise through sudo,
# otherwise it prints the exact command to run.
apt_install() {
  local install_cmd=(apt-get install -y --no-install-recommends "$@") run=()
  echo "velmor setup: installing $*" >&2
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "velmor setup: these packages are missing and neither root nor sudo is available." >&2
      echo "Please run as root:  apt-get update && ${install_cmd[*]}" >&2
      exit 1
    fi
    run=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${run[@]}" apt-get update -q
  "${run[@]}" "${install_cmd[@]}"
}
if [ ${#missing[@]} -gt 0 ]; then
  apt_install "${missing[@]}"
fi
runtime="libclang-rt-$(clang_major)-dev"
installed "$runtime" || apt_install "$runtime"

# The browser test's drivers (playwright-core, puppeteer-core,
# selenium-webdriver) and axe-core, from the npm registry, at the versions the
# lock file names; installed again only when the lock file changed.
web="$(dirname "$0")/../tests/web"
# The drivers support only some releases of Node: say so in one line rather
# than let the test fail with a stack.
if ! node -e '
  const wanted = require(process.argv[1]).engines.node;
  const least = Number(/^>=\s*(\d+)/.exec(wanted)[1]);
  if (Number(process.versions.node.split(".")[0]) < least) {
    console.error(`velmor setup: Node.js ${process.versions.node} is too old for the browser test; it needs Node.js ${wanted}`);
    process.exit(1);
  }' "$(cd "$web" && pwd)/package.json"; then
  exit 1
fi
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.velmor-installed-lock" 2>/dev/null; then
  echo "velmor setup: installing the browser test's drivers (npm ci in tests/web)" >&2
  (cd "$web" && npm ci --no-audit --no-fund --loglevel=error &&
    cp package-lock.json node_modules/.velmor-installed-lock)
fi
