#!/usr/bin/env bash
# Builds REMOVE.EXE and shows it at work under Wine in a throwaway prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
python3 "$root/tests/wine/demo.py" --windows-build "$root/build/windows" --out "$root/build/demo"
