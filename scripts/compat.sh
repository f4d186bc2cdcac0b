#!/usr/bin/env bash
# Runs the Wine tests' whole cycle (KALCHECK.EXE: install answered Yes,
# uninstall by the registered command, each step checked; then the next
# system start) under every Windows version Wine
# reports, in a 32-bit prefix and, for the 64-bit versions of Windows, in a
# 64-bit prefix. Each row first checks that its version took effect (what
# RtlGetVersion tells a program). Prints one table, Wine and Windows version
# x prefix -> passed or the reason it failed, with the time each row took;
# exits non-zero when a row failed.
#
#   bash scripts/compat.sh [JOBS]           the host's Wine (Debian 12: Wine 8),
#                                           JOBS rows at a time (default 2)
#   bash scripts/compat.sh --wine10 [JOBS]  win11 and win10, each in a 32-bit and
#                                           a 64-bit prefix, under Wine 10
#
# --wine10 runs the harness inside a Debian 13 root file system (Wine 10),
# made with mmdebstrap (installed here if missing) the first time, from the
# host's Debian mirror (or KALMARIS_DEBIAN_MIRROR; it prints its time and size),
# and kept as build/wine10-root. It is made in a temporary folder and renamed
# when complete, so an interrupted making is never taken for a root. For the
# run the script bind-mounts /proc, /sys, /dev, /dev/pts, /dev/shm and this
# work tree (at the same path) into it; when it ends, also on failure or
# interrupt, it ends every process left inside the root and unmounts them
# again. One such run at a time. Where the kernel refuses i386 programs,
# QEMU's binfmt_misc entry (tests/wine/enable_i386.sh) serves the root too:
# registered with the F flag, the emulator need not be inside it.
set -euo pipefail
# The physical path, as the kernel names the root of a process inside the
# Wine 10 root (see processes_in).
root=$(cd "$(dirname "$0")/.." && pwd -P)
wine10=
if [ "${1:-}" = --wine10 ]; then
  wine10=1
  shift
fi
jobs=${1:-2}

if [ -n "$wine10" ]; then
  versions32="win10 win11"
  versions64="win10 win11"
  out="$root/build/compat-wine10"
  cache="$root/build/wine10-cache"
  newroot="$root/build/wine10-root"
else
  versions32="win95 win98 winme nt40 win2k winxp vista win7 win8 win81 win10 win11"
  versions64="winxp64 win7 win10"
  out="$root/build/compat"
  cache="$root/build/host/wine-cache"
  newroot=
fi

bash "$root/scripts/build.sh" >/dev/null
rm -rf "$out"
mkdir -p "$out"
export KALMARIS_WINDOWS_BUILD="$root/build/windows" KALMARIS_WINE_CACHE="$cache"
export PYTHONDONTWRITEBYTECODE=1 out root newroot

# ---------------------------------------------------------------- the Wine 10 root

# What the root is made of; a root made from another list is made anew. gcc
# and libc6-dev build the harness's fix for QEMU where i386 programs are
# emulated (see tests/wine/winetest.py).
suite=trixie
packages="wine,wine32:i386,wine64,xvfb,xauth,python3,locales,gcc,libc6-dev"
recipe="$suite amd64,i386 $packages cs_CZ.UTF-8"
mounts=()     # what this run mounted, in order
creating=     # the unfinished root being made
maker=        # the pid of mmdebstrap while it runs
rows_pid=     # the pid of xargs while rows run
cleaned=

. "$root/scripts/roots.sh"

# Unmounts what this run mounted, in reverse order, then whatever else is
# still mounted under $1; lazily where a mount is still busy.
unmount_under() {
  local i m
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    m=${mounts[i]}
    if mountpoint -q "$m"; then umount "$m" 2>/dev/null || umount -l "$m"; fi
  done
  mounts=()
  while read -r m; do umount "$m" 2>/dev/null || umount -l "$m" || true; done < <(mounts_under "$1")
  if [ -n "$(mounts_under "$1")" ]; then
    echo "compat.sh: still mounted under $1: $(mounts_under "$1" | tr '\n' ' ')" >&2
    return 1
  fi
}

# Deletes an unfinished root; never while something is mounted inside it
# (its /dev is the host's).
remove_unfinished() {
  stop_processes "$1" || true
  unmount_under "$1" || return 1
  rm -rf --one-file-system "$1"
}

cleanup() {
  [ -n "$cleaned" ] && return 0
  cleaned=1
  local failed=
  if [ -n "$rows_pid" ]; then kill -TERM "$rows_pid" 2>/dev/null || true; fi  # no further row starts
  if [ -n "$maker" ]; then
    kill -TERM -- "-$maker" 2>/dev/null || kill -TERM "$maker" 2>/dev/null || true
    wait "$maker" 2>/dev/null || true
  fi
  if [ -n "$creating" ]; then remove_unfinished "$creating" || failed=1; fi
  if [ -d "$newroot" ]; then
    stop_processes "$newroot" || failed=1
    unmount_under "$newroot" || failed=1
    # What the harness had no time to clean up: its machines, a template it
    # was making.
    if [ "${KALMARIS_WINE_KEEP:-}" != 1 ]; then rm -rf --one-file-system "$cache/machines"; fi
    if [ -d "$cache" ]; then
      find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'template*.*' -exec rm -rf --one-file-system {} +
    fi
  fi
  if [ -n "$rows_pid" ]; then wait "$rows_pid" 2>/dev/null || true; fi
  if [ -n "$failed" ]; then echo "compat.sh: the Wine 10 root was not left clean (see above)" >&2; return 1; fi
}

make_root() {
  if [ -f "$newroot/.kalmaris-root" ] && [ "$(cat "$newroot/.kalmaris-root")" = "$recipe" ]; then
    return 0
  fi
  if ! command -v mmdebstrap >/dev/null; then
    . "$root/scripts/apt.sh"
    apt_install mmdebstrap 2>/dev/null || { apt_refresh && apt_install mmdebstrap; }
  fi
  local mirror old started=$SECONDS
  mirror=$(bash "$root/scripts/debian_mirror.sh")
  if [ -z "$mirror" ]; then
    echo "compat.sh: no Debian mirror in the host's apt sources; set KALMARIS_DEBIAN_MIRROR" >&2
    return 1
  fi
  for old in "$newroot".new.*; do
    if [ -d "$old" ]; then remove_unfinished "$old"; fi
  done
  creating=$(mktemp -d "$newroot.new.XXXXXX")
  echo "Making the Debian 13 root (Wine 10) from $mirror, once (about 2 minutes; log: $out/root.log) ..."
  # A session of its own: an interrupt stops it together with its apt and
  # dpkg (see cleanup), and it unmounts what it mounted.
  setsid mmdebstrap --mode=root --variant=apt --architectures=amd64,i386 --include="$packages" \
    --customize-hook='echo "cs_CZ.UTF-8 UTF-8" >>"$1/etc/locale.gen"' \
    --customize-hook='chroot "$1" locale-gen' \
    "$suite" "$creating" "deb $mirror $suite main" >"$out/root.log" 2>&1 &
  maker=$!
  if ! wait "$maker"; then
    maker=
    echo "compat.sh: making the root failed (log: $out/root.log)" >&2
    return 1
  fi
  maker=
  echo "$recipe" >"$creating/.kalmaris-root"
  if [ -e "$newroot" ]; then
    mv "$newroot" "$newroot.new.old"
    remove_unfinished "$newroot.new.old"
  fi
  mv "$creating" "$newroot"
  creating=
  echo "Made $newroot in $((SECONDS - started)) s, $(du -sh --one-file-system "$newroot" | cut -f1)."
}

bind() {
  mkdir -p "$newroot$1"
  mount --bind "$1" "$newroot$1"
  mounts+=("$newroot$1")
  mount --make-private "$newroot$1"
}

mount_root() {
  bind /proc
  bind /sys
  bind /dev
  bind /dev/pts
  bind /dev/shm
  # Where i386 programs run through QEMU, the harness looks at its entry.
  if mountpoint -q /proc/sys/fs/binfmt_misc; then bind /proc/sys/fs/binfmt_misc; fi
  bind "$root"
}

if [ -n "$wine10" ]; then
  exec 9>"$root/build/wine10-root.lock"
  if ! flock -n 9; then
    echo "compat.sh: another run is using $newroot" >&2
    exit 1
  fi
  trap 'cleanup || exit 1' EXIT
  trap 'echo "compat.sh: interrupted" >&2; cleanup; exit 130' INT
  trap 'echo "compat.sh: terminated" >&2; cleanup; exit 143' TERM
  make_root
  mount_root
fi

# Runs a command in tests/wine, under the host's Wine or inside the root.
harness() {
  if [ -n "$newroot" ]; then
    timeout 900 chroot "$newroot" /usr/bin/env -i -C "$root/tests/wine" PATH=/usr/local/bin:/usr/bin:/bin \
      HOME=/root LANG=C.UTF-8 KALMARIS_WINDOWS_BUILD="$KALMARIS_WINDOWS_BUILD" KALMARIS_WINE_CACHE="$KALMARIS_WINE_CACHE" \
      KALMARIS_WINE_ROWS="${KALMARIS_WINE_ROWS:-}" PYTHONDONTWRITEBYTECODE=1 "$@"
  else
    (cd "$root/tests/wine" && timeout 900 "$@")
  fi
}
export -f harness

# One row: the existing whole-cycle test with that row only. Writes
# <row>.log, and <row>.result: the outcome and the seconds it took.
row() {
  local name=${1//:/-} started=$SECONDS outcome
  if KALMARIS_WINE_ROWS=$1 harness python3 -m unittest -v \
      test_uninstall.WholeCycle.test_install_then_uninstall_removes_everything >"$out/$name.log" 2>&1; then
    outcome=passed
    if grep -q "skipped '" "$out/$name.log"; then
      outcome=$(grep -o "skipped '[^']*'" "$out/$name.log" | head -1 | sed "s/skipped '\(.*\)'/\1/")
    fi
  else
    outcome="FAILED: $(grep -m1 -E '^[A-Za-z.]*(Error|Exception)\b' "$out/$name.log" | cut -c1-110)"
  fi
  echo "$outcome ($((SECONDS - started)) s)" >"$out/$name.result"
}
export -f row

wine=$(harness wine --version | sed -n 's/^wine-\([^ ]*\).*/\1/p')
started=$SECONDS
echo "Running the whole cycle under Wine $wine for $(echo $versions32 | wc -w) versions in a 32-bit prefix and" \
     "$(echo $versions64 | wc -w) in a 64-bit prefix, $jobs at a time ..."
{ for v in $versions32; do echo "$v"; done; for v in $versions64; do echo "win64:$v"; done; } |
  xargs -P "$jobs" -I{} bash -c 'row "$1"' _ {} &
# Waited for in the background, so that an interrupt is acted on at once.
rows_pid=$!
wait "$rows_pid" || true
rows_pid=

cell() { if [ -f "$out/$1.result" ]; then cat "$out/$1.result"; else echo "not run"; fi; }
reports() {
  harness python3 -c "import sys, winetest
r = winetest.WINDOWS_VERSIONS.get(sys.argv[1])
print('%d.%d build %d' % r[:3] if r else 'unknown to Wine ' + sys.argv[2])" "$1" "${wine%%.*}"
}
echo
echo "| Wine | Windows version | RtlGetVersion (checked) | 32-bit prefix | 64-bit prefix |"
echo "|---|---|---|---|---|"
for v in $(echo $versions32 $versions64 | tr ' ' '\n' | awk '!seen[$0]++'); do
  c32=-; c64=-
  case " $versions32 " in *" $v "*) c32=$(cell "$v") ;; esac
  case " $versions64 " in *" $v "*) c64=$(cell "win64-$v") ;; esac
  echo "| $wine | $v | $(reports "$v") | $c32 | $c64 |"
done
failed=$(cat "$out"/*.result 2>/dev/null | grep -c '^FAILED' || true)
rows=$(ls "$out"/*.result 2>/dev/null | wc -l)
echo
echo "$rows rows, $failed failed, $((SECONDS - started)) s in all (logs: $out)"
[ "$failed" = 0 ] && [ "$rows" = "$(echo $versions32 $versions64 | wc -w)" ]
