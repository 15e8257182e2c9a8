#!/usr/bin/env python3
"""Running qztap from a Python program, with the standard library only.

`stream()` starts qztap, reads its status lines on a thread of their own, yields its
audio in fixed 20 ms chunks of 320 samples, starts it again after STREAM_STOPPED with
a bounded back-off, turns any other exit into a plain message, and stops qztap by
closing the pipe when the caller leaves the loop. Run as a script it prints the level
of what the machine plays once a second:

    python3 examples/qztap_parent.py [--seconds N] [--qztap PATH]
"""

import argparse
import array
import math
import signal
import subprocess
import sys
import threading
import time

RATE = 16000
CHUNK_SAMPLES = 320  # 20 ms
CHUNK_BYTES = CHUNK_SAMPLES * 4  # float32: a chunk never ends inside a sample
STREAM_STOPPED = 5
READER_LEFT = 141  # on Windows, which has no SIGPIPE, qztap exits with the shell's code for it
FIRST_DELAY, LONGEST_DELAY, MAX_RESTARTS = 0.5, 8.0, 5

EXIT_MESSAGES = {
    2: "no access to the audio: no sound server is reachable, or (macOS) the app that "
       "started this program lacks the Screen Recording permission",
    3: "nothing to capture: the sound server has no output device",
    4: "the capture could not start",
    STREAM_STOPPED: "the capture stopped, e.g. the sound server went away",
    6: "qztap could not write its output",
    READER_LEFT: "qztap's reader left",
}


class QztapError(Exception):
    """qztap ended and starting it again would not help."""


def describe_exit(code):
    if code in EXIT_MESSAGES:
        return EXIT_MESSAGES[code]
    if code < 0:
        return f"killed by {signal.Signals(-code).name}"
    return f"unexpected exit code {code}"


def print_status(line):
    print(f"qztap: {line}", file=sys.stderr, flush=True)


class Qztap:
    """One run of qztap."""

    def __init__(self, binary, on_status):
        # A session of its own: Ctrl-C reaches this program, which then stops qztap
        # by closing the pipe, instead of killing both at once.
        self.process = subprocess.Popen([binary], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, bufsize=0, start_new_session=True)
        # Read on a thread of its own, so that a status line never waits behind audio.
        self.status_reader = threading.Thread(target=self._read_status, args=(on_status,),
                                              daemon=True)
        self.status_reader.start()

    def _read_status(self, on_status):
        for line in self.process.stderr:
            on_status(line.decode(errors="replace").rstrip("\n"))

    def read_chunk(self):
        """The next 320 samples as floats, or None once qztap has ended."""
        chunk = bytearray(CHUNK_BYTES)
        view, filled = memoryview(chunk), 0
        while filled < CHUNK_BYTES:  # a pipe read may return any part of a chunk
            count = self.process.stdout.readinto(view[filled:])
            if not count:
                return None  # qztap ended; a partial chunk at the end is dropped
            filled += count
        samples = array.array("f", chunk)
        if sys.byteorder == "big":
            samples.byteswap()  # qztap writes little-endian
        return samples

    def stop(self):
        """Closes our end of the pipe, which ends qztap by SIGPIPE (exit code 141 on
        Windows) even while nothing plays, and waits for it (no orphan, no zombie).
        Returns its exit code."""
        self.process.stdout.close()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
        code = self.process.wait()
        self.status_reader.join()
        self.process.stderr.close()
        return code


def stream(binary="qztap", on_status=print_status):
    """Yields qztap's audio in chunks of 320 floats until the caller stops; raises
    QztapError when qztap ends for good."""
    delay, restarts = FIRST_DELAY, 0
    while True:
        tap, chunks = Qztap(binary, on_status), 0
        try:
            while (chunk := tap.read_chunk()) is not None:
                chunks += 1
                yield chunk
        finally:  # also when the caller leaves the loop or an exception passes through
            code = tap.stop()
            how = ("SIGPIPE" if code == READER_LEFT else  # the same reader gone on Windows
                   signal.Signals(-code).name if code < 0 else f"exit code {code}")
            print(f"qztap (pid {tap.process.pid}) ended: {how}", file=sys.stderr, flush=True)
        if code != STREAM_STOPPED:
            raise QztapError(describe_exit(code))
        if chunks >= 10 * RATE // CHUNK_SAMPLES:  # it ran 10 s: a new fault, a new back-off
            delay, restarts = FIRST_DELAY, 0
        if restarts == MAX_RESTARTS:
            raise QztapError(f"{describe_exit(code)}; gave up after {restarts} restarts")
        print(f"starting qztap again in {delay} s", file=sys.stderr, flush=True)
        time.sleep(delay)
        delay, restarts = min(delay * 2, LONGEST_DELAY), restarts + 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, help="stop after this much audio (default: Ctrl-C)")
    parser.add_argument("--qztap", default="qztap", help="the qztap binary (default: from PATH)")
    args = parser.parse_args()
    audio, power = stream(args.qztap), 0.0
    try:
        for count, chunk in enumerate(audio, 1):
            power += math.fsum(s * s for s in chunk)
            if count % (RATE // CHUNK_SAMPLES) == 0:
                level = 10 * math.log10(max(power / RATE, 1e-12))
                print(f"{count * CHUNK_SAMPLES // RATE:4d} s  level {level:6.1f} dBFS", flush=True)
                power = 0.0
            if count == (args.seconds or -1) * RATE // CHUNK_SAMPLES:
                break
    except KeyboardInterrupt:
        pass
    except QztapError as error:
        print(f"qztap_parent: {error}", file=sys.stderr)
        return 1
    finally:
        audio.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
