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

# qztap writes into a pipe, as under the program that would start it; the subshell
# notes how it ended and when.
(
  "$root/build/qztap" 2>"$work/stderr" &
  echo $! >"$work/qztap.pid"
  wait $!
  status=$?
  echo "$status $(now)" >"$work/exit"
) | python3 "$analysis" record "$work/capture.f32" &
reader_pid=$!
started=$(now)

# Up to 20 s for the first status line: a permission prompt may be waiting for an answer.
for _ in $(seq 200); do
  [ -s "$work/stderr" ] && break
  sleep 0.1
done
sleep 0.5 # a failing start ends at once; give it the time to
first_line=$(head -n 1 "$work/stderr")
if [ "$first_line" != "$start_line" ] || [ -f "$work/exit" ]; then
  [ -f "$work/exit" ] || sleep 1
  status=$(cut -d' ' -f1 "$work/exit" 2>/dev/null)
  if [ "${status:-}" = 2 ] && [ "$(wc -l <"$work/stderr")" -eq 1 ] &&
    [[ "$first_line" == "PERMISSION_OR_CONTENT_ERROR: "?* ]]; then
    report PASS "refused without the Screen Recording permission: '$first_line', exit 2"
    report FAIL "start line: no capture without the permission. Grant it in System Settings >" \
      "Privacy & Security > Screen Recording (macOS 15: Screen & System Audio Recording) to" \
      "the app you run this in (${TERM_PROGRAM:-your terminal}), quit and reopen it, and run this again"
  else
    report FAIL "start line: expected '$start_line'; exit status: ${status:-none, still running};" \
      "standard error:"
    cat "$work/stderr"
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

kill "$reader_pid"
wait "$reader_pid" 2>/dev/null
reader_left=$(now)
for _ in $(seq 20); do
  [ -f "$work/exit" ] && break
  sleep 0.1
done
python3 "$analysis" judge "$work/capture.f32" "$started" "$play_start" "$play_end" >"$work/verdicts"
while read -r verdict text; do report "$verdict" "$text"; done <"$work/verdicts"

read -r status ended <"$work/exit" 2>/dev/null || status=none
if [ "$status" = 141 ] && within "$reader_left" "$ended" 1; then
  report PASS "reader gone: qztap ended by SIGPIPE within a second"
else
  report FAIL "reader gone: expected SIGPIPE (status 141) within a second, got status $status"
fi
finish
