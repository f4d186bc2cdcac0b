#!/usr/bin/env bash
# Builds REMOVE.EXE and shows it at work under Wine in a throwaway prefix:
# install, Add/Remove Programs, uninstall from there, next system start. The
# stages with their pictures land in build/demo/index.html.
#   bash scripts/demo.sh --docs docs/pictures   also renews the README's pictures
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
python3 "$root/tests/wine/demo.py" --windows-build "$root/build/windows" --out "$root/build/demo" "$@"
