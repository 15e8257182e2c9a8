# The analysis of scripts/macos-check.sh on synthetic captures: the good one passes every
# check, and each fault a real capture could show fails its own.
import array, math, os, sys, tempfile, unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "scripts"))
import macos_check_analysis as analysis

RATE = 16000


def capture(path, tone_scale=1.0, quiet_value=0.0, latency=0.1):
    """1 s of quiet, then 3 s of the tones (shifted by `tone_scale`), in 21 ms pieces that
    arrive as they would: playback starts at t=101, `latency` before its sound arrives."""
    quiet = [quiet_value] + [0.0] * (RATE - 1)
    tones = [sum(0.2 * math.sin(2 * math.pi * f * tone_scale * n / RATE) for f in analysis.TONES_HZ)
             for n in range(3 * RATE)]
    array.array("f", quiet + tones).tofile(open(path, "wb"))
    with open(path + ".times", "w") as times:
        for piece in range(1, (len(quiet) + len(tones)) // 336 + 1):
            t = 100 + piece * 0.021 + (latency if piece * 336 > RATE else 0)
            times.write("%.3f %d\n" % (t, piece * 336 * 4))


class Judge(unittest.TestCase):
    def test_each_fault_fails_its_own_check(self):
        faults = {"none": {}, "late": {"latency": 1.5}, "noise while quiet": {"quiet_value": 1e-6},
                  "44.1 kHz taken for 48 kHz": {"tone_scale": 44100 / 48000}}
        failing = {"none": [], "late": [0], "noise while quiet": [2], "44.1 kHz taken for 48 kHz": [1]}
        with tempfile.TemporaryDirectory() as work:
            for fault, change in faults.items():
                capture(os.path.join(work, fault), **change)
                verdicts = analysis.judge(*analysis.load(os.path.join(work, fault)), 100.0, 101.0, 104.0)
                self.assertEqual([n for n, (ok, _) in enumerate(verdicts) if not ok], failing[fault], fault)


if __name__ == "__main__":
    unittest.main()
