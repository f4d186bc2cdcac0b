#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz, replays the committed
# regression corpus, then fuzzes each target for the given number of seconds
# (default 30). New inputs collect in build/fuzz/corpus/<target>; an input
# that makes a target fail is written to build/fuzz/artifacts/<target>/ and
# belongs, once understood, in tests/fuzz/corpus/<target>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
build="$root/build/fuzz"
targets=(fuzz_arguments fuzz_environment fuzz_shell_folder fuzz_text_file)
# Longest input worth trying, per target: the shell folder reads four bytes
# of type and at most 300 of data.
declare -A max_len=([fuzz_arguments]=4096 [fuzz_environment]=4096 [fuzz_shell_folder]=304 [fuzz_text_file]=4096)

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing (bash scripts/setup.sh installs clang and its libFuzzer runtime)" >&2
  exit 2
fi

jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DKALMARIS_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_targets -j"$jobs"
ctest --test-dir "$build" -L fuzz --output-on-failure

failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  echo "== $target: ${seconds} s"
  if ! "$build/$target" -max_total_time="$seconds" -max_len="${max_len[$target]}" -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "$root/tests/fuzz/corpus/$target" 2>"$build/$target.log"; then
    failed+=("$target")
    tail -n 60 "$build/$target.log" >&2
  fi
  grep -E '^stat::number_of_executed_units|^stat::average_exec_per_sec|^stat::new_units_added' "$build/$target.log" || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: failures in ${failed[*]}; inputs in $build/artifacts/" >&2
  exit 1
fi
echo "fuzz.sh: no failures"
