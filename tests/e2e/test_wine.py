"""qztap.exe under Wine 10 against a private PulseAudio server, from this directory:

    QZTAP_BINARY=build-windows/qztap.exe QZTAP_RUNNER="scripts/wine-run.sh CHROOT" \\
        python3 -m unittest -v test_wine.WineTests

Wine's WASAPI loopback records the monitor of the server's default sink. What Wine
cannot show (a default the user changes, a loopback stream that sends nothing while
nothing plays) is left to the unit tests of those decisions.
"""

import array
import itertools
import os
import random
import select
import signal
import subprocess
import time
import unittest
from pathlib import Path

from soundserver import CHANNELS, START_LINE, PulseAudioServer, locate, noise, wait_until
from qztap_process import BINARY, COMMAND, Tap, run_to_exit

CD_RATE = 44100
LOST = b"STREAM_STOPPED: AUDCLNT_E_DEVICE_INVALIDATED\n"


def steps(seed, count, frames):
    """Stereo float32 holding a new random level on each channel every `frames` frames,
    and the levels qztap must give: a held level comes through interpolation unchanged,
    so the output at any rate is the mixed levels, one sample of transition between."""
    rng = random.Random(seed)
    pairs = [(rng.uniform(-0.5, 0.5), rng.uniform(-0.5, 0.5)) for _ in range(count)]
    stereo = array.array("f", itertools.chain.from_iterable(pair * frames for pair in pairs))
    levels = array.array("f", (left for left, _ in pairs))
    levels = array.array("f", map(float.__add__, levels, array.array("f", (r for _, r in pairs))))
    return stereo, [level / 2 for level in levels]


def held_levels(output):
    """The output's runs of one value longer than a sample: (value, length)."""
    samples = array.array("f", output[:len(output) // 4 * 4])
    runs = ((value, sum(1 for _ in run)) for value, run in itertools.groupby(samples))
    return [(value, length) for value, length in runs if length > 1]


def processes_in(root):
    """Processes whose root folder is `root`: Wine's, inside the chroot."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{pid}/root") == root:
                found.append(pid)
        except OSError:
            pass
    return found


class WineTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.isfile(BINARY) or len(COMMAND) < 3:
            raise AssertionError(f"QZTAP_BINARY={BINARY!r} and QZTAP_RUNNER must name qztap.exe "
                                 "and the Wine runner with its chroot")
        cls.chroot = os.path.realpath(COMMAND[-2])
        cls.addClassCleanup(lambda: wait_until(lambda: not processes_in(cls.chroot), 10,
                                               "Wine's processes to end"))

    def start(self, sinks=("alpha",), rate=48000):
        server = PulseAudioServer()
        self.addCleanup(server.stop)
        server.start(sinks=())
        for sink in sinks:
            server.add_sink(sink, rate=rate)
        server.set_default_sink(sinks[0])
        tap = Tap(server.env)
        self.addCleanup(tap.stop)
        tap.wait_started()
        return server, tap

    def test_bit_exact_at_48_khz_until_the_server_is_killed(self):
        server, tap = self.start()
        self.assertIn("qz.audio\n", [Path(task, "comm").read_text() for pid in processes_in(
            self.chroot) for task in Path(f"/proc/{pid}/task").iterdir()], "the delivery thread")
        first, cut_short = noise(1, 0.6), noise(3, 5.0)
        server.play("alpha", first)
        self.addCleanup(server.play("alpha", cut_short, wait=False).kill)
        tap.wait_for(cut_short, whole=False)
        server.pulse_server_process().kill()
        self.assertEqual(tap.wait_exit(), (5, START_LINE + LOST))
        output = bytes(tap.out)
        segments = [locate(output, first), locate(output, cut_short, whole=False)]
        self.assertNotIn(None, segments)
        self.assertLess(segments[0][0], segments[1][0])
        self.assertEqual(sum(segments[-1]), len(output), "the output goes on after the signal")

    def test_bit_exact_at_44_1_khz_until_the_sink_is_unloaded(self):
        server, tap = self.start(rate=CD_RATE)
        stereo, levels = steps(7, 150, CD_RATE // 100)  # 160 samples at 16 kHz each
        server.play("alpha", stereo, rate=CD_RATE)
        wait_until(lambda: len(held_levels(bytes(tap.out))) > len(levels), 10, "the steps")
        server.remove_sink("alpha")
        self.assertEqual(tap.wait_exit(), (5, START_LINE + LOST))
        held = held_levels(bytes(tap.out))
        start = [value for value, _ in held].index(levels[0])
        self.assertEqual([value for value, _ in held[start:start + len(levels)]], levels)
        self.assertTrue(all(159 <= length <= 161 for _, length in held[start:start + len(levels)]))

    def test_moves_to_the_default_when_the_recorded_sink_goes(self):
        server, tap = self.start(sinks=("alpha", "beta"))
        played = [noise(11, 0.6), noise(12, 0.6)]
        server.play("alpha", played[0])
        tap.wait_for(played[0])
        server.remove_sink("alpha")
        server.wait_recording_from("beta.monitor")
        server.play("beta", played[1])
        tap.wait_for(played[1])
        output = bytes(tap.out)
        self.assertLess(locate(output, played[0]), locate(output, played[1]))
        self.assertEqual((tap.process.poll(), bytes(tap.err)), (None, START_LINE))

    def test_reader_leaving_with_the_server_frozen(self):
        """A frozen server sends nothing: zeros keep the output going in step with the
        clock and let qztap see its reader leave. (Resumed, a null sink renders the time
        it missed at once: the count runs ahead until the next silence.)"""
        server = PulseAudioServer()
        self.addCleanup(server.stop)
        server.start()
        process = subprocess.Popen(COMMAND, env=server.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(process.kill)
        output, frozen = process.stdout.fileno(), server.pulse_server_process()
        self.assertTrue(select.select([output], [], [], 10)[0] and os.read(output, 65536))
        self.addCleanup(frozen.send_signal, signal.SIGCONT)
        frozen.send_signal(signal.SIGSTOP)
        time.sleep(0.5)
        while select.select([output], [], [], 0)[0]:
            os.read(output, 1 << 20)
        began, arrived = time.monotonic(), 0
        while time.monotonic() < began + 2:
            if select.select([output], [], [], 0.1)[0]:
                arrived += len(os.read(output, 1 << 20))
        self.assertAlmostEqual(arrived / 4 / 16000, time.monotonic() - began, delta=0.05)
        process.stdout.close()
        self.assertEqual(process.wait(timeout=1), 141)
        self.assertEqual(process.stderr.read(), START_LINE)
        process.stderr.close()

    def test_fatal_conditions(self):
        env = dict(os.environ, PULSE_SERVER="unix:/nothing")
        self.assertEqual(run_to_exit(env), (3, b"NO_DISPLAY\n", b""))
        server = PulseAudioServer()
        self.addCleanup(server.stop)
        server.start()
        # The first buffer may be written, and fail, before the start line is.
        with open("/dev/full", "wb") as full:
            status, stderr, _ = run_to_exit(server.env, stdout=full)
        self.assertEqual((status, stderr.removeprefix(START_LINE)), (6, b"OUTPUT_ERROR: Disk full.\n"))

if __name__ == "__main__":
    unittest.main()
