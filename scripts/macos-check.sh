#!/usr/bin/env bash
# The first thing to run on a Mac: builds qztap, plays a known signal with afplay while
# qztap captures, and prints one PASS, FAIL or SKIP line per check and a summary line.
# Needs macOS 13 or later, the Xcode command-line tools (python3 comes with them) and
# CMake. Keep everything else quiet meanwhile: qztap hears all the Mac plays. The app
# that runs this script needs the Screen Recording permission; without it the script
# checks that qztap says so, and tells how to grant it. Runs with macOS's own bash 3.2.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
analysis="$root/scripts/macos_check_analysis.py"
start_line='CAPTURE_STARTED sr_req=48000->16000 mono'
passed=0 failed=0 skipped=0

# report PASS|FAIL|SKIP words of the line...
report() {
  echo "$*"
  case $1 in
    PASS) passed=$((passed + 1)) ;;
    FAIL) failed=$((failed + 1)) ;;
    *) skipped=$((skipped + 1)) ;;
  esac
}

finish() {
  local verdict=PASS
  [ "$failed" -eq 0 ] || verdict=FAIL
  echo "SUMMARY $verdict: $passed passed, $failed failed, $skipped skipped"
  exit "$((failed > 0 ? 1 : 0))"
}

now() { python3 -c 'import time; print("%.3f" % time.time())'; }

# Whether time $2 is at most $3 seconds after time $1.
within() { awk -v a="$1" -v b="$2" -v limit="$3" 'BEGIN { exit !(b - a <= limit) }'; }

# capture NAME: starts qztap writing into a pipe, as under the program that would start
# it, into $work/NAME.f32 (its standard error in NAME.stderr); the subshell notes in
# NAME.exit how qztap ended and when. Sets reader_pid and started.
capture() {
  (
    "$root/build/qztap" 2>"$work/$1.stderr" &
    echo $! >"$work/qztap.pid"
    wait $!
    status=$?
    echo "$status $(now)" >"$work/$1.exit"
  ) | python3 "$analysis" record "$work/$1.f32" &
  reader_pid=$!
  started=$(now)
}

# reader_leaves NAME WHEN: the reader of capture NAME goes away; qztap must end by
# SIGPIPE within a second.
reader_leaves() {
  kill "$reader_pid"
  wait "$reader_pid" 2>/dev/null
  local left ended status
  left=$(now)
  for _ in $(seq 20); do
    [ -f "$work/$1.exit" ] && break
    sleep 0.1
  done
  read -r status ended <"$work/$1.exit" 2>/dev/null || status=none
  if [ "$status" = 141 ] && within "$left" "$ended" 1; then
    report PASS "reader gone $2: qztap ended by SIGPIPE within a second"
  else
    report FAIL "reader gone $2: expected SIGPIPE (status 141) within a second, got status $status"
  fi
}

if [ "$(uname -s)" != Darwin ] || [ "$(sw_vers -productVersion | cut -d. -f1)" -lt 13 ]; then
  echo "macos-check: needs macOS 13 or later" >&2
  exit 1
fi
for tool in cmake python3 afplay; do
  command -v "$tool" >/dev/null || { echo "macos-check: $tool not found" >&2; exit 1; }
done

work=$(mktemp -d)
# shellcheck disable=SC2317 # called by the trap
cleanup() {
  [ -f "$work/qztap.pid" ] && kill "$(cat "$work/qztap.pid")" 2>/dev/null
  [ -n "${reader_pid:-}" ] && kill "$reader_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

echo "Building build/qztap (tests off)..."
if ! { cmake -S "$root" -B "$root/build" -DBUILD_TESTING=OFF -DQZTAP_BENCHMARKS=OFF &&
  cmake --build "$root/build"; } >"$work/build.log" 2>&1; then
  tail -n 30 "$work/build.log"
  report FAIL "build: see the lines above"
  finish
fi
python3 "$analysis" signal "$work/signal.wav"

capture capture

# Up to 20 s for the first status line: a permission prompt may be waiting for an answer.
for _ in $(seq 200); do
  [ -s "$work/capture.stderr" ] && break
  sleep 0.1
done
sleep 0.5 # a failing start ends at once; give it the time to
first_line=$(head -n 1 "$work/capture.stderr")
if [ "$first_line" != "$start_line" ] || [ -f "$work/capture.exit" ]; then
  [ -f "$work/capture.exit" ] || sleep 1
  status=$(cut -d' ' -f1 "$work/capture.exit" 2>/dev/null)
  if [ "${status:-}" = 2 ] && [ "$(wc -l <"$work/capture.stderr")" -eq 1 ] &&
    [[ "$first_line" == "PERMISSION_OR_CONTENT_ERROR: "?* ]]; then
    report PASS "refused without the Screen Recording permission: '$first_line', exit 2"
    report FAIL "start line: no capture without the permission. Grant it in System Settings >" \
      "Privacy & Security > Screen Recording (macOS 15: Screen & System Audio Recording) to" \
      "the app you run this in (${TERM_PROGRAM:-your terminal}), quit and reopen it, and run this again"
  else
    report FAIL "start line: expected '$start_line'; exit status: ${status:-none, still running};" \
      "standard error:"
    cat "$work/capture.stderr"
  fi
  finish
fi
report PASS "start line: $first_line"
report SKIP "refusal without the permission: it is granted; switch it off for this app and run again to check that"

sleep 2 # nothing plays yet: what arrives now must be silent
play_start=$(now)
afplay "$work/signal.wav"
play_end=$(now)
sleep 2

reader_leaves capture "after playback"
python3 "$analysis" judge "$work/capture.f32" "$started" "$play_start" "$play_end" >"$work/verdicts"
while read -r verdict text; do report "$verdict" "$text"; done <"$work/verdicts"
played_started=$started

# Nothing plays at all: a reader that leaves still ends qztap, and what arrives shows
# whether ScreenCaptureKit delivers buffers in a silence.
capture silent
sleep 4
reader_leaves silent "while nothing played"
python3 "$analysis" facts "$work/capture.f32" "$played_started" "$work/silent.f32"
finish
