#!/usr/bin/env bash
# Builds the conversion benchmark (Release, no sanitizers), counts each row's instructions
# under callgrind on a short input, then times every row on the full input and prints
# one table with both. The callgrind profiles stay in $build/bench/callgrind for
# callgrind_annotate. Takes a minute or two.
#
#   bench/run_benchmarks.sh [--seconds S] [--repeats N] [--callgrind-seconds S] [--no-callgrind]
#
# QZTAP_BENCH_BUILD_DIR overrides the build directory (default: build-bench).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QZTAP_BENCH_BUILD_DIR:-$root/build-bench}
rates=48000,44100
seconds=60
repeats=31
callgrind_seconds=5
use_callgrind=1

while (($#)); do
  case "$1" in
    --seconds) seconds=$2; shift 2 ;;
    --repeats) repeats=$2; shift 2 ;;
    --callgrind-seconds) callgrind_seconds=$2; shift 2 ;;
    --no-callgrind) use_callgrind=0; shift ;;
    *) echo "usage: $0 [--seconds S] [--repeats N] [--callgrind-seconds S] [--no-callgrind]" >&2; exit 2 ;;
  esac
done

mkdir -p "$build"
# -g only adds line tables for callgrind_annotate; the code is the same as without it.
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g -DQZTAP_SANITIZER= \
  -DQZTAP_NATIVE=OFF -DQZTAP_BENCHMARKS=ON -DBUILD_TESTING=OFF >"$build/bench-configure.log" 2>&1 ||
  { cat "$build/bench-configure.log" >&2; exit 1; }
cmake --build "$build" -j2 --target qztap_conversion_bench >"$build/bench-build.log" 2>&1 ||
  { cat "$build/bench-build.log" >&2; exit 1; }
bench=$build/bench/qztap_conversion_bench

instructions=()
if ((use_callgrind)); then
  command -v valgrind >/dev/null || { echo "valgrind is missing: run scripts/install-deps.sh" >&2; exit 1; }
  profiles=$build/bench/callgrind
  rm -rf "$profiles"
  mkdir -p "$profiles"
  counts=$profiles/instructions.txt
  : >"$counts"
  rows=$("$bench" --list-rows)
  for rate in ${rates//,/ }; do
    for row in $rows; do
      echo "callgrind: $row at $rate Hz" >&2
      out=$profiles/$row-$rate.callgrind
      frames=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
        --log-file="$profiles/$row-$rate.log" \
        "$bench" --callgrind --row "$row" --rate "$rate" --seconds "$callgrind_seconds")
      total=$(awk '$1 == "totals:" || $1 == "summary:" { print $2; exit }' "$out")
      [ -n "$total" ] || { echo "no instruction count in $out" >&2; exit 1; }
      echo "$rate $row $total $frames" >>"$counts"
    done
  done
  instructions=(--instructions "$counts")
fi

echo "timing..." >&2
"$bench" --rates "$rates" --seconds "$seconds" --repeats "$repeats" "${instructions[@]}"
if ((use_callgrind)); then
  echo
  echo "Profiles: $profiles (e.g. callgrind_annotate --inclusive=yes $profiles/ours-48000.callgrind)"
fi
