#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and runs each for a bounded time, starting from its saved corpus in
# tests/fuzz/corpus/. Fails when any target crashes, leaks, hangs or fails a check; the
# input that did it is left in build-fuzz/artifacts/<target>/ (replay it with
# build-fuzz/tests/fuzz/qztap_fuzz_<target> <file>). QZTAP_FUZZ_SECONDS sets the time
# per target (default 60).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"
seconds=${QZTAP_FUZZ_SECONDS:-60}
targets=(buffer_handler start_up)

CXX=clang++-14 cmake -S "$root" -B "$build" -DQZTAP_FUZZ=ON -DQZTAP_SANITIZER=address \
  -DQZTAP_WERROR=ON -DQZTAP_BENCHMARKS=OFF
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/#/qztap_fuzz_}"

failed=()
for target in "${targets[@]}"; do
  # New inputs go to the build tree; the saved corpus only seeds the run.
  mkdir -p "$build/corpus/$target" "$build/artifacts/$target"
  echo "== fuzzing $target for ${seconds}s"
  "$build/tests/fuzz/qztap_fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=60 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" \
    "$build/corpus/$target" "$root/tests/fuzz/corpus/$target" || failed+=("$target")
done
# Every target gets its minute; the run fails afterwards if any of them found something.
if ((${#failed[@]})); then
  echo "fuzzing found failures in: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
