# The analysis of scripts/macos-check.sh on synthetic captures: a good one passes every
# check, and each fault a real capture could show fails its own check and no other.
import array, math, os, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "scripts"))
import macos_check_analysis as analysis

RATE, PIECE = 16000, 336  # samples per piece, one piece every 21 ms


def capture(path, tone_scale=1.0, quiet_value=0.0, latency=0.1):
    """Pieces arriving from t=100 s on: silence (but for `quiet_value`) until `latency`
    after the playback starts at t=101 s, then 3 s of the tones, scaled by `tone_scale`."""
    silent = [quiet_value] + [0.0] * (int((1 + latency) / 0.021) * PIECE - 1)
    tones = [sum(0.2 * math.sin(2 * math.pi * f * tone_scale * n / RATE) for f in analysis.TONES_HZ)
             for n in range(3 * RATE)]
    with open(path, "wb") as out:
        array.array("f", silent + tones).tofile(out)
    with open(path + ".times", "w") as times:
        for piece in range(1, (len(silent) + len(tones)) // PIECE + 1):
            times.write("%.3f %d\n" % (100 + piece * 0.021, piece * PIECE * 4))


class Judge(unittest.TestCase):
    def test_each_fault_fails_its_own_check(self):
        faults = [("none", {}, []), ("late", {"latency": 1.5}, [0]),
                  ("noise while quiet", {"quiet_value": 1e-6}, [2]),
                  ("44.1 kHz taken for 48 kHz", {"tone_scale": 44100 / 48000}, [1])]
        with tempfile.TemporaryDirectory() as work:
            for fault, change, failing in faults:
                capture(os.path.join(work, fault), **change)
                verdicts = analysis.judge(*analysis.load(os.path.join(work, fault)), 100.0, 101.0, 104.0)
                self.assertEqual([n for n, (ok, _) in enumerate(verdicts) if not ok], failing, fault)


class Facts(unittest.TestCase):
    def test_tells_buffers_in_silence_from_zeros_by_the_clock(self):
        playing = [(100.05 + n * 0.021, (n + 1) * PIECE * 4) for n in range(50)]
        kept_coming = [(200 + n * 0.021, (n + 1) * PIECE * 4) for n in range(50)]
        filled = [(200 + n * 0.05, (n + 1) * 800 * 4) for n in range(20)]
        for silent, verdict in [(kept_coming, "keeps delivering"), (filled, "delivers nothing")]:
            lines = analysis.facts(playing, 100.0, silent)
            self.assertEqual(lines[0], "INFO first byte 0.050 s after qztap was started")
            self.assertIn(verdict, lines[-1])


if __name__ == "__main__":
    unittest.main()
