#!/usr/bin/env bash
# A Debian unstable root for what Debian 12 cannot run: Python 3.14 and 3.15
# (Debian's python3.14 and python3.15 packages), with GCC 16 and the
# libraries the modules build against, all unstable's own (simdjson 4, where
# Debian 12 has 3: builds there prove the newer one).
#
#   bash scripts/sid-root.sh prepare            create the root once (reused when complete)
#   bash scripts/sid-root.sh run COMMAND...     run COMMAND in it, in the work tree
#   bash scripts/sid-root.sh path               print where the root lives
#
#   VORLANE_SID_ROOT   where the root lives (default: /var/cache/vorlane/sid-root);
#                      outside the work tree, so that it survives a fresh clone
#
# Needs root. `run` prepares the root first when needed. It runs COMMAND in a
# mount namespace of its own, with the work tree bound at the same path it has
# here and /proc, /dev and /sys mounted; all of that is unmounted when COMMAND
# ends, however it ends. Inside, VORLANE_IN_SID_ROOT=1 is set, GCC 16 is the
# compiler, and pip trusts the host's CA certificates (a copy of its bundle at
# /etc/vorlane/ca-bundle.crt, a file the root's ca-certificates package does
# not manage).
set -euo pipefail
# Under sudo, files left in the work tree go back to its owner.
. "$(dirname "${BASH_SOURCE[0]}")/owner.sh" "$@"

root_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
sid=${VORLANE_SID_ROOT:-/var/cache/vorlane/sid-root}
readonly mirror=http://deb.debian.org/debian
readonly stamp=/etc/vorlane/prepared
readonly gcc_version=16
# The interpreters, the toolchain, and what scripts/setup.sh, scripts/test.sh
# and scripts/pg.sh look for (their own package checks pass inside the root).
readonly packages=(
  python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  python3-dev python3-venv
  "gcc-$gcc_version" "g++-$gcc_version" g++ make cmake
  libasio-dev nlohmann-json3-dev libsimdjson-dev libsodium-dev libsqlite3-dev libpq-dev
  libgtest-dev postgresql ca-certificates util-linux procps openssl)
apt_options=(-o Acquire::Check-Valid-Until=false -o APT::Install-Recommends=false -q)

die() {
  echo "sid-root.sh: $*" >&2
  exit 1
}

[ "$(id -u)" -eq 0 ] ||
  die "needs root (it creates a Debian root with debootstrap and mounts into it); rerun as root or with sudo"

progress=(bash "$root_dir/scripts/progress.sh")

in_root() {
  chroot "$sid" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

copy_host_files() {
  # Name resolution and the host's CA bundle (for pip behind an intercepting proxy).
  cp -L /etc/resolv.conf "$sid/etc/resolv.conf"
  mkdir -p "$sid/etc/vorlane"
  local bundle=${PIP_CERT:-${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}}
  [ -f "$bundle" ] && cp -L "$bundle" "$sid/etc/vorlane/ca-bundle.crt"
  return 0
}

# Roots made before the switch to unstable's own simdjson carry Debian 12's
# 3.x, installed from this machine's packages: replaced by unstable's.
use_unstable_simdjson() {
  [[ $(in_root dpkg-query -W -f='${Version}' libsimdjson-dev 2>/dev/null) == 3.* ]] || return 0
  echo "==> replacing Debian 12's simdjson 3 in the root with unstable's own"
  { in_root apt-get "${apt_options[@]}" update && in_root apt-get "${apt_options[@]}" install -y libsimdjson-dev; } 2>&1 |
    "${progress[@]}" '^(Setting up|E:)'
  ((PIPESTATUS[0] == 0)) || die "installing unstable's libsimdjson-dev into the root failed"
}

prepare() {
  if [ -f "$sid$stamp" ]; then
    echo "==> the Debian unstable root in $sid is ready (made before; remove the folder to make it again)"
    copy_host_files
    use_unstable_simdjson
    return 0
  fi
  local start=$SECONDS
  echo "==> preparing a Debian unstable root in $sid (about a minute and a half)"
  if ! command -v debootstrap >/dev/null; then
    echo "==> installing debootstrap"
    apt-get install -y -q debootstrap >/dev/null 2>&1 ||
      { apt-get update -q >/dev/null && apt-get install -y -q debootstrap; } 2>&1 | "${progress[@]}" '^(Setting up|E:)'
  fi
  # A root left half made by an interrupted run is started again.
  if [ -e "$sid" ]; then
    echo "==> removing an unfinished root"
    umount -R "$sid/proc" "$sid/dev" "$sid/sys" 2>/dev/null || true
    rm -rf --one-file-system "$sid"
  fi
  mkdir -p "$(dirname "$sid")"
  echo "==> debootstrap (minbase, unstable)"
  debootstrap --variant=minbase sid "$sid" "$mirror" 2>&1 |
    "${progress[@]}" '^I: (Retrieving InRelease|Resolving|Installing core|Unpacking required|Configuring required|Base system)|^E:' ||
    die "debootstrap failed"
  [ -x "$sid/usr/bin/apt-get" ] || die "debootstrap left no usable root in $sid"
  copy_host_files
  echo "Acquire::Check-Valid-Until \"false\";" >"$sid/etc/apt/apt.conf.d/99vorlane-valid-until"
  printf '[global]\ncert = /etc/vorlane/ca-bundle.crt\n' >"$sid/etc/pip.conf"
  echo "==> installing Python 3.14, 3.15, GCC $gcc_version and the libraries"
  mount -t proc proc "$sid/proc"
  trap 'umount "$sid/proc" 2>/dev/null || true' EXIT
  # No service starts inside the root (the postgresql package would start a cluster).
  printf '#!/bin/sh\nexit 101\n' >"$sid/usr/sbin/policy-rc.d"
  chmod 755 "$sid/usr/sbin/policy-rc.d"
  in_root apt-get "${apt_options[@]}" update 2>&1 | "${progress[@]}" '^(Get|E:|W:)' ||
    die "apt-get update failed in the root"
  in_root apt-get "${apt_options[@]}" install -y "${packages[@]}" 2>&1 |
    "${progress[@]}" '^(Setting up (python3\.1[45]|g\+\+-[0-9]+|cmake|postgresql-[0-9]+|lib[a-z0-9]+-dev) |E:)'
  local status=${PIPESTATUS[0]}
  ((status == 0)) || die "installing packages in the root failed (apt-get exit status $status)"
  umount "$sid/proc"
  trap - EXIT
  # GCC 16 as cc, c++, gcc and g++, whatever the root's default compiler is.
  local tool
  for tool in gcc g++ cpp; do
    ln -sf "$tool-$gcc_version" "$sid/usr/bin/$tool"
  done
  ln -sf "gcc-$gcc_version" "$sid/usr/bin/cc"
  ln -sf "g++-$gcc_version" "$sid/usr/bin/c++"
  in_root apt-get clean
  touch "$sid$stamp"
  echo "==> root ready in $((SECONDS - start)) s: $(in_root python3.14 --version), $(in_root python3.15 --version), $(in_root g++ --version | head -n 1)"
}

run() {
  (($#)) || die "usage: bash scripts/sid-root.sh run COMMAND..."
  # unshare cannot make the mounts private where / is not a mount point, as
  # in a chroot entered without binding its folder onto itself first.
  mountpoint -q / ||
    die "/ is not a mount point here (a chroot?): run this outside the chroot, or enter the chroot after binding its folder onto itself (mount --bind DIR DIR)"
  prepare
  # What the command sees of the caller's environment: the project's own
  # variables and a few of the general ones.
  local -a vars=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
                 LANG=C.UTF-8 TERM="${TERM:-dumb}" VORLANE_IN_SID_ROOT=1
                 PIP_CERT=/etc/vorlane/ca-bundle.crt PIP_DISABLE_PIP_VERSION_CHECK=1
                 PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-60}"
                 CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}")
  local name
  for name in CI $(compgen -e | grep -E '^(VORLANE_|PYTEST_)' || true); do
    [ -n "${!name+x}" ] && vars+=("$name=${!name}")
  done
  SID=$sid TREE=$root_dir unshare --mount --propagation private -- bash -c '
    set -euo pipefail
    cleanup() {
      umount -R "$SID" 2>/dev/null || true
    }
    trap cleanup EXIT
    mkdir -p "$SID$TREE"
    # The root bound onto itself: a mount point, as / is, so that commands
    # inside can make mount namespaces of their own (unshare).
    mount --bind "$SID" "$SID"
    mount --bind "$TREE" "$SID$TREE"
    mount -t proc proc "$SID/proc"
    mount --rbind /dev "$SID/dev"
    mount --rbind /sys "$SID/sys"
    chroot "$SID" /usr/bin/env -i "$@"
  ' bash "${vars[@]}" bash -c 'cd "$0" && exec "$@"' "$root_dir" "$@"
}

case ${1:-prepare} in
  prepare) prepare ;;
  run) shift; run "$@" ;;
  path) echo "$sid" ;;
  *) die "usage: bash scripts/sid-root.sh {prepare|run COMMAND...|path}" ;;
esac
