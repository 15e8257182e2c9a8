#!/usr/bin/env python3
"""The Windows check: qztap.exe on the default output device, with the helpers built
beside it (loopback_packets.exe, wav_player.exe). It prints one PASS, FAIL or SKIP
line per check, INFO lines for what only the system can show, and a summary line, and
exits 1 if any check failed:

    python scripts\\windows-check.py --bin build\\Release              (on Windows)
    python3 scripts/windows-check.py --bin build-windows --wine CHROOT  (here, under Wine)

On Windows it plays a float WAV through the default output with wav_player.exe (a
hosted runner gets the device from scripts/windows-audio-setup.ps1) and disables that
device for one check (scripts/windows-output-device.ps1). Under Wine, which records
the monitor of a PulseAudio sink, the device is a null sink of a private server, the
same frames are played into it with pacat, and the device disabled is no server at
all. Keep other sounds off: qztap hears all that plays.
"""

import argparse
import array
import bisect
import itertools
import os
import platform
import random
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
START_LINE = b"CAPTURE_STARTED sr_req=48000->16000 mono\n"
OUTPUT_RATE = 16000
BYTES_PER_SECOND = 4 * OUTPUT_RATE


class WindowsHost:
    """This Windows machine and its default output device."""

    description = "Windows " + platform.version()

    def __init__(self):
        self.env = dict(os.environ)

    def command(self, program, *args):
        return [str(program), *args]

    def play(self, helpers, frames, rate, channels):
        """Plays the frames as a float WAV through the default output: (whether it
        played, what the player said)."""
        result = run(self, helpers / "wav_player.exe", stdin=float_wav(frames, rate, channels))
        return result.returncode == 0, (result.stdout + result.stderr).decode().strip()

    def set_output(self, enabled):
        """Enables or disables the output device; says why it could not, or None."""
        script = ROOT / "scripts" / "windows-output-device.ps1"
        result = subprocess.run(["powershell", "-NoProfile", "-ExecutionPolicy", "Bypass", "-File",
                                 str(script), "-State", "Enabled" if enabled else "Disabled"],
                                capture_output=True, text=True, timeout=120)
        return None if result.returncode == 0 else (result.stderr + result.stdout).strip()

    def close(self):
        pass


class WineHost:
    """Wine in the chroot scripts/wine-chroot.sh builds, against a private PulseAudio
    server whose one null sink is the output device."""

    description = "Wine (a dry run: Wine sends loopback packets in a silence regardless)"

    def __init__(self, chroot):
        sys.path.insert(0, str(ROOT / "tests" / "e2e"))
        from soundserver import PulseAudioServer  # pylint: disable=import-outside-toplevel
        self.server = PulseAudioServer()
        self.server.start(sinks=("speakers",))
        self.env = self.server.env
        self.runner = [str(ROOT / "scripts" / "wine-run.sh"), chroot]

    def command(self, program, *args):
        return [*self.runner, str(program), *args]

    def play(self, helpers, frames, rate, channels):
        """Plays the frames into the sink with the server's own player: Wine's render
        path resamples (480 frames come out as 465), which a bit-exact check cannot
        pass through."""
        del helpers, channels  # the sink is the server's, two channels
        self.server.play("speakers", frames, rate=rate)
        return True, "pacat into the sink (not wav_player.exe: Wine's render path resamples)"

    def set_output(self, enabled):
        self.env = dict(self.server.env, **({} if enabled else {"PULSE_SERVER": "unix:/nothing"}))
        return None

    def close(self):
        self.server.stop()


class Report:
    def __init__(self):
        self.counts = {"PASS": 0, "FAIL": 0, "SKIP": 0}

    def line(self, verdict, text):
        print(f"{verdict} {text}", flush=True)
        self.counts[verdict] = self.counts.get(verdict, 0) + 1

    def check(self, passed, text):
        self.line("PASS" if passed else "FAIL", text)

    def finish(self):
        verdict = "FAIL" if self.counts["FAIL"] else "PASS"
        print(f"SUMMARY {verdict}: {self.counts['PASS']} passed, {self.counts['FAIL']} failed, "
              f"{self.counts['SKIP']} skipped", flush=True)
        return 1 if self.counts["FAIL"] else 0


def until(condition, timeout):
    deadline = time.monotonic() + timeout
    while not (value := condition()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return value


class Capture:
    """qztap running into a pipe, which a thread reads until leave() closes it."""

    def __init__(self, host, qztap):
        self.process = subprocess.Popen(host.command(qztap), env=host.env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.out, self.err, self.leaving = bytearray(), bytearray(), threading.Event()
        self.readers = [threading.Thread(target=self._read, args=pipe, daemon=True) for pipe in
                        ((self.process.stdout, self.out), (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def _read(self, pipe, into):
        # qztap writes every few milliseconds, silence included, so the reader of the
        # output is never long in a read when it is to leave.
        while not (into is self.out and self.leaving.is_set()):
            data = os.read(pipe.fileno(), 65536)
            if not data:
                break
            into += data
        pipe.close()

    def first_line(self):
        until(lambda: b"\n" in self.err or self.process.poll() is not None, 20)
        return bytes(self.err)

    def leave(self):
        """Closes the reading end: (exit code, seconds from then to the exit), or
        (None, None) if qztap carried on."""
        self.leaving.set()
        self.readers[0].join(timeout=5)
        left = time.monotonic()
        try:
            return self.process.wait(timeout=5), time.monotonic() - left
        except subprocess.TimeoutExpired:
            return None, None

    def stop(self):
        self.leaving.set()
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for reader in self.readers:
            reader.join(timeout=5)


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def steps(rate, channels, count=150, seed=21):
    """Interleaved float32 frames holding a new random level on each channel every
    hundredth of a second, and the output levels they must give: a held level passes
    the interpolation unchanged at any rate, and the down-mix is
    ((0 + c0) + c1 + ...) / channels in float32."""
    rng = random.Random(seed)
    frames, levels = array.array("f"), []
    for _ in range(count):
        frame = [f32(rng.uniform(-0.5, 0.5)) for _ in range(channels)]
        total = 0.0
        for value in frame:
            total = f32(total + value)
        levels.append(f32(total / channels))
        frames.extend(frame * (rate // 100))
    return frames, levels, rate // 100 * OUTPUT_RATE / rate


def float_wav(frames, rate, channels):
    data = frames.tobytes()
    fmt = struct.pack("<HHIIHHH", 3, channels, rate, rate * channels * 4, channels * 4, 32, 0)
    chunks = (b"fmt " + struct.pack("<I", len(fmt)) + fmt +
              b"fact" + struct.pack("<II", 4, len(frames) // channels) +
              b"data" + struct.pack("<I", len(data)) + data)
    return b"RIFF" + struct.pack("<I", 4 + len(chunks)) + b"WAVE" + chunks


def samples_of(output):
    return array.array("f", output[:len(output) // 4 * 4])


def held_runs(output):
    """The output's runs of one value longer than a sample: (value, length)."""
    runs = ((value, sum(1 for _ in run)) for value, run in itertools.groupby(samples_of(output)))
    return [(value, length) for value, length in runs if length > 1]


def find_levels(output, levels, run_length):
    """Whether `levels` follow one another in the output, each held about `run_length`
    samples, bit for bit; otherwise what came closest."""
    held = held_runs(output)
    values = [value for value, _ in held]
    for start in (i for i, value in enumerate(values) if value == levels[0]):
        found = held[start:start + len(levels)]
        if [value for value, _ in found] == levels:
            if all(abs(length - run_length) <= 1 for _, length in found):
                return True, f"{len(levels)} levels held {run_length:g} samples each"
            return False, f"levels found, held {sorted({n for _, n in found})} samples"
    present = sorted(set(samples_of(output)))
    if present in ([], [0.0]):
        return False, "the capture holds nothing but zeros"
    held_values = set(values)
    exact = sum(1 for level in levels if level in held_values)
    error = max(nearest_distance(present, level) for level in levels)
    return False, (f"{exact} of {len(levels)} levels held exactly; the nearest values off by "
                   f"up to {error:.3g}")


def nearest_distance(ordered, value):
    at = bisect.bisect(ordered, value)
    return min(abs(value - ordered[i]) for i in (at - 1, at) if 0 <= i < len(ordered))


def run(host, program, *args, stdin=None, timeout=60):
    return subprocess.run(host.command(program, *args), env=host.env, input=stdin,
                          capture_output=True, timeout=timeout)


def packets(host, helpers, seconds):
    """The loopback packet counts of `seconds` seconds: ((rate, channels), [(packets,
    frames, silent) a second]), or (None, the helper's complaint)."""
    result = run(host, helpers / "loopback_packets.exe", str(seconds), timeout=seconds + 60)
    fields = [dict(item.split("=") for item in line.split()[1:] if "=" in item)
              for line in result.stdout.decode().splitlines()]
    if result.returncode != 0 or not fields:
        return None, result.stderr.decode().strip()
    counts = [(int(f["packets"]), int(f["frames"]), int(f["silent"])) for f in fields[1:]]
    return (int(fields[0]["rate"]), int(fields[0]["channels"])), counts


def describe_packets(counts):
    per_second = ", ".join(str(p) for p, _, _ in counts)
    return (f"{per_second} a second ({sum(f for _, f, _ in counts)} frames, "
            f"{sum(s for _, _, s in counts)} flagged silent)")


def check_capture(host, helpers, qztap, report, rate, channels):
    capture = Capture(host, qztap)
    try:
        first = capture.first_line()
        report.check(first == START_LINE, f"the start line: {first.decode(errors='replace')!r}")
        if first != START_LINE:
            return
        time.sleep(0.5)
        began, before = time.monotonic(), len(capture.out)
        device, counts = packets(host, helpers, 4)
        elapsed, silence = time.monotonic() - began, bytes(capture.out[before:])
        print("INFO loopback packets in a silence, qztap running (its silent render stream "
              f"started): {describe_packets(counts) if device else counts}", flush=True)
        arrived = len(silence) / BYTES_PER_SECOND
        stray = sum(1 for sample in samples_of(silence) if sample != 0.0)
        report.check(abs(arrived - elapsed) <= 0.25 and stray == 0,
                     f"silence arrives as zeros in step with the clock: {arrived:.2f} s of "
                     f"samples in {elapsed:.2f} s, {stray} not zero")

        frames, levels, run_length = steps(rate, channels)
        played, said = host.play(helpers, frames, rate, channels)
        print(f"INFO the player: {said}", flush=True)
        if played:
            time.sleep(0.5)
            found, how = find_levels(bytes(capture.out), levels, run_length)
            report.check(found, f"a float WAV at {rate} Hz, {channels} channels, played at 100% "
                                f"volume, is in the capture bit-exact: {how}")
        else:
            report.line("FAIL", "a float WAV played: the player failed")

        code, after = capture.leave()
        report.check(code == 141 and bytes(capture.err) == START_LINE,
                     f"exit code {code} {'' if after is None else f'{after:.2f} s '}after the "
                     f"reader left, status lines {bytes(capture.err)!r}")
    finally:
        capture.stop()


def check_leaving_in_silence(host, qztap, report):
    capture = Capture(host, qztap)
    try:
        capture.first_line()
        time.sleep(2)
        code, after = capture.leave()
        report.check(code == 141, f"exit code {code} {'' if after is None else f'{after:.2f} s '}"
                                  "after the reader left while nothing played")
    finally:
        capture.stop()


def check_no_device(host, helpers, qztap, report):
    reason = host.set_output(False)
    try:
        if reason:
            report.line("SKIP", "exit 3 with the output device disabled: it could not be "
                                f"disabled: {reason}")
            return
        if not until(lambda: packets(host, helpers, 0)[0] is None, 15):
            report.line("SKIP", "exit 3 with the output device disabled: Windows still had a "
                                "default output 15 s later")
            return
        try:
            result = run(host, qztap, timeout=20)
            ending = (result.returncode, result.stderr)
        except subprocess.TimeoutExpired:
            ending = ("none: it kept capturing", b"")
        report.check(ending == (3, b"NO_DISPLAY\n"), f"with the output device disabled: exit "
                                                     f"code {ending[0]}, {ending[1]!r}")
    finally:
        host.set_output(True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--bin", required=True, type=Path,
                        help="the folder with qztap.exe, loopback_packets.exe and wav_player.exe")
    parser.add_argument("--wine", metavar="CHROOT", help="run under Wine in this chroot")
    args = parser.parse_args()
    helpers, qztap = args.bin.resolve(), args.bin.resolve() / "qztap.exe"
    host = WineHost(args.wine) if args.wine else WindowsHost()
    report = Report()
    try:
        print(f"INFO on {host.description}", flush=True)
        device, counts = packets(host, helpers, 3)
        if device is None:
            report.line("FAIL", f"an output device to play on: {counts}")
            return report.finish()
        rate, channels = device
        print(f"INFO the default output mixes {rate} Hz, {channels} channels", flush=True)
        print(f"INFO loopback packets in a silence, nothing playing: {describe_packets(counts)}",
              flush=True)
        check_capture(host, helpers, qztap, report, rate, channels)
        check_leaving_in_silence(host, qztap, report)
        check_no_device(host, helpers, qztap, report)
        return report.finish()
    finally:
        host.close()


if __name__ == "__main__":
    sys.exit(main())
