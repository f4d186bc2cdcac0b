#!/usr/bin/env bash
# Runs the README's test command on a fresh Debian 12 or 13 that has nothing
# but apt: a root file system made with mmdebstrap (--variant=apt: no
# compiler, cmake, Python, git, not even mount) from the machine's own mirror,
# with the release's updates and security suites as a real machine has.
#
#   bash scripts/bare_root.sh 12|13 [TEST ARGUMENTS…]
#
# The committed tree (git archive HEAD, as a clean clone has it) is copied to
# /root/src inside, and `bash scripts/test.sh TEST ARGUMENTS…` runs there.
# Prints the time of each step; REMOVE.EXE, KALCHECK.EXE and the kit built
# inside are kept in build/bare-debian12 (or 13), their SHA-256 printed. On
# every exit, a failure or Ctrl-C included, it ends every process left in the
# root, unmounts what was mounted in it and deletes it.
# KALMARIS_BARE_VARIANT=standard makes the root a whole system instead, with
# Debian's standard packages (mmdebstrap's variants). Exit code: the test
# command's. Run as root.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/roots.sh"
release=${1:-}
case "$release" in
  12) suite=bookworm ;;
  13) suite=trixie ;;
  *) echo "usage: bash scripts/bare_root.sh 12|13 [TEST ARGUMENTS...]" >&2; exit 2 ;;
esac
shift

if ! command -v mmdebstrap >/dev/null; then
  . "$root/scripts/apt.sh"
  apt_refresh
  apt_install mmdebstrap
fi
mirror=$(bash "$root/scripts/debian_mirror.sh")
security=$(bash "$root/scripts/debian_mirror.sh" security)
if [ -z "$mirror" ] || [ -z "$security" ]; then
  echo "bare_root.sh: no Debian mirror (or security mirror) in the apt sources; set KALMARIS_DEBIAN_MIRROR and KALMARIS_DEBIAN_SECURITY_MIRROR" >&2
  exit 1
fi

dir=$(mktemp -d /var/tmp/kalmaris-debian$release.XXXXXX)
clean_up() {
  local left
  stop_processes "$dir" || true
  # Innermost first: whatever was mounted inside, then /dev/shm, /dev/pts, /dev, /sys, /proc.
  mounts_under "$dir" | while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
  left=$(mounts_under "$dir")
  if [ -n "$left" ]; then
    echo "bare_root.sh: still mounted, $dir kept: $left" >&2
    return
  fi
  rm -rf --one-file-system "$dir"
}
trap clean_up EXIT
trap 'exit 130' INT TERM

step() { echo "== $(date +%T) $*"; }
start=$SECONDS
step "Debian $release ($suite), variant ${KALMARIS_BARE_VARIANT:-apt}, from $mirror, into $dir"
# The base system as an installer's medium lays it down, from the release and
# its updates; the security suite is in the sources, so the set-up meets it as
# a new machine's first update does. (Base packages from a security suite
# whose i386 index is mid-sync would have no i386 twins of their version.)
mmdebstrap --quiet --variant="${KALMARIS_BARE_VARIANT:-apt}" \
  --customize-hook="echo 'deb $security $suite-security main' >>\"\$1/etc/apt/sources.list\"" \
  "$suite" "$dir" "deb $mirror $suite main" "deb $mirror $suite-updates main"
made=$SECONDS
mkdir "$dir/root/src"
git -C "$root" archive HEAD | tar -x -C "$dir/root/src"
cp /etc/resolv.conf "$dir/etc/"
mount -t proc proc "$dir/proc"
mount -t sysfs sysfs "$dir/sys"
mount --bind /dev "$dir/dev"
mount --bind /dev/pts "$dir/dev/pts"
mount -t tmpfs tmpfs "$dir/dev/shm"

step "bash scripts/test.sh $* (the README's test command) inside"
# In the background, so that a signal to this script is acted on at once (the
# clean-up ends the test command with everything else inside).
chroot "$dir" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin TERM="${TERM:-dumb}" \
  bash -c 'cd /root/src && bash scripts/test.sh "$@" </dev/null' bash "$@" &
status=0
wait $! || status=$?
# What was built inside, kept beside this tree's own builds.
built=$dir/root/src/build/windows
if [ -f "$built/REMOVE.EXE" ]; then
  kept=$root/build/bare-debian$release
  rm -rf "$kept" && mkdir -p "$kept"
  cp -a "$built/REMOVE.EXE" "$built/KALCHECK.EXE" "$built/kit" "$kept/"
  step "built inside, kept in $kept:"
  (cd "$kept" && sha256sum REMOVE.EXE KALCHECK.EXE kit/*)
fi
step "Debian $release: the root made in $((made - start)) s, the tests took $((SECONDS - made)) s, exit code $status"
exit "$status"
