#!/usr/bin/env python3
"""The measuring half of scripts/macos-check.sh, in the standard library only:

  signal WAV                       writes the test signal: three tones at 48 kHz
  record CAPTURE                   copies standard input to CAPTURE until SIGTERM, noting
                                   when each piece arrived in CAPTURE.times
  judge CAPTURE STARTED PLAY_START PLAY_END
                                   prints a PASS or FAIL line for each check of a recording
  facts CAPTURE STARTED SILENT_CAPTURE
                                   prints INFO lines on what arrived, and when: the first
                                   byte's delay, the writes' cadence and size while playing
                                   and in a capture of silence alone, and what that says
                                   of ScreenCaptureKit in a silence
"""
import array
import math
import os
import signal
import sys
import time
import wave

TONES_HZ = (500.0, 1250.0, 3000.0)
PLAY_RATE = 48000
CAPTURE_RATE = 16000
MAX_LATENCY_S = 1.0
MIN_PEAK_DB = 20.0  # each tone stands this far above the spectrum 8% to either side of it
FILL_TICK_S = 0.05  # how often qztap fills a silence with zeros (capture/sck/sck_capture.mm)


def write_signal(path, seconds=3.0):
    frames = int(PLAY_RATE * seconds)
    fade = PLAY_RATE // 20
    samples = array.array("h")
    for n in range(frames):
        gain = min(1.0, n / fade, (frames - n) / fade)
        value = int(8000 * gain * sum(math.sin(2 * math.pi * f * n / PLAY_RATE) for f in TONES_HZ))
        samples.extend((value, value))
    if sys.byteorder == "big":
        samples.byteswap()
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(PLAY_RATE)
        out.writeframes(samples.tobytes())


def record(path):
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    total = 0
    with open(path, "wb", buffering=0) as capture, open(path + ".times", "w") as times:
        while True:
            piece = os.read(0, 65536)
            if not piece:
                return
            capture.write(piece)
            total += len(piece)
            times.write("%.3f %d\n" % (time.time(), total))
            times.flush()


def load(path):
    """The samples of a capture (float32 little-endian), and (time, bytes so far) per piece."""
    with open(path, "rb") as capture:
        data = capture.read()
    samples = array.array("f", data[: len(data) // 4 * 4])
    if sys.byteorder == "big":
        samples.byteswap()
    with open(path + ".times") as times:
        arrivals = [(float(t), int(n)) for t, n in (line.split() for line in times)]
    return samples, arrivals


def arrived(samples, arrivals, start, end):
    """The samples whose bytes arrived at or after `start` and before `end`."""
    before = [n for t, n in arrivals if t < start]
    until = [n for t, n in arrivals if t < end]
    return samples[(before[-1] if before else 0) // 4 : (until[-1] if until else 0) // 4]


def level_db(samples, frequency):
    """Power at `frequency` in the samples (Goertzel), in dB."""
    coefficient = 2 * math.cos(2 * math.pi * frequency / CAPTURE_RATE)
    previous = before = 0.0
    for sample in samples:
        previous, before = sample + coefficient * previous - before, previous
    power = previous * previous + before * before - coefficient * previous * before
    return 10 * math.log10(max(power, 1e-30))


def judge(samples, arrivals, started, play_start, play_end):
    """One (passed, text) per check."""
    quiet = arrived(samples, arrivals, started, play_start)
    loud = [n for n, sample in enumerate(quiet) if sample != 0.0]
    first, so_far = None, 0
    for t, total in arrivals:  # the first piece after playback began that holds sound
        if t >= play_start and any(samples[so_far // 4 : total // 4]):
            first = t
            break
        so_far = total
    latency = "no sound arrived" if first is None else "%.2f s" % (first - play_start)
    playing = arrived(samples, arrivals, play_start, play_end + MAX_LATENCY_S)
    peaks = [level_db(playing, f) - max(level_db(playing, f * 0.92), level_db(playing, f * 1.08))
             for f in TONES_HZ]
    # A silent capture gives every frequency the same floor: no peak at all.
    tones_found = len(playing) > 0 and min(peaks) >= MIN_PEAK_DB
    return [
        (first is not None and first - play_start <= MAX_LATENCY_S,
         "audio within %.0f s of playback: %s" % (MAX_LATENCY_S, latency)),
        (tones_found, "tones at %s Hz in the 16 kHz capture: peaks %s dB above their neighbourhood"
         % ("/".join("%.0f" % f for f in TONES_HZ), "/".join("%.0f" % p for p in peaks))),
        (not loud, "silence while nothing played: %d non-zero of %d samples" % (len(loud), len(quiet))),
    ]


def cadence(arrivals):
    """Median time between writes (s), and median samples a write."""
    pairs = list(zip(arrivals, arrivals[1:]))
    if not pairs:
        return None, None
    gaps = sorted(b[0] - a[0] for a, b in pairs)
    sizes = sorted((b[1] - a[1]) // 4 for a, b in pairs)
    return gaps[len(gaps) // 2], sizes[len(sizes) // 2]


def facts(arrivals, started, silent_arrivals):
    """INFO lines: what arrived and when, while playing and in silence alone."""
    if not arrivals:
        return ["INFO no byte arrived"]
    lines = ["INFO first byte %.3f s after qztap was started" % (arrivals[0][0] - started)]
    every, size = cadence(arrivals)
    quiet_every, quiet_size = cadence(silent_arrivals)
    if every is None or quiet_every is None:
        return lines + ["INFO too few writes to tell their cadence"]
    lines.append("INFO with sound: a write every %.1f ms of %d samples (medians)" % (1000 * every, size))
    lines.append("INFO in silence alone: a write every %.1f ms of %d samples (medians)"
                 % (1000 * quiet_every, quiet_size))
    # qztap's zeros come at the fill's tick; buffers kept coming if the cadence is theirs.
    if abs(quiet_every - every) <= 0.2 * every and abs(every - FILL_TICK_S) > 0.2 * FILL_TICK_S:
        verdict = "ScreenCaptureKit keeps delivering buffers while nothing plays"
    elif abs(quiet_every - FILL_TICK_S) <= 0.2 * FILL_TICK_S:
        verdict = "ScreenCaptureKit delivers nothing while nothing plays: the zeros are qztap's own"
    else:
        verdict = "cannot tell whether ScreenCaptureKit delivers buffers while nothing plays"
    return lines + ["INFO " + verdict]


def main(argv):
    if argv[1:2] == ["signal"]:
        write_signal(argv[2])
    elif argv[1:2] == ["record"]:
        record(argv[2])
    elif argv[1:2] == ["facts"]:
        print("\n".join(facts(load(argv[2])[1], float(argv[3]), load(argv[4])[1])))
    else:
        samples, arrivals = load(argv[2])
        for passed, text in judge(samples, arrivals, *map(float, argv[3:6])):
            print("PASS" if passed else "FAIL", text)


if __name__ == "__main__":
    main(sys.argv)
