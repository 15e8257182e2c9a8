"""A tap run as tests/e2e/test_clients.py asks, reported on: the samples to standard
output, events to standard error, a line each, fields apart by tabs. Standard input
closing stops the tap: stop() from a thread of its own, or (--abort) leaving the loop.

    python3 probe.py --binary PATH [--chunk N] [--restart default|FIRST,LONGEST,MAX,STEADY]
                     [--child] [--abort]
"""

import argparse
import os
import subprocess
import sys
import threading

import qztap


_reporting = threading.Lock()  # status lines come on a thread of their own


def report(*fields):
    with _reporting:
        print(*fields, sep="\t", file=sys.stderr, flush=True)


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False


def stop_at_end_of_input(tap, leave):
    while os.read(0, 4096):  # not sys.stdin, whose lock would hold up the exit
        pass
    if leave:
        leave.set()
    else:
        tap.stop()
        report("stopped", "alive" if alive(tap.pid) else "gone")


def report_start(tap, child):
    try:
        tap.wait_started()
    except qztap.QztapError as error:
        report("start-failed", type(error).__name__)
        return
    report("started", tap.pid)
    if child:  # started as a program starts its other children
        report("child", subprocess.Popen(["sleep", "60"], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         close_fds=False).pid)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary")
    parser.add_argument("--chunk", type=int, default=320)
    parser.add_argument("--restart")
    parser.add_argument("--child", action="store_true")
    parser.add_argument("--abort", action="store_true", help="stop by leaving the loop instead")
    args = parser.parse_args()
    restart = args.restart == "default"
    if args.restart and not restart:
        first, longest, most, steady = args.restart.split(",")
        restart = qztap.Restart(float(first), float(longest), int(most), float(steady))
    reporter = None
    try:
        with qztap.start(args.binary, chunk=args.chunk, restart=restart,
                         on_status=lambda line: report("status", line),
                         on_restart=lambda attempt, delay, error: report(
                             "restart", attempt, delay, type(error).__name__)) as tap:
            leave = threading.Event() if args.abort else None
            stopper = threading.Thread(target=stop_at_end_of_input, args=(tap, leave), daemon=True)
            stopper.start()
            reporter = threading.Thread(target=report_start, args=(tap, args.child))
            reporter.start()
            for samples in tap:
                if leave and leave.is_set():
                    break
                if len(samples) != args.chunk:
                    report("bad-chunk", len(samples))
                sys.stdout.buffer.write(samples.tobytes())
                sys.stdout.buffer.flush()
        if leave:
            report("stopped", "alive" if alive(tap.pid) else "gone")
        stopper.join()  # the loop ended, so standard input did
        report("end", "ok")
    except qztap.QztapError as error:
        if reporter:  # else start() failed
            reporter.join()
        code = "" if error.exit_code is None else error.exit_code
        report("end", type(error).__name__, code, error.status_line, error)


if __name__ == "__main__":
    main()
