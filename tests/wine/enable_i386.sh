#!/usr/bin/env bash
# Makes 32-bit x86 Linux programs runnable, which Wine's 32-bit loader
# (wine32:i386) needs. Some virtual machines (a kernel without the 32-bit
# compatibility mode reachable from user space) refuse every i386 ELF program
# with "Exec format error"; there the i386 programs are handed to QEMU's user
# mode emulator through binfmt_misc.
#
# QEMU 7.2 (Debian 12's own) tracks guest pages one by one and needs about a
# minute of processor time to start one Wine process; QEMU 9 and later keep
# them in interval trees and start it in well under a second, so qemu-user
# comes from the release's backports where the release's own is older (Debian
# 12). Idempotent; must run as root.
set -euo pipefail

runs_natively() { /lib/ld-linux.so.2 --version >/dev/null 2>&1; }

if runs_natively; then
  exit 0
fi

qemu=/usr/bin/qemu-i386
qemu_major() { "$qemu" --version 2>/dev/null | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p'; }

if [ ! -x "$qemu" ] || [ "$(qemu_major)" -lt 9 ] 2>/dev/null; then
  . "$(dirname "$0")/../../scripts/apt.sh"
  release=$(apt_release)
  apt_refresh
  # The release's own qemu-user where it is new enough (Debian 13's is 10),
  # else the one of its backports.
  offered=$(apt-cache policy qemu-user 2>/dev/null | sed -n 's/^ *Candidate: \([0-9]*:\)\{0,1\}\([0-9]*\).*/\2/p')
  suite=$release
  if [ "${offered:-0}" -lt 9 ]; then
    suite=$release-backports
    if ! grep -rqs "$suite" /etc/apt/sources.list /etc/apt/sources.list.d/; then
      # From the mirror the machine already uses for the release itself.
      mirror=$(bash "$(dirname "$0")/../../scripts/debian_mirror.sh")
      if [ -z "$mirror" ]; then
        echo "enable_i386.sh: no Debian mirror for $release in the apt sources; set KALMARIS_DEBIAN_MIRROR" >&2
        exit 1
      fi
      cat >"/etc/apt/sources.list.d/$suite.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
      apt_refresh
    fi
  fi
  # The old static emulators would stand in the way of the new package.
  if dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q 'install ok installed'; then
    apt-get remove -y -qq qemu-user-static </dev/null
  fi
  apt_install -t "$suite" qemu-user
fi

if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi

entry=/proc/sys/fs/binfmt_misc/qemu-i386
if [ -e "$entry" ] && ! grep -qx "interpreter $qemu" "$entry"; then
  echo -1 >"$entry"
fi
if [ ! -e "$entry" ]; then
  # i386 ELF executables and shared objects (e_machine 3); "F" opens the
  # emulator now, so the registration works in every mount namespace.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' \
    >/proc/sys/fs/binfmt_misc/register
fi

if ! runs_natively; then
  echo "enable_i386.sh: i386 programs still do not run" >&2
  exit 1
fi
