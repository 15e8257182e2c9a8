#!/usr/bin/env python3
"""Live captions: what the machine plays, turned into text as it plays.

qztap's samples, through the qztap package (pip install ./clients/python), become the
16-bit integers the recogniser reads and go straight into pocketsphinx_continuous
(Debian packages pocketsphinx and pocketsphinx-en-us), which prints a line of text for
every stretch of speech it hears. Captions go to standard output, the rest to standard
error. examples/captions.mjs does the same in Node.

    python3 examples/live_captions.py [--qztap PATH]      # Ctrl-C to stop
"""

import argparse
import array
import subprocess
import sys
import threading

import qztap

# The stock US English model; -infile reads raw 16 kHz 16-bit mono as it arrives.
RECOGNISER = ["pocketsphinx_continuous", "-infile", "/dev/stdin", "-logfn", "/dev/null"]


def to_int16(samples):
    # 1.0 is full scale; louder samples are clipped, not wrapped around.
    return array.array("h", (max(-32768, min(32767, round(s * 32768))) for s in samples))


def print_captions(recogniser):
    for line in recogniser.stdout:
        if line.strip():
            print(line.decode(errors="replace").strip(), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--qztap", help="the qztap binary (default: the package's, or from PATH)")
    args = parser.parse_args()
    recogniser = subprocess.Popen(RECOGNISER, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    printer = threading.Thread(target=print_captions, args=(recogniser,))
    printer.start()
    status = 0
    try:
        with qztap.start(args.qztap, on_status=lambda line: print(
                f"qztap: {line}", file=sys.stderr, flush=True)) as tap:
            for samples in tap:
                recogniser.stdin.write(to_int16(samples).tobytes())
                recogniser.stdin.flush()  # every 20 ms, so the text keeps up with the sound
    except KeyboardInterrupt:
        pass
    except qztap.QztapError as error:
        print(f"live_captions: {error}", file=sys.stderr)
        status = 1
    finally:
        recogniser.stdin.close()  # the recogniser finishes what it heard last, then ends
        recogniser.wait()
        printer.join()
    return status


if __name__ == "__main__":
    sys.exit(main())
