#!/usr/bin/env bash
# Installs what building, testing, benchmarking and the demo need (Debian packages).
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  # build
  cmake g++ make pkg-config libpulse-dev libgtest-dev libgmock-dev libbenchmark-dev
  # the C++ sources' format (.clang-format)
  clang-format
  # compile check of the macOS backend against stand-in SDK headers; lint of the Mac's check;
  # the unit tests built with libc++ as on a Mac, GoogleTest too from its sources
  clang shellcheck libc++-dev libc++abi-dev googletest
  # lint of the hosted CI's workflows (scripts/lint-workflows.sh: npm packages, run: steps
  # read with PyYAML) and of the Homebrew formula's syntax
  nodejs python3-yaml ruby
  # end-to-end tests and the demo: real sound servers and their clients
  pulseaudio pulseaudio-utils dbus pipewire pipewire-bin pipewire-pulse wireplumber python3 sox
  # benchmarks: peer libraries and callgrind; ffmpeg is a peer of the capture benchmark
  libsamplerate0-dev libspeexdsp-dev libsoxr-dev libswresample-dev libavutil-dev valgrind ffmpeg
  # the Windows build and its tests: the cross compiler, GoogleTest's sources to build
  # with it, and the Debian 13 chroot with Wine 10 that scripts/wine-chroot.sh builds
  g++-mingw-w64-x86-64-posix googletest debootstrap
  # the portable Linux binaries: cross-built by clang (above) and lld against the Debian 11
  # trees that debootstrap makes, the arm64 one disassembled (llvm-objdump) and run under
  # qemu-aarch64
  lld llvm qemu-user
  # the Debian package (scripts/package.sh) and its manual page
  dpkg-dev lintian man-db groff-base
  # the live-captions example and its test: the recogniser, its model, recorded speech
  pocketsphinx pocketsphinx-en-us pocketsphinx-testdata
  # the client packages: npm pack and tsc for the Node one; the wheel built offline
  # (setuptools, wheel, build), a virtual environment and mypy for the Python one,
  # whose tests take numpy from the system
  node-typescript python3-setuptools python3-wheel python3-build python3-venv python3-numpy mypy
)
# Node and npm, unless there already (as from another distribution of Node, whose
# nodejs package conflicts with Debian's npm).
command -v node > /dev/null || packages+=(nodejs)
command -v npm > /dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
# Debian's nodejs comes without npm; a nodejs from elsewhere may bring its own.
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
