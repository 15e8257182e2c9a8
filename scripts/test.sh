#!/usr/bin/env bash
# Sets up a fresh machine, builds with warnings as errors and runs every test: the
# unit tests, the end-to-end tests against real sound servers, and the unit tests
# once more built for the host CPU, where fused multiply-adds are available.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh"

cmake -S "$root" -B "$root/build" -DQZTAP_WERROR=ON
cmake --build "$root/build" -j"$jobs"
(cd "$root/build" && ctest --output-on-failure)

cmake -S "$root" -B "$root/build-native" -DQZTAP_WERROR=ON -DQZTAP_NATIVE=ON -DQZTAP_BENCHMARKS=OFF
cmake --build "$root/build-native" -j"$jobs" --target qztap_unit_tests
(cd "$root/build-native" && ctest -L unit --output-on-failure)
