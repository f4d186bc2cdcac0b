#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine.
# Idempotent: packages that are already present are not installed again.
set -euo pipefail

need=(cmake g++ make python3 libgtest-dev libgmock-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
      wine wine32:i386 wine64 xvfb xdotool x11-apps imagemagick locales file clang libclang-rt-14-dev
      osslsigncode openssl ca-certificates fonts-wine liblnk-utils mount)

missing=()
for p in "${need[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
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
bash "$(dirname "$0")/../tests/wine/enable_i386.sh"
