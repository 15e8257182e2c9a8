"""A long capture: seeded noise segments played while the default sink moves on
between three null sinks every few seconds, and a reader that stalls now and then.
Each segment is played on the sink that is current once qztap's only record stream
sits on its monitor, and the switch to the next sink follows as soon as it has been
played, whether or not qztap has passed it on yet. Every segment must arrive whole,
bit-exact and in order, with only zeros between, and qztap's own memory must not
grow once warmed up.

    QZTAP_BINARY=build/qztap python3 long_capture.py [--minutes 10] [--seed N]

CTest runs one minute of it. The last line printed sums the run up.

Memory is read from /proc/<pid>/status. VmRSS also counts the pages of the server's
shared memory pool that qztap has read audio from (RssShmem): these are the server's,
and their number creeps up as the server hands out blocks from more of its pool (by
about 2 MiB in ten minutes with these stalls). qztap's own memory is VmRSS without
them, and that is what must stay flat; both are reported.

It runs on PulseAudio unless told otherwise (--kind pipewire). On a busy machine
PipeWire, which runs here without real-time scheduling, now and then turns one
1024-frame quantum of what a recorder gets into silence, for any recording client,
so a run there can fail without qztap being at fault.
"""

import argparse
import itertools
import os
import random
import sys
import threading
import time
import unittest

from soundserver import (SERVER_KINDS, Tap, decimations, find_samples, mono_mix, noise,
                         stray_samples, wait_until)

BINARY = os.environ.get("QZTAP_BINARY", "")
OPTIONS = argparse.Namespace(minutes=10.0, kind="pulseaudio",
                             seed=time.time_ns() % 1_000_000)
SINKS = ("alpha", "beta", "gamma")

# Memory is compared from this point on (a minute, or a third of a shorter run), when
# every buffer qztap keeps has reached its working size.
WARM_UP_SECONDS = 60
GROWTH_LIMIT_KIB = 2048


class Segment:
    """One played signal and what qztap's output must hold for it, at each of the
    three phases the decimation can take."""

    def __init__(self, number, seed, seconds, sink):
        self.number, self.sink = number, sink
        self.stereo = noise(seed, seconds)
        self.candidates = decimations(mono_mix(self.stereo))

    def find(self, output):
        """(offset, length) of this segment in `output`, or None while it is not there
        whole."""
        hits = [(offset, len(candidate)) for candidate in self.candidates
                for offset in [find_samples(output, candidate)] if offset >= 0]
        return hits[0] if len(hits) == 1 else None

    def describe(self, output):
        """What there is of this segment in `output`, for a failure message."""
        text = (f"segment {self.number} ({len(self.candidates[0]) // 4} samples, played on "
                f"{self.sink}) in the {len(output) // 4} samples since the previous one: ")
        for candidate in self.candidates:
            offset = find_samples(output, candidate[:4096])
            if offset >= 0:
                arrived = output[offset:offset + len(candidate)]
                same = next((i for i in range(0, len(arrived), 4)
                             if arrived[i:i + 4] != candidate[i:i + 4]), len(arrived))
                return text + (f"starts at sample {offset // 4}, its first {same // 4} samples "
                               f"arrive bit-exact, then {len(output[offset + same:]) // 4} other "
                               f"samples follow")
        return text + "its start is not there"


class Checker:
    """Walks qztap's output segment by segment and forgets what it has checked."""

    def __init__(self, test, tap):
        self.test, self.tap = test, tap
        self.samples = 0

    def check(self, segment, timeout=30):
        found = wait_until(lambda: segment.find(self.tap.output()), timeout,
                           lambda: segment.describe(self.tap.output()))
        output = self.tap.output()
        self.test.assertEqual(stray_samples(output[:found[0]], []), 0,
                              f"audio never played before segment {segment.number}")
        self.tap.drop_output(sum(found))
        self.samples += found[1] // 4


class Stalls:
    """Pauses the reader for 1 to 3 s every 4 to 12 s."""

    def __init__(self, tap, rng):
        self.tap, self.rng = tap, rng
        self.count, self.seconds = 0, 0.0
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stopping.wait(self.rng.uniform(4, 12)):
            length = self.rng.uniform(1, 3)
            self.tap.pause_reading()
            self._stopping.wait(length)
            self.tap.resume_reading()
            self.count += 1
            self.seconds += length

    def stop(self):
        self._stopping.set()
        self._thread.join()
        self.tap.resume_reading()


class Memory:
    """qztap's memory, read every 5 s: (seconds since start, VmRSS KiB, own KiB) each,
    its own being VmRSS without the shared memory it maps."""

    def __init__(self, pid):
        self.pid = pid
        self.samples = []
        self._start = time.monotonic()
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def read(self):
        with open(f"/proc/{self.pid}/status") as status:
            kib = {name: int(value.split()[0]) for name, value in
                   (line.split(":", 1) for line in status) if name in ("VmRSS", "RssShmem")}
        return (time.monotonic() - self._start, kib["VmRSS"], kib["VmRSS"] - kib["RssShmem"])

    def _run(self):
        while True:
            self.samples.append(self.read())
            if self._stopping.wait(5):
                return

    def stop(self):
        if not self._stopping.is_set():
            self._stopping.set()
            self._thread.join()
            self.samples.append(self.read())

    def summary(self, column, since):
        values = [sample[column] for sample in self.samples]
        warm = next(sample[column] for sample in self.samples if sample[0] >= since)
        return values[0], warm, values[-1], max(values)


class LongCapture(unittest.TestCase):

    def test_long_capture(self):
        if not os.access(BINARY, os.X_OK):
            self.fail(f"QZTAP_BINARY={BINARY!r} is not an executable qztap")
        print(f"\nlong capture: {OPTIONS.minutes} min on {OPTIONS.kind}, seed {OPTIONS.seed}",
              file=sys.stderr)
        rng = random.Random(OPTIONS.seed)
        duration = OPTIONS.minutes * 60
        server = SERVER_KINDS[OPTIONS.kind]()
        self.addCleanup(server.stop)
        server.start(sinks=SINKS)
        tap = Tap(BINARY, server.env)
        self.addCleanup(tap.stop)
        tap.wait_started()
        server.wait_recording_from("alpha.monitor")
        tap.wait_streaming()

        memory = Memory(tap.process.pid)
        self.addCleanup(memory.stop)
        stalls = Stalls(tap, random.Random(f"{OPTIONS.seed}-stalls"))
        self.addCleanup(stalls.stop)
        checker = Checker(self, tap)
        started = time.monotonic()
        switches = 0
        previous = None
        for number in itertools.count():
            sink = SINKS[number % len(SINKS)]
            if number > 0:
                server.set_default_sink(sink)
                server.wait_recording_from(f"{sink}.monitor")
                switches += 1
            segment = Segment(number, OPTIONS.seed * 1000 + number, rng.uniform(1, 3), sink)
            server.play(sink, segment.stereo)
            if previous is not None:
                checker.check(previous)
            previous = segment
            if time.monotonic() - started > duration:
                break
        checker.check(previous)
        self.assertIsNone(tap.process.poll(), f"qztap ended: stderr {tap.stderr()!r}")
        stalls.stop()
        memory.stop()

        elapsed = time.monotonic() - started
        warm_up = min(WARM_UP_SECONDS, duration / 3)
        figures = "start {}, after warm-up {}, end {}, max {}"
        own = memory.summary(2, warm_up)
        print(f"\nlong capture ({OPTIONS.kind}, seed {OPTIONS.seed}): {elapsed / 60:.1f} min, "
              f"{number + 1} segments ({checker.samples / 16000:.0f} s of audio) bit-exact, "
              f"{switches} sink switches, {stalls.count} reader stalls "
              f"({stalls.seconds:.0f} s); qztap KiB, VmRSS: "
              f"{figures.format(*memory.summary(1, warm_up))}; own (VmRSS - RssShmem): "
              f"{figures.format(*own)}", file=sys.stderr)
        self.assertLessEqual(own[2], own[1] + GROWTH_LIMIT_KIB,
                             f"qztap's memory grew: {memory.samples}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=OPTIONS.minutes)
    parser.add_argument("--kind", choices=sorted(SERVER_KINDS), default=OPTIONS.kind)
    parser.add_argument("--seed", type=int, default=OPTIONS.seed)
    OPTIONS = parser.parse_args()
    unittest.main(argv=sys.argv[:1], verbosity=2)
