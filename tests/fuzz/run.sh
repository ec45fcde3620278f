#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz with clang and runs each for a bounded time.
# Usage: tests/fuzz/run.sh [seconds per target, default 60] [target names...]
# A crash stops the script with status 1; the input that did it is left in build-fuzz/crashes/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
shift || true
build=$root/build-fuzz

if command -v clang++-22 >/dev/null; then
  export CC=clang-22 CXX=clang++-22
elif command -v clang++-14 >/dev/null; then
  export CC=clang-14 CXX=clang++-14
else
  echo "run.sh: needs clang-22 or clang-14 (with libclang-rt-14-dev)" >&2
  exit 2
fi

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPALVEX_BUILD_FUZZERS=ON -DPALVEX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j4 --target palvex_fuzzers

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$build"/bin/fuzz_*; do
    name=$(basename "$binary")
    case $name in fuzz_replay_*) continue ;; esac
    targets+=("${name#fuzz_}")
  done
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/crashes"
status=0
for target in "${targets[@]}"; do
  seeds=$root/tests/fuzz/corpus/$target
  work=$build/corpus/$target          # what the fuzzer finds stays out of the repository
  mkdir -p "$work"
  regressions=()
  [ -d "$root/tests/fuzz/regressions/$target" ] && regressions=("$root/tests/fuzz/regressions/$target")
  echo "=== fuzz $target for ${seconds}s"
  log=$build/fuzz-$target.log
  if "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" \
      "$work" "$seeds" "${regressions[@]}" >"$log" 2>&1; then
    grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE" "$log" || true
  else
    echo "fuzz $target FAILED; its log: $log" >&2
    tail -n 60 "$log" >&2
    status=1
  fi
done
exit $status
