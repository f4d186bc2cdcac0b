#!/usr/bin/env bash
# Runs every test: the simulated-Windows suites (plain and under
# AddressSanitizer/UBSan), the fuzz targets (corpus replay, then a bounded
# run each), and the Wine tests of the real REMOVE.EXE. Installs what is
# missing first. KALMARIS_FUZZ_SECONDS sets the fuzzing time per target
# (default 30, 0 skips it). Ends with its total time once every test passed.
set -euo pipefail
started=$SECONDS
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/build.sh"

jobs=$(nproc 2>/dev/null || echo 2)
echo "== host tests and corpus replay under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S "$root" -B "$root/build/asan" -DKALMARIS_SANITIZE=ON -DWINDOWS_BUILD_DIR="$root/build/windows" >/dev/null
cmake --build "$root/build/asan" -j"$jobs" --target host_tests winsim_tests fuzz_targets
ctest --test-dir "$root/build/asan" -j"$jobs" -L 'host|fuzz' --output-on-failure

fuzz_seconds=${KALMARIS_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" != 0 ]; then
  echo "== fuzzing, $fuzz_seconds s per target"
  bash "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi

echo "== all tests"
ctest --test-dir "$root/build/host" -j2 --output-on-failure "$@"

took=$((SECONDS - started))
if [ $# -eq 0 ]; then which="all tests"; else which="the tests chosen"; fi
echo "test.sh: $which passed in $((took / 60)) min $((took % 60)) s"
