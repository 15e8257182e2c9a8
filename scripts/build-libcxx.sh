#!/usr/bin/env bash
# Builds the unit tests with clang and libc++, as AppleClang builds them on a Mac, and
# runs them. Debian's GoogleTest is built against libstdc++, so GoogleTest is built
# first from Debian's own sources (/usr/src/googletest, package googletest) against
# libc++ and installed into the build tree, where find_package finds it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-libcxx}
jobs=$(nproc)
toolchain=$root/cmake/clang-libcxx.cmake
gtest=$build/googletest

cmake -S /usr/src/googletest -B "$gtest/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/install"
cmake --build "$gtest/build" -j"$jobs"
cmake --install "$gtest/build" >/dev/null

cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_PREFIX_PATH="$gtest/install" \
  -DQZTAP_WERROR=ON -DQZTAP_BENCHMARKS=OFF
cmake --build "$build" -j"$jobs"
# Every unit test binary must run on libc++ alone.
for binary in "$build"/tests/qztap_*tests; do
  if ldd "$binary" | grep -q 'libstdc++'; then
    echo "$binary links libstdc++" >&2
    exit 1
  fi
done
(cd "$build" && ctest -L unit --no-tests=error --output-on-failure)
