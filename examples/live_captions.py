#!/usr/bin/env python3
"""Live captions: what the machine plays, turned into text as it plays.

qztap's 16 kHz float samples become the 16-bit integers the recogniser reads and go
straight into pocketsphinx_continuous (Debian packages pocketsphinx and
pocketsphinx-en-us), which prints a line of text for every stretch of speech it
hears. Captions go to standard output, everything else to standard error.

    python3 examples/live_captions.py [--qztap PATH]      # Ctrl-C to stop
"""

import argparse
import array
import subprocess
import sys
import threading

from qztap_parent import QztapError, stream

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
    parser.add_argument("--qztap", default="qztap", help="the qztap binary (default: from PATH)")
    args = parser.parse_args()
    recogniser = subprocess.Popen(RECOGNISER, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    printer = threading.Thread(target=print_captions, args=(recogniser,))
    printer.start()
    audio, status = stream(args.qztap), 0
    try:
        for chunk in audio:
            recogniser.stdin.write(to_int16(chunk).tobytes())
            recogniser.stdin.flush()  # every 20 ms, so the text keeps up with the sound
    except KeyboardInterrupt:
        pass
    except QztapError as error:
        print(f"live_captions: {error}", file=sys.stderr)
        status = 1
    finally:
        audio.close()
        recogniser.stdin.close()  # the recogniser finishes what it heard last, then ends
        recogniser.wait()
        printer.join()
    return status


if __name__ == "__main__":
    sys.exit(main())
