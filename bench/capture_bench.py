#!/usr/bin/env python3
"""Capture benchmark: qztap beside the sound server's own recorder (parec, converting to
16 kHz mono in the server) and ffmpeg (converting in the client), each recording the
monitor of a null sink on a private PulseAudio server while a player plays the same
signal: silence with a 1 ms click about every 500 ms.

    python3 bench/capture_bench.py [--runs N] [--seconds S] [--qztap PATH]
                                   [--only NAME ...] [--extra LABEL=COMMAND]

Builds build/qztap first if it is missing. Every run gets a fresh server (from
tests/e2e/soundserver.py) and records S seconds of the played signal; the tables show
medians over the runs and qztap's ratios to each peer. Measured per run and recorder:
- CPU per second of audio over the steady window (S seconds, from about a second after
  the recorder started): the recorder's process CPU clock (all threads) and the
  pulseaudio process's. A "playback only" run gives the server's cost of the player.
- Peak RSS of the recorder: VmHWM just before it is stopped.
- Time from starting the recorder to its first byte on stdout, with audio playing, and
  for qztap to its CAPTURE_STARTED line: eight starts per run spread over the phases of
  the sink's 50 ms blocks, since a new recorder's first data comes with the next block.
- Click latency: when each click is read from the recorder's stdout (in a tight loop at
  real-time priority where allowed) minus the click's due time. The player
  (bench/click_player.py) knows from the server's timing reports the monotonic instant
  at which each sample of its stream is played. A click is due at that instant minus
  the sink latency in force (the sink renders that far ahead; with a recorder on its
  monitor, that is the recorder's own request): the last moment a just-in-time player
  could hand the click over, so the player's own queue is taken out exactly. A
  recorder whose fragment equals the sink latency sees each click between 0 and one
  fragment after it is due. Each click falls up to 100 ms late in its 500 ms slot, so
  that the clicks meet every phase of the sink's blocks.
"""

import argparse
import array
import bisect
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.dont_write_bytecode = True  # leave no caches in the source tree

from click_player import CLICK_PERIOD, sleep_until  # noqa: E402
from soundserver import RATE, PulseAudioServer  # noqa: E402

SINK = "bench"
SOURCE = SINK + ".monitor"
OUTPUT_RATE = 16000
BASELINE = "playback only"
PLAYER = os.path.join(ROOT, "bench", "click_player.py")

DETECT_LEVEL = 0.2          # first output sample above this is the click's arrival
AUDIO_SETTLE = 0.5          # s of playing before any recorder starts
STARTUP_TRIALS = 7          # extra starts per run, for the time to the first byte
RECORDER_LEAD = 1.0         # s from starting the recorder to the window
IDLE_SINK_BLOCK = 0.05      # s the null sink renders at a time with only the player on it

# About 21 ms, as qztap's 1024 frames at 48 kHz: what each recorder is asked for.
FRAGMENT_MS = 21
FFMPEG_FRAGMENT_BYTES = 1024 * 2 * 2  # ffmpeg's pulse input records s16 stereo


def recorders(qztap):
    """The recorders compared, each writing 16 kHz mono float32le to stdout."""
    return {
        "qztap": [qztap],
        # Server-side conversion; --latency-msec sets ADJUST_LATENCY with 21 ms fragments.
        "parec": ["parec", "--raw", "--format=float32le", f"--rate={OUTPUT_RATE}",
                  "--channels=1", f"--latency-msec={FRAGMENT_MS}", f"--device={SOURCE}"],
        # Client-side conversion; 1024-frame fragments, every packet flushed to the pipe,
        # no probing delay.
        "ffmpeg": ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error",
                   "-probesize", "32", "-analyzeduration", "0", "-fflags", "nobuffer",
                   "-f", "pulse", "-fragment_size", str(FFMPEG_FRAGMENT_BYTES), "-i", SOURCE,
                   "-ac", "1", "-ar", str(OUTPUT_RATE), "-flush_packets", "1", "-f", "f32le", "-"],
    }


# -- process measurements -----------------------------------------------------------

def cpu_seconds(pid):
    """CPU time of the whole process (every thread, living or gone), in seconds, from
    its process CPU clock: nanosecond resolution, unlike the tick counts in /proc."""
    return time.clock_gettime_ns(((~pid) << 3) | 2) / 1e9


def peak_rss_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError(f"no VmHWM for process {pid}")


def configured_sink_latency(server):
    """The bench sink's configured latency in seconds, as the server reports it."""
    sink = server.pactl("list", "sinks").split("Name: " + SINK + "\n", 1)[1]
    for line in sink.splitlines():
        if line.strip().startswith("Latency:") and "configured" in line:
            return int(line.split("configured")[1].split()[0]) / 1e6
    raise RuntimeError("no configured latency for the bench sink")


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None




class Recorder:
    """A recorder process whose stdout is read in a tight loop, each read stamped."""

    def __init__(self, argv, env):
        self.launched = time.monotonic()
        self.process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.data = bytearray()
        self.reads = []        # (monotonic time, bytes received so far)
        self.lines = []        # (monotonic time, stderr line)
        self.threads = [threading.Thread(target=self._read_stdout, daemon=True),
                        threading.Thread(target=self._read_stderr, daemon=True)]
        for thread in self.threads:
            thread.start()

    def _read_stdout(self):
        # Real-time priority where allowed, so that a busy machine delays the recorder
        # and not the reading of its output (only this thread: Linux schedules threads).
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        except (AttributeError, OSError):
            pass
        fd = self.process.stdout.fileno()
        while chunk := os.read(fd, 1 << 20):
            now = time.monotonic()
            self.data += chunk
            self.reads.append((now, len(self.data)))

    def _read_stderr(self):
        pending = b""
        while chunk := os.read(self.process.stderr.fileno(), 65536):
            now = time.monotonic()
            *lines, pending = (pending + chunk).split(b"\n")
            self.lines += [(now, line.decode(errors="replace")) for line in lines]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for thread in self.threads:
            thread.join(timeout=5)
        self.process.stdout.close()
        self.process.stderr.close()

    def first_byte(self):
        return self.reads[0][0] - self.launched if self.reads else None

    def start_line(self):
        started = [t for t, line in self.lines if line.startswith("CAPTURE_STARTED")]
        return started[0] - self.launched if started else None

    def arrival_times(self):
        """When each click's first sample was read from stdout."""
        samples = array.array("f", bytes(self.data[:len(self.data) // 4 * 4]))
        ends = [end for _, end in self.reads]
        apart = int(OUTPUT_RATE * CLICK_PERIOD / 2)  # samples between two clicks, at least
        times, last = [], None
        for index, value in enumerate(samples):
            if abs(value) > DETECT_LEVEL:
                if last is None or index - last > apart:
                    times.append(self.reads[bisect.bisect_right(ends, index * 4)][0])
                last = index
        return times


# -- one run -----------------------------------------------------------------------

def start_up_trial(argv, env, phase):
    """Starts a recorder, waits for its first byte, stops it: (first byte, start line)
    in seconds from the start, either None if it did not come.

    The sink renders in blocks of 50 ms while only the player plays, and a new
    recorder's first data comes with the next block: starts must fall at every phase
    of that cycle, not at a fixed lag after the previous start's first block, so each
    start waits `phase` (0 to 1) of a cycle more."""
    time.sleep(phase * IDLE_SINK_BLOCK)
    recorder = Recorder(argv, env)
    deadline = recorder.launched + 3.0
    while not recorder.reads and recorder.process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.002)
    recorder.stop()
    time.sleep(0.15)  # the server drops the stream, the sink returns to the player's pace
    return recorder.first_byte(), recorder.start_line()


def run_once(label, argv, seconds):
    """One run on a fresh server: `argv` records (None: the player alone)."""
    server = PulseAudioServer()
    player = None
    try:
        server.start(sinks=(SINK,))
        server_pid = server.pulse_server_process().pid
        player = subprocess.Popen(
            [sys.executable, PLAYER, SINK, repr(seconds)],
            env=server.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if player.stdout.readline().strip() != b"ready":
            raise RuntimeError("the player did not start")
        time.sleep(AUDIO_SETTLE)
        # One start in each eighth of the sink's cycle, in random order.
        phases = random.sample(range(STARTUP_TRIALS + 1), STARTUP_TRIALS + 1)
        trials = [start_up_trial(argv, server.env, (phase + random.random()) / len(phases))
                  for phase in phases[:-1]] if argv else []
        time.sleep((phases[-1] + random.random()) / len(phases) * IDLE_SINK_BLOCK)
        window = time.monotonic() + RECORDER_LEAD
        player.stdin.write(f"{window!r}\n".encode())
        player.stdin.flush()
        recorder = Recorder(argv, server.env) if argv else None
        try:
            # The sink latency in force: the smallest any stream asks for, which with a
            # recorder on the monitor is the recorder's. Asked just before the window.
            sleep_until(window - 0.3)
            sink_latency = configured_sink_latency(server) if recorder else None
            sleep_until(window)
            client_start = cpu_seconds(recorder.process.pid) if recorder else 0.0
            server_start = cpu_seconds(server_pid)
            sleep_until(window + seconds)
            client_end = cpu_seconds(recorder.process.pid) if recorder else 0.0
            server_end = cpu_seconds(server_pid)
            played = json.loads(player.stdout.readline())
            player.wait(timeout=10)
            time.sleep(0.2)  # the last click's way through the recorder
            rss = peak_rss_mib(recorder.process.pid) if recorder else None
            exited = recorder.process.poll() if recorder else None
        finally:
            if recorder:
                recorder.stop()
    finally:
        if player is not None and player.poll() is None:
            player.kill()
            player.wait()
        server.stop()

    result = {"seconds": seconds, "client_cpu": client_end - client_start,
              "server_cpu": server_end - server_start}
    if not recorder:
        return result
    if exited is not None:
        raise RuntimeError(f"{label} exited early ({exited}): {recorder.lines}")

    # The clock mapping and the sink latency while the recorder was recording.
    during = [s for s in played["snapshots"] if window <= s["asked"] <= window + seconds]
    origins = [s["origin"] for s in during]
    due = [statistics.median(origins) + position / RATE - sink_latency
           for position in played["clicks"]]
    arrivals = recorder.arrival_times()
    latencies = []
    for moment in due:
        index = bisect.bisect_left(arrivals, moment - 0.005)
        if index < len(arrivals) and arrivals[index] < moment + CLICK_PERIOD / 2:
            latencies.append(arrivals[index] - moment)
    result.update({
        "rss": rss, "first_bytes": [f for f, _ in trials] + [recorder.first_byte()],
        "start_lines": [s for _, s in trials] + [recorder.start_line()],
        "latencies": latencies, "clicks": len(due),
        "stray_clicks": len(arrivals) - len(latencies), "sink_latency": sink_latency,
        "origin_spread": max(origins) - min(origins),
        "underrun": any(b["since_underrun"] < a["since_underrun"]
                        for a, b in zip(during, during[1:])),
    })
    return result


# -- the tables ----------------------------------------------------------------------

def of_run(run, key):
    """One figure of one run (seconds, or MiB for the RSS), None where it has none."""
    latencies = run.get("latencies")
    return {
        "client": run["client_cpu"] / run["seconds"],
        "server": run["server_cpu"] / run["seconds"],
        "total": (run["client_cpu"] + run["server_cpu"]) / run["seconds"],
        "rss": run.get("rss"),
        "first_byte": median_or_none(run.get("first_bytes", [])),
        "capture_started": median_or_none(run.get("start_lines", [])),
        "latency_median": statistics.median(latencies) if latencies else None,
        "latency_worst": max(latencies) if latencies else None,
    }[key]


def overall(runs, key):
    """One figure over all runs: the median of the runs' figures, but for the start-up
    times the median of every start, and for the worst latency the worst of all."""
    starts = {"first_byte": "first_bytes", "capture_started": "start_lines"}.get(key)
    if starts:
        return median_or_none(v for r in runs for v in r.get(starts, []))
    if key == "latency_worst":
        return max((x for r in runs for x in r.get("latencies", [])), default=None)
    return median_or_none(of_run(r, key) for r in runs)


def ms(value, digits=1):
    return "—" if value is None else f"{value * 1e3:.{digits}f}"


def print_tables(results, labels):
    print("| recorder | client CPU ms/s | server CPU ms/s | client+server ms/s | peak RSS MiB "
          "| first byte ms | CAPTURE_STARTED ms | click latency median / worst ms | clicks seen |")
    print("|---" * 9 + "|")
    for label in labels:
        f = {key: overall(results[label], key) for key in ("client", "server", "total", "rss",
             "first_byte", "capture_started", "latency_median", "latency_worst")}
        seen = sum(len(r["latencies"]) for r in results[label])
        print(f"| {label} | {ms(f['client'], 2)} | {ms(f['server'], 2)} | {ms(f['total'], 2)} "
              f"| {f['rss']:.1f} | {ms(f['first_byte'])} | {ms(f['capture_started'])} "
              f"| {ms(f['latency_median'])} / {ms(f['latency_worst'])} "
              f"| {seen}/{sum(r['clicks'] for r in results[label])} |")
    if BASELINE in results:
        print(f"| {BASELINE} | — | {ms(overall(results[BASELINE], 'server'), 2)} | — | — | — | — "
              "| — | — |")

    keys = ("client", "server", "total", "rss", "first_byte", "latency_median", "latency_worst")
    print("\nRatios qztap/peer: of the figures above, and in brackets the range of the ratios "
          "within each round (runs of one round are close in time):")
    print("| ratio | client CPU | server CPU | client+server | peak RSS | first byte "
          "| latency median | latency worst |")
    print("|---" * 8 + "|")
    for peer in labels:
        if peer == "qztap" or "qztap" not in results:
            continue
        cells = []
        for key in keys:
            a, b = overall(results["qztap"], key), overall(results[peer], key)
            rounds = [x / y for x, y in zip((of_run(r, key) for r in results["qztap"]),
                                             (of_run(r, key) for r in results[peer]))
                      if x is not None and y]
            spread = f" [{min(rounds):.2f}–{max(rounds):.2f}]" if len(rounds) > 1 else ""
            cells.append("—" if a is None or not b else f"{a / b:.2f}{spread}")
        print(f"| qztap/{peer} | " + " | ".join(cells) + " |")


def print_targets(results):
    if "qztap" not in results or "parec" not in results:
        return
    q, p = ({key: overall(results[label], key) for key in
             ("client", "total", "rss", "first_byte", "latency_median", "latency_worst")}
            for label in ("qztap", "parec"))
    slowest = max(v for r in results["qztap"] for v in r["first_bytes"] if v is not None)
    print("\nTargets (medians):")
    for name, met, detail in (
            ("client+server CPU <= parec's", q["total"] <= p["total"],
             f"{ms(q['total'], 2)} vs {ms(p['total'], 2)} ms/s ({q['total'] / p['total']:.2f}x)"),
            ("client CPU <= 1.25x parec's", q["client"] <= 1.25 * p["client"],
             f"{q['client'] / p['client']:.2f}x"),
            ("peak RSS <= parec's", q["rss"] <= p["rss"],
             f"{q['rss']:.1f} vs {p['rss']:.1f} MiB ({q['rss'] / p['rss']:.2f}x)"),
            ("median click latency <= 21 ms", q["latency_median"] <= 0.021,
             f"{ms(q['latency_median'])} ms"),
            ("click latency never above 40 ms", q["latency_worst"] <= 0.040,
             f"worst {ms(q['latency_worst'])} ms"),
            ("first output byte within 50 ms (median start)", q["first_byte"] <= 0.050,
             f"median {ms(q['first_byte'])} ms, slowest start {ms(slowest)} ms "
             f"(parec: median {ms(p['first_byte'])} ms)")):
        print(f"- {'met ' if met else 'MISSED'} {name}: {detail}")


# -- main ---------------------------------------------------------------------------

def progress(result):
    """One run's figures, for the line printed as it ends."""
    line = f"client {ms(of_run(result, 'client'), 2)} server {ms(of_run(result, 'server'), 2)} ms/s"
    if "latencies" not in result:
        return line
    line += (f", rss {result['rss']:.1f} MiB, first byte {ms(of_run(result, 'first_byte'))} ms, "
             f"latency median {ms(of_run(result, 'latency_median'))} "
             f"max {ms(of_run(result, 'latency_worst'))} ms "
             f"({len(result['latencies'])}/{result['clicks']}), sink latency "
             f"{ms(result['sink_latency'])} ms, mapping spread {ms(result['origin_spread'], 2)} ms")
    if result["underrun"]:
        line += ", UNDERRUN"
    if result["stray_clicks"]:
        line += f", {result['stray_clicks']} unexpected clicks"
    return line


def ensure_qztap(path):
    if os.access(path, os.X_OK):
        return
    build = os.path.join(ROOT, "build")
    print(f"building {path} ...", file=sys.stderr)
    subprocess.run(["cmake", "-S", ROOT, "-B", build], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2", "--target", "qztap"], check=True,
                   stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs per recorder (default 3)")
    parser.add_argument("--seconds", type=float, default=20.0,
                        help="seconds of clicks recorded per run (default 20)")
    parser.add_argument("--qztap", default=os.path.join(ROOT, "build", "qztap"))
    parser.add_argument("--only", nargs="+", metavar="NAME",
                        help="recorders to run (qztap, parec, ffmpeg, extra labels)")
    parser.add_argument("--extra", action="append", default=[], metavar="LABEL=COMMAND",
                        help="another recorder, e.g. 'qztap-old=/tmp/old/qztap'; {source} "
                             "in COMMAND stands for the monitor's name")
    args = parser.parse_args()

    ensure_qztap(args.qztap)
    commands = recorders(os.path.abspath(args.qztap))
    for extra in args.extra:
        label, _, command = extra.partition("=")
        commands[label] = command.replace("{source}", SOURCE).split()
    labels = args.only or list(commands)
    unknown = [label for label in labels if label not in commands]
    if unknown:
        parser.error(f"no recorder named {', '.join(unknown)}; known: {', '.join(commands)}")
    for label in labels:
        # Found once here, so that no start pays for a search along PATH.
        path = shutil.which(commands[label][0])
        if path is None:
            sys.exit(f"{commands[label][0]} not found: scripts/install-deps.sh installs it")
        commands[label][0] = path

    order = labels + [BASELINE]
    results = {label: [] for label in order}
    began = time.monotonic()
    for run in range(args.runs):
        # Rotate the order so that slow drifts in the machine's load spread over all;
        # the player alone is measured in the first round only.
        shift = run % len(order)
        for label in order[shift:] + order[:shift]:
            if label == BASELINE and run > 0:
                continue
            result = run_once(label, commands.get(label), args.seconds)
            results[label].append(result)
            print(f"run {run + 1}/{args.runs} {label}: {progress(result)}", file=sys.stderr,
                  flush=True)
    version = subprocess.run(["pulseaudio", "--version"], capture_output=True, text=True)
    print(f"{args.runs} runs of {args.seconds:g} s per recorder, PulseAudio "
          f"{version.stdout.split()[-1]}, {time.monotonic() - began:.0f} s in all; "
          "medians over runs\n")
    print_tables(results, labels)
    print_targets(results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
