#!/usr/bin/env bash
# Builds REMOVE.EXE (and the Windows test programs) with the MinGW-w64 cross
# compiler, then the host build with the simulated Windows and the tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$root" -B "$root/build/windows" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$root/build/windows" -j"$jobs"
cmake --build "$root/build/windows" --target medium
cmake -S "$root" -B "$root/build/host" -DWINDOWS_BUILD_DIR="$root/build/windows" >/dev/null
cmake --build "$root/build/host" -j"$jobs"
echo "REMOVE.EXE: $root/build/windows/REMOVE.EXE ($(stat -c %s "$root/build/windows/REMOVE.EXE") bytes)"
