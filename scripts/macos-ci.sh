#!/usr/bin/env bash
# The steps of the hosted macOS job (.github/workflows/ci.yml), one per argument, so that
# the workflow holds no logic of its own:
#   deps        what the job installs with Homebrew
#   unit        the AppleClang build with warnings as errors, and the unit tests
#   formula     packaging/homebrew/qztap.rb built from this checkout, and its test
#   device      an output device to play into: BlackHole 2ch, installed if missing, selected
#   check       scripts/macos-check.sh, end to end
#   permission  qztap without the Screen Recording grant: exit 2 with its line, where the
#               runner lets a job take the grant away (it is the last step: the grant is gone)
# Written for macOS's own /bin/bash 3.2, which the job runs it in.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
device='BlackHole 2ch'

# The system and its tools, as lines a person reads in the log.
describe_system() {
  echo "macOS $(sw_vers -productVersion) ($(sw_vers -buildVersion)) on $(uname -m)"
  xcrun --show-sdk-version | sed 's/^/SDK /'
  clang --version | head -n 1
}

deps() {
  describe_system
  # groff for the manual page's test, which macOS no longer ships; the rest as named.
  brew install cmake googletest shellcheck groff switchaudio-osx
}

unit() {
  cmake -S "$root" -B "$root/build-macos" -DQZTAP_WERROR=ON -DQZTAP_BENCHMARKS=OFF \
    -DCMAKE_PREFIX_PATH="$(brew --prefix)"
  cmake --build "$root/build-macos" -j"$(sysctl -n hw.ncpu)"
  lipo -info "$root/build-macos/qztap"
  (cd "$root/build-macos" && ctest -L unit --no-tests=error --output-on-failure)
  # What CoreMedia's lists need on this system, with and without the alignment flag.
  "$root/build-macos/tests/qztap_coremedia_macos_tests" | grep 'list size'
}

formula() {
  # The formula as a release renders it, for a source tarball of this checkout, in a
  # tap of its own.
  local tap=qztap/local dist=$root/build-macos/dist version
  version=$("$root/scripts/release.sh" version)
  "$root/scripts/release.sh" source "$dist"
  "$root/scripts/release.sh" formula "$dist" "file://$dist/qztap-$version.tar.gz" "$tap"
  brew tap-new --no-git "$tap" >/dev/null
  cp "$dist/qztap.rb" "$(brew --repository "$tap")/Formula/qztap.rb"
  brew install --build-from-source "$tap/qztap"
  brew test "$tap/qztap"
  "$(brew --prefix)/bin/qztap" --version
  brew uninstall qztap
}

device() {
  echo "output devices before: $(SwitchAudioSource -a -t output | paste -sd ',' -)"
  if ! SwitchAudioSource -a -t output | grep -qx "$device"; then
    brew install --cask blackhole-2ch
    # The sound server picks up a new driver when it starts again.
    SwitchAudioSource -a -t output | grep -qx "$device" ||
      sudo launchctl kickstart -k system/com.apple.audio.coreaudiod
    for _ in $(seq 20); do
      SwitchAudioSource -a -t output | grep -qx "$device" && break
      sleep 0.5
    done
  fi
  SwitchAudioSource -s "$device" -t output
  echo "output device now: $(SwitchAudioSource -c -t output)"
  [ "$(SwitchAudioSource -c -t output)" = "$device" ]
}

check() {
  # In the bash the image grants Screen Recording; it is the bash 3.2 the script is written for.
  /bin/bash "$root/scripts/macos-check.sh"
}

permission() {
  tccutil reset ScreenCapture || echo "tccutil reset ScreenCapture failed: status $?"
  sudo tccutil reset ScreenCapture || echo "sudo tccutil reset ScreenCapture failed: status $?"
  local err status
  err=$(mktemp)
  # A prompt may wait for an answer no one gives here: at most 20 s.
  "$root/build/qztap" 2>"$err" >/dev/null &
  local pid=$!
  for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    echo "SKIP permission: qztap still runs 20 s after the grant was reset; standard error:"
    cat "$err"
    return 0
  fi
  wait "$pid" && status=0 || status=$?
  echo "qztap without the grant: exit $status, standard error:"
  cat "$err"
  if [ "$status" = 2 ] && [ "$(wc -l <"$err")" -eq 1 ] && grep -q '^PERMISSION_OR_CONTENT_ERROR: .' "$err"; then
    echo "PASS permission: exit 2 with its line"
  elif grep -qx 'CAPTURE_STARTED sr_req=48000->16000 mono' "$err"; then
    echo "SKIP permission: the runner kept the grant after tccutil reset"
  else
    echo "FAIL permission: expected exit 2 and one PERMISSION_OR_CONTENT_ERROR line"
    return 1
  fi
}

for step in "$@"; do
  echo "::group::$step"
  "$step"
  echo "::endgroup::"
done
