#!/usr/bin/env bash
# Runs every test: the simulated-Windows suites (plain and under
# AddressSanitizer/UBSan), the fuzz regression corpus, and the Wine tests of
# the real REMOVE.EXE. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"

jobs=$(nproc 2>/dev/null || echo 2)
echo "== host tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$root/build/asan" -DKALMARIS_SANITIZE=ON -DWINDOWS_BUILD_DIR="$root/build/windows" >/dev/null
cmake --build "$root/build/asan" -j"$jobs" --target host_tests winsim_tests
ctest --test-dir "$root/build/asan" -j"$jobs" -L host --output-on-failure

echo "== all tests"
ctest --test-dir "$root/build/host" -j2 --output-on-failure "$@"
