#!/usr/bin/env bash
# Sets up a fresh machine, builds with warnings as errors and runs every test: the
# unit tests and the end-to-end tests against real sound servers (the examples' too,
# and the portable Linux binaries', x64 in a Debian 11 chroot and arm64 under qemu);
# then builds, installs and checks the Debian package; lints the hosted CI's workflows;
# builds and runs the unit tests with clang and libc++; cross-builds for Windows and
# runs its unit and end-to-end tests under Wine; makes the release's pieces and tests
# its client packages as their users get them; runs the unit tests once more
# built for the host CPU, where fused multiply-adds are available; then the unit and
# end-to-end tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the unit
# tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

"$root/scripts/install-deps.sh"

# The portable Linux binaries, x64 and arm64, as the release makes them: cross-built
# against Debian 11 (glibc 2.31) in the trees scripts/bullseye-sysroots.sh builds once
# and keeps, and checked to need nothing newer nor other than glibc 2.31. The build
# below runs them end to end where they are meant to run: the arm64 one under
# qemu-aarch64, the x64 one in the Debian 11 chroot against its own PulseAudio 14.2.
"$root/scripts/release.sh" linux "$root/build-portable"

cmake -S "$root" -B "$root/build" -DQZTAP_WERROR=ON -DQZTAP_PORTABLE_DIST="$root/build-portable"
cmake --build "$root/build" -j"$jobs"
# qztap opens libpulse at run time: it needs none but glibc's own libraries to start.
needed=$(readelf -d "$root/build/qztap" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
         { grep -vxE 'ld-linux-x86-64\.so\.2|lib(c|m|pthread|dl|rt)\.so\.[0-9]+' || true; } | xargs)
[ -z "$needed" ] || { echo "qztap needs $needed, which is not glibc's" >&2; exit 1; }
(cd "$root/build" && ctest --output-on-failure)
# The Debian package from that build, installed on this machine and checked.
"$root/scripts/package.sh" "$root/build"

# The hosted CI's workflows and the shell they run; the C++ sources as .clang-format has them.
"$root/scripts/lint-workflows.sh"
git -C "$root" ls-files -z '*.cc' '*.h' '*.mm' | (cd "$root" && xargs -0 clang-format --dry-run --Werror)

# The unit tests built with clang and libc++, as AppleClang builds them on a Mac.
"$root/scripts/build-libcxx.sh" "$root/build-libcxx"

# Windows: qztap.exe, which may import the system's own DLLs only, and the unit tests,
# under Wine 10 in a Debian 13 chroot (built once, then kept), the end-to-end tests
# against a private PulseAudio server. GoogleTest is Debian's source, cross-built.
"$root/scripts/wine-chroot.sh"
toolchain=$root/cmake/mingw-w64-x86_64.cmake
googletest=$root/build-windows/googletest
cmake -S /usr/src/googletest -B "$googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DBUILD_GMOCK=OFF -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$googletest/installed"
cmake --build "$googletest" -j"$jobs"
cmake --install "$googletest" >/dev/null
cmake -S "$root" -B "$root/build-windows" -DQZTAP_WERROR=ON -DQZTAP_BENCHMARKS=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGTest_DIR="$googletest/installed/lib/cmake/GTest"
cmake --build "$root/build-windows" -j"$jobs"
imports=$(x86_64-w64-mingw32-objdump -p "$root/build-windows/qztap.exe" |
          sed -n 's/^\s*DLL Name: //p' | LC_ALL=C sort | xargs)
[ "$imports" = "KERNEL32.dll msvcrt.dll ole32.dll" ] || { echo "qztap.exe imports $imports" >&2; exit 1; }
(cd "$root/build-windows" && ctest --no-tests=error --output-on-failure && cpack -G ZIP)

# The release's source tarball, client packages, Homebrew formula and checksums as a tag
# would make them (the .deb and the zip are made above as the release makes them). The
# packages are then installed and tested as their users get them: Node's and Python's
# against private sound servers, the Windows package's qztap.exe under Wine.
version=$("$root/scripts/release.sh" version) dist=$root/build/release
rm -rf "$dist"
# The binaries the packages hold, as the release has them: the portable Linux ones and
# the Windows zip.
mkdir -p "$dist"
cp -r "$root/build-portable/linux-x64" "$root/build-portable/linux-arm64" "$dist/"
cp "$root/build-windows/qztap-$version-win64.zip" "$dist/"
for step in source packages formula sums; do
  GITHUB_REPOSITORY=qztap/qztap GITHUB_REF_NAME="v$version" "$root/scripts/release.sh" "$step" "$dist"
done
ruby -c "$dist/qztap.rb"
for package in node python win32; do "$root/scripts/test-package.sh" "$package" "$dist"; done
# The x64 wheel on Debian 11, installed by that system's own Python 3.9 and pip.
(cd "$root/tests/e2e" && QZTAP_WHEELS=$dist/python PYTHONDONTWRITEBYTECODE=1 \
  QZTAP_RUNNER="$root/scripts/chroot-run.sh /var/cache/qztap/bullseye/x64 --without libpulse-dev" \
  python3 -m unittest -v test_portable.Debian11WheelTests)

cmake -S "$root" -B "$root/build-native" -DQZTAP_WERROR=ON -DQZTAP_NATIVE=ON -DQZTAP_BENCHMARKS=OFF
cmake --build "$root/build-native" -j"$jobs"
(cd "$root/build-native" && ctest -L unit --output-on-failure)

# AddressSanitizer + UndefinedBehaviorSanitizer: the unit tests, and the end-to-end
# tests so that the real capture path runs instrumented against real servers.
export UBSAN_OPTIONS=print_stacktrace=1
cmake -S "$root" -B "$root/build-asan" -DQZTAP_WERROR=ON -DQZTAP_SANITIZER=address -DQZTAP_BENCHMARKS=OFF
cmake --build "$root/build-asan" -j"$jobs"
(cd "$root/build-asan" && ctest -L unit --output-on-failure)
(cd "$root/build-asan" && ctest -L e2e --no-tests=error --output-on-failure)

# ThreadSanitizer: the start-up, delivery and stop threads of the unit tests. Without
# atexit_sleep_ms=0 every forked child that ends with threads alive sleeps a second.
cmake -S "$root" -B "$root/build-tsan" -DQZTAP_WERROR=ON -DQZTAP_SANITIZER=thread -DQZTAP_BENCHMARKS=OFF
cmake --build "$root/build-tsan" -j"$jobs"
(cd "$root/build-tsan" &&
  TSAN_OPTIONS=atexit_sleep_ms=0:halt_on_error=1:second_deadlock_stack=1 ctest -L unit --output-on-failure)
