#!/usr/bin/env bash
# Runs every test: the simulated-Windows suites and the Wine tests of the real
# REMOVE.EXE. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"
ctest --test-dir "$root/build/host" -j2 --output-on-failure "$@"
