#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 or 13 machine,
# from the machine's own apt sources. Idempotent: packages that are already
# present are not installed again. What it changes on the machine: the i386
# architecture added to dpkg (Wine's 32-bit side), the Czech locales enabled
# in /etc/locale.gen and generated, and where the kernel refuses i386
# programs QEMU's user-mode emulator registered (tests/wine/enable_i386.sh).
set -euo pipefail
here=$(dirname "$0")
. "$here/apt.sh"

need=(cmake g++ make python3 libgtest-dev libgmock-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
      wine wine32:i386 wine64 xvfb xdotool x11-apps imagemagick locales file clang
      osslsigncode openssl ca-certificates fonts-wine liblnk-utils mount xorriso)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# The sanitizer and libFuzzer runtime of the clang that is installed, or of the
# one apt would install (Debian 12's clang is 14, Debian 13's 19).
clang_runtime() {
  local major
  major=$(clang --version 2>/dev/null | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)
  [ -n "$major" ] || major=$(apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9]*\)$/\1/p' | head -n 1)
  [ -n "$major" ] && echo "libclang-rt-$major-dev"
}

missing=()
for p in "${need[@]}"; do
  installed "$p" || missing+=("$p")
done
runtime=$(clang_runtime || true)
if [ -n "$runtime" ] && ! installed "$runtime"; then
  missing+=("$runtime")
fi

if [ ${#missing[@]} -gt 0 ] || [ -z "$runtime" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt_refresh
  if [ -z "$runtime" ]; then
    runtime=$(clang_runtime) || { echo "setup: apt offers no clang" >&2; exit 1; }
    installed "$runtime" || missing+=("$runtime")
  fi
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
fi

# Wine shows the Czech texts with the right glyphs only under a Czech locale
# (ANSI code page 1250); the kit's build is also checked under a Latin-2 one.
for entry in 'cs_CZ.UTF-8 UTF-8' 'cs_CZ ISO-8859-2'; do
  if ! grep -qx "$entry" /etc/locale.gen; then
    sed -i "s/^# *\($entry\)\$/\1/" /etc/locale.gen
    grep -qx "$entry" /etc/locale.gen || echo "$entry" >>/etc/locale.gen
  fi
done
if [ "$(locale -a 2>/dev/null | grep -cx 'cs_CZ\.\(utf8\|iso88592\)')" != 2 ]; then
  locale-gen >/dev/null
fi

# Wine's 32-bit side needs i386 Linux programs to run; where the kernel
# refuses them, they run through QEMU's user-mode emulator.
bash "$here/../tests/wine/enable_i386.sh"
