#!/usr/bin/env python3
"""Prints the level of what the machine plays, once a second, over the qztap package
(pip install ./clients/python), which starts qztap again when its capture stops:

    python3 examples/level_meter.py [--seconds N] [--qztap PATH]
"""

import argparse
import math
import sys

import qztap

RATE, CHUNK = 16000, 320  # a chunk is 20 ms


def say(text):
    print(text, file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=int, help="stop after this much audio (default: Ctrl-C)")
    parser.add_argument("--qztap", help="the qztap binary (default: the package's, or from PATH)")
    args = parser.parse_args()
    power = 0.0
    try:
        with qztap.start(args.qztap, chunk=CHUNK, restart=True,
                         on_status=lambda line: say(f"qztap: {line}"),
                         on_restart=lambda attempt, delay, error: say(
                             f"{error}; starting qztap again in {delay} s")) as tap:
            for count, samples in enumerate(tap, 1):
                power += math.fsum(s * s for s in samples)
                if count % (RATE // CHUNK) == 0:
                    level = 10 * math.log10(max(power / RATE, 1e-12))
                    print(f"{count * CHUNK // RATE:4d} s  level {level:6.1f} dBFS", flush=True)
                    power = 0.0
                if count == (args.seconds or -1) * RATE // CHUNK:
                    break
    except KeyboardInterrupt:
        pass
    except qztap.QztapError as error:
        say(f"level_meter: {error}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
