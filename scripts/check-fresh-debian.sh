#!/usr/bin/env bash
# Runs the README's test command on a minimal Debian root of the given release,
# as a new user would on a fresh machine: nothing there but Debian's own base
# system, the committed tree, and the host's settings for reaching the package
# archive and the npm registry. Run it as root, before resolving work that
# touches the set-up, the dependencies, Qt APIs or the tests' tools.
#
#   scripts/check-fresh-debian.sh [bookworm|trixie]      (default: bookworm)
#
# The base root made by debootstrap is cached (VELMOR_FRESH_CACHE, default
# /var/cache/velmor-fresh-debian); every run starts from a fresh copy of it, so
# one run never sees what an earlier one installed. Ends with one line,
# "PASS" or "FAIL", and the path of the whole log.
set -euo pipefail

release="${1:-bookworm}"
case "$release" in
  bookworm | trixie) ;;
  *)
    echo "usage: $0 [bookworm|trixie]" >&2
    exit 2
    ;;
esac
if [ "$(id -u)" -ne 0 ]; then
  echo "$0: run as root (debootstrap, chroot and the mounts need it)" >&2
  exit 2
fi
for tool in debootstrap git unshare; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "$0: $tool is missing (apt-get install debootstrap git util-linux)" >&2
    exit 2
  fi
done

source_dir="$(cd "$(dirname "$0")/.." && pwd)"
cache="${VELMOR_FRESH_CACHE:-/var/cache/velmor-fresh-debian}"
work="$cache/run-$release"
base="$cache/$release-base.tar"
log="$cache/$release.log"
mkdir -p "$cache"

# The host's archive and security mirrors, from its deb822 or one-line sources,
# so a machine behind a mirror or a proxy reaches the same place.
host_uris() {
  local pattern="$1"
  {
    grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{ for (i = 2; i <= NF; i++) print $i }'
    grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
      sed -E 's/\[[^]]*\]//' | awk '{ print $2 }'
  } | grep -E "$pattern" | head -n 1
}
mirror="$(host_uris '/debian/?$' || true)"
security="$(host_uris '/debian-security/?$' || true)"
mirror="${mirror:-http://deb.debian.org/debian}"
security="${security:-http://deb.debian.org/debian-security}"

# Proxies and CA bundles the host uses for apt, npm and node.
passed_env=()
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY \
  npm_config_registry npm_config_proxy npm_config_https_proxy; do
  if [ -n "${!name:-}" ]; then passed_env+=("$name=${!name}"); fi
done
host_ca=""
for candidate in "${NODE_EXTRA_CA_CERTS:-}" "${npm_config_cafile:-}" \
  "$(command -v npm >/dev/null 2>&1 && npm config get cafile 2>/dev/null || true)"; do
  if [ -n "$candidate" ] && [ "$candidate" != null ] && [ -f "$candidate" ]; then
    host_ca="$candidate"
    break
  fi
done
host_registry="$(command -v npm >/dev/null 2>&1 && npm config get registry 2>/dev/null || true)"

{
  echo "== $(date -u '+%F %T') fresh $release from $mirror (security: $security)"
  if [ ! -f "$base" ]; then
    echo "== making the base root with debootstrap (cached as $base)"
    rm -rf "$work"
    mkdir -p "$work"
    debootstrap --variant=minbase "$release" "$work" "$mirror"
    tar -C "$work" -cf "$base.partial" .
    mv "$base.partial" "$base"
  fi
} >"$log" 2>&1 || {
  echo "FAIL $release (debootstrap failed): $log"
  exit 1
}

start=$(date +%s)
rm -rf "$work"
mkdir -p "$work"
tar -C "$work" -xf "$base"

# The release's own archive, through the host's mirrors and apt settings.
cat >"$work/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
deb $security $release-security main
EOF
# Only the settings for reaching the archive: copying whole files would clash
# with the configuration files of packages installed later.
apt-config dump | grep -E '^Acquire::(([a-z]+::)?Proxy|Check-Valid-Until|Check-Date|Retries)' \
  >"$work/etc/apt/apt.conf.d/99host-archive-settings" || true
cp /etc/resolv.conf "$work/etc/resolv.conf"
if [ -n "$host_ca" ]; then
  cp "$host_ca" "$work/usr/local/share/host-ca-bundle.crt"
  passed_env+=(NODE_EXTRA_CA_CERTS=/usr/local/share/host-ca-bundle.crt
    npm_config_cafile=/usr/local/share/host-ca-bundle.crt)
fi
if [ -n "$host_registry" ] && [ "$host_registry" != "https://registry.npmjs.org/" ]; then
  passed_env+=("npm_config_registry=$host_registry")
fi

# The committed tree, as a clean clone would have it.
mkdir -p "$work/root/velmor"
git -C "$source_dir" archive HEAD | tar -x -C "$work/root/velmor"

# In a mount namespace of its own, so every mount ends with the run.
set +e
unshare --mount --propagation private --fork bash -c '
  set -e
  root="$1"; shift
  mount -t proc proc "$root/proc"
  mount --rbind /sys "$root/sys"
  mount --rbind /dev "$root/dev"
  mount -t tmpfs -o size=4g tmpfs "$root/dev/shm"
  mount -t tmpfs tmpfs "$root/tmp"
  exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@" \
    bash -c "cd /root/velmor && ./test.sh"
' fresh "$work" "${passed_env[@]}" >>"$log" 2>&1
status=$?
set -e
seconds=$(($(date +%s) - start))
if [ $status -eq 0 ]; then
  echo "PASS $release in ${seconds} s: $log"
else
  echo "FAIL $release (exit $status after ${seconds} s): $log"
fi
exit $status
