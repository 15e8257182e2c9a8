#!/usr/bin/env bash
# Installs what is missing, builds qztap, plays a short melody and a chirp, and
# captures them with qztap. Leaves in build/demo/:
#   played.wav, played.png      what was played (48 kHz stereo)
#   captured.wav, captured.png  what qztap wrote (16 kHz mono)
#   captured.raw, qztap.log     qztap's stdout and stderr as they came
# and says whether the capture matches what was played: bit-exact on a private
# server with a 48 kHz float sink, by correlation on a desktop's own server.
#
# With no sound server reachable (a fresh or headless machine) it runs inside a
# private PulseAudio server with a null sink, started and stopped by
# tests/e2e/soundserver.py; a running desktop server is used as it is, and you
# will hear the demo on your speakers.
#
# Usage: scripts/demo.sh [--no-install] [--pipewire]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/build/demo"

capture() {
  # Runs against whatever server the environment points at; plays on its default sink.
  local qztap="$root/build/qztap" work="$out/work"
  mkdir -p "$work"
  rm -f "$out"/captured.* "$out"/played.* "$out/qztap.log"

  # Plucked C5 E5 G5 C6, then an exponential sweep from 200 Hz to 4 kHz, the
  # same on both channels. Low-passed at 7 kHz: qztap decimates without a filter,
  # so overtones above the 8 kHz that 16 kHz output can carry would fold back.
  local notes=(C5 E5 G5 C6) i=0
  for note in "${notes[@]}"; do
    sox -n -r 48000 -c 2 -e floating-point -b 32 -t raw "$work/part$i.raw" \
      synth 0.35 pluck "$note" fade 0 0.35 0.05 vol 0.6
    i=$((i + 1))
  done
  sox -n -r 48000 -c 2 -e floating-point -b 32 -t raw "$work/part$i.raw" \
    synth 1.5 sine 200/4000 fade 0.02 1.5 0.1 vol 0.5
  cat "$work"/part*.raw > "$work/joined.raw"
  sox -t raw -r 48000 -c 2 -e floating-point -b 32 "$work/joined.raw" -t raw "$work/played.raw" \
    sinc -7000

  "$qztap" > "$out/captured.raw" 2> "$out/qztap.log" &
  local tap=$!
  # Started: the status line is there. Streaming: samples have reached the file
  # (an idle null sink can take a moment before it first delivers).
  for _ in $(seq 100); do grep -q CAPTURE_STARTED "$out/qztap.log" && break; sleep 0.1; done
  if ! grep -q CAPTURE_STARTED "$out/qztap.log"; then
    kill "$tap" 2> /dev/null || true
    echo "qztap did not start:" >&2
    cat "$out/qztap.log" >&2
    return 1
  fi
  for _ in $(seq 50); do [ -s "$out/captured.raw" ] && break; sleep 0.1; done

  pacat --playback --raw --format=float32le --rate=48000 --channels=2 "$work/played.raw"
  sleep 0.7
  kill "$tap"
  wait "$tap" 2> /dev/null || true

  sox -t raw -r 48000 -e floating-point -b 32 -c 2 "$work/played.raw" "$out/played.wav"
  sox -t raw -r 16000 -e floating-point -b 32 -c 1 "$out/captured.raw" "$out/captured.wav"
  sox "$out/played.wav" -n remix 1 rate 16k spectrogram -t "played (left channel, shown at 16 kHz)" \
    -o "$out/played.png"
  sox "$out/captured.wav" -n spectrogram -t "captured by qztap (16 kHz mono)" \
    -o "$out/captured.png"
  rm -f "$work/part"*.raw "$work/joined.raw"

  PYTHONPATH="$root/tests/e2e" PYTHONDONTWRITEBYTECODE=1 python3 - "$work/played.raw" \
    "$out/captured.raw" <<'EOF'
import array
import sys

from soundserver import locate, mono_mix

played = array.array("f")
with open(sys.argv[1], "rb") as f:
    played.frombytes(f.read())
with open(sys.argv[2], "rb") as f:
    output = f.read()
seconds = len(output) / 4 / 16000

found = locate(output, played)
if found:
    offset, length = found
    print(f"MATCH: the {length // 4} samples played appear bit-exact in the capture, "
          f"{offset / 4 / 16000:.3f} s into {seconds:.2f} s of output")
    sys.exit(0)

# Not bit-exact (a server resampling or changing volume, or other sounds
# playing): compare by correlation. Find the lag coarsely on 10 ms energy
# envelopes, refine it on every 4th sample, then correlate in full.
mono = mono_mix(played)[2::3]
captured = array.array("f")
captured.frombytes(output[:len(output) // 4 * 4])
if len(captured) < len(mono):
    print(f"NO MATCH: only {seconds:.2f} s captured, shorter than what was played")
    sys.exit(1)

def envelope(x, block=160):
    return [sum(v * v for v in x[i:i + block]) for i in range(0, len(x) - block + 1, block)]

def correlation(a, b):
    n = len(a)
    ma, mb = sum(a) / n, sum(b) / n
    sab = sum((x - ma) * (y - mb) for x, y in zip(a, b))
    saa = sum((x - ma) ** 2 for x in a)
    sbb = sum((y - mb) ** 2 for y in b)
    return sab / (saa * sbb) ** 0.5 if saa > 0 and sbb > 0 else 0.0

ep, ec = envelope(mono), envelope(captured)
coarse = max(range(len(ec) - len(ep) + 1), key=lambda k: correlation(ep, ec[k:k + len(ep)])) * 160
lags = range(max(0, coarse - 200), min(len(captured) - len(mono), coarse + 200) + 1)
best = max(lags, key=lambda k: correlation(mono[::4], captured[k:k + len(mono)][::4]))
r = correlation(mono, captured[best:best + len(mono)])
verdict = "MATCH" if r > 0.9 else "NO MATCH"
print(f"{verdict}: correlation {r:.4f} with what was played, {best / 16000:.3f} s into "
      f"{seconds:.2f} s of output (not bit-exact)")
sys.exit(0 if r > 0.9 else 1)
EOF
}

if [ "${1:-}" = "--capture" ]; then
  capture
  exit
fi

install=1 kind=pulseaudio
for argument in "$@"; do
  case "$argument" in
    --no-install) install=0 ;;
    --pipewire) kind=pipewire ;;
    *) echo "usage: $0 [--no-install] [--pipewire]" >&2; exit 2 ;;
  esac
done

[ "$install" -eq 0 ] || "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$root/build"
cmake --build "$root/build" -j2 --target qztap
mkdir -p "$out"

# Asking whether a server answers must not start one.
client_config=$(mktemp)
trap 'rm -f "$client_config"' EXIT
echo "autospawn = no" > "$client_config"
if PULSE_CLIENTCONFIG=$client_config pactl info > /dev/null 2>&1 && [ "$kind" = pulseaudio ]; then
  echo "Using the running sound server; the demo plays on its default output."
  status=0
  "$0" --capture || status=$?
else
  echo "Starting a private $kind server with a null sink for the demo."
  status=0
  python3 "$root/tests/e2e/soundserver.py" --kind "$kind" --sink qztap_demo -- "$0" --capture \
    || status=$?
fi
echo "Files in $out: played.wav played.png captured.wav captured.png captured.raw qztap.log"
exit "$status"
