#!/usr/bin/env python3
"""Capture benchmark: qztap against the sound server's own recorder (parec, converting
to 16 kHz mono in the server) and ffmpeg (converting in the client), each recording
the monitor of a null sink on a private PulseAudio server while a player plays the
same signal: silence with a 1 ms click about every 500 ms.

    python3 bench/capture_bench.py [--runs N] [--seconds S] [--qztap PATH] [--json FILE]

Builds build/qztap first if it is missing. Every run gets a fresh server (from
tests/e2e/soundserver.py) and records for the same S seconds of played signal;
the table shows medians over the runs, a second table the spread between runs.

What is measured, per run and recorder:
- CPU per second of audio, over the steady-state window (S seconds, starting about a
  second after the recorder was started): the recorder process (its process CPU
  clock, all threads), and the pulseaudio process over the same window. The player
  costs the server something too; the "playback only" row is that cost with no
  recorder at all, and "server net" is the server's CPU minus it.
- Peak RSS of the recorder: VmHWM just before it is stopped.
- Time from starting the recorder to its first byte on stdout, with audio playing,
  and for qztap to its CAPTURE_STARTED line: eight starts per run (seven short ones
  before the long one), spread over the phases of the sink's 50 ms blocks, since a
  new recorder's first data comes with the sink's next block.
- Click latency: when each click is seen on the recorder's stdout (read in a tight
  loop by a thread at real-time priority where allowed, each read stamped) minus
  the click's due time. The player is a libpulse client of its own that keeps about
  150 ms queued in the server; from the server's timing reports (read index, sink
  latency and the server's clock, sampled every 500 ms) it knows at which monotonic
  instant every sample of its stream is played. A click's due time is that instant minus the sink
  latency in force (the sink renders that far ahead, and with a recorder on its
  monitor the sink latency is the recorder's own request): the last moment a
  just-in-time player could hand the click to the server and still have it played
  on time. The player's own queue is thereby taken out exactly, whatever it holds.
  A recorder whose fragment equals the sink latency sees each click between 0 and
  one fragment after its due time. Each 500 ms slot has one click, up to 100 ms
  late, so that the clicks fall at every phase of the sink's blocks.
"""

import argparse
import array
import bisect
import ctypes
import json
import os
import random
import select
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

from soundserver import CHANNELS, RATE, PulseAudioServer  # noqa: E402

SINK = "bench"
SOURCE = SINK + ".monitor"
OUTPUT_RATE = 16000

CLICK_PERIOD = 0.5          # s between clicks, on average
CLICK_JITTER = 0.1          # each click up to this much later than its slot
CLICK_FRAMES = 48           # 1 ms at 48 kHz
CLICK_LEVEL = 0.8
DETECT_LEVEL = 0.2          # first output sample above this is the click's arrival
CLICK_PHASE = 0.25          # first click this long after the window opens

PLAYER_QUEUE_MS = 200       # the player's target buffer: its sink latency request (~50 ms)
                            # stays above every recorder's, so the recorder sets the pace
PLAYER_CHUNK_FRAMES = 2400  # 50 ms per write, as often as the server asks for more
SNAPSHOT_PERIOD = 0.5       # s between the player's timing snapshots
AUDIO_SETTLE = 0.5          # s of playing before any recorder starts
STARTUP_TRIALS = 7          # extra starts per run, for the time to the first byte
RECORDER_LEAD = 1.0         # s from starting the recorder to the window
IDLE_SINK_BLOCK = 0.05      # s the null sink renders at a time with only the player on it
TAIL = 0.6                  # s the player goes on after the last click's slot

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


def memory_status(pid):
    """VmHWM, VmRSS, RssAnon, RssFile and RssShmem of a process, in KiB."""
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS", "RssAnon", "RssFile", "RssShmem"):
                fields[key] = int(value.split()[0])
    return fields


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


def sleep_until(deadline):
    delay = deadline - time.monotonic()
    if delay > 0:
        time.sleep(delay)


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
        while True:
            chunk = os.read(fd, 1 << 20)
            now = time.monotonic()
            if not chunk:
                return
            self.data += chunk
            self.reads.append((now, len(self.data)))

    def _read_stderr(self):
        fd = self.process.stderr.fileno()
        pending = b""
        while True:
            chunk = os.read(fd, 65536)
            now = time.monotonic()
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self.lines.append((now, line.decode(errors="replace")))

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

    def arrival_times(self, rate):
        """The clicks' first samples: when each was read from stdout, how many bytes
        that read brought, and how long after the read before it."""
        samples = array.array("f")
        samples.frombytes(bytes(self.data[:len(self.data) // 4 * 4]))
        ends = [end for _, end in self.reads]
        times = []
        last = None
        apart = int(rate * CLICK_PERIOD / 2)  # samples between two clicks, at least
        for index, value in enumerate(samples):
            if abs(value) > DETECT_LEVEL:
                if last is None or index - last > apart:
                    read = bisect.bisect_right(ends, index * 4)
                    size = ends[read] - (ends[read - 1] if read else 0)
                    wait = self.reads[read][0] - self.reads[read - 1][0] if read else 0.0
                    times.append((self.reads[read][0], size, wait))
                last = index
        return times


# -- the player -------------------------------------------------------------------

class _SampleFormat(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32)
                for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


class _Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


class _TimingInfo(ctypes.Structure):
    _fields_ = [("timestamp", _Timeval), ("synchronized_clocks", ctypes.c_int),
                ("sink_usec", ctypes.c_uint64), ("source_usec", ctypes.c_uint64),
                ("transport_usec", ctypes.c_uint64), ("playing", ctypes.c_int),
                ("write_index_corrupt", ctypes.c_int), ("write_index", ctypes.c_int64),
                ("read_index_corrupt", ctypes.c_int), ("read_index", ctypes.c_int64),
                ("configured_sink_usec", ctypes.c_uint64),
                ("configured_source_usec", ctypes.c_uint64), ("since_underrun", ctypes.c_int64)]


def _libpulse():
    pulse = ctypes.CDLL("libpulse.so.0")
    p = ctypes.c_void_p
    signatures = {
        "pa_threaded_mainloop_new": (p, []),
        "pa_threaded_mainloop_get_api": (p, [p]),
        "pa_threaded_mainloop_start": (ctypes.c_int, [p]),
        "pa_threaded_mainloop_lock": (None, [p]),
        "pa_threaded_mainloop_unlock": (None, [p]),
        "pa_context_new": (p, [p, ctypes.c_char_p]),
        "pa_context_connect": (ctypes.c_int, [p, ctypes.c_char_p, ctypes.c_int, p]),
        "pa_context_get_state": (ctypes.c_int, [p]),
        "pa_stream_new": (p, [p, ctypes.c_char_p, ctypes.POINTER(_SampleFormat), p]),
        "pa_stream_connect_playback": (ctypes.c_int, [p, ctypes.c_char_p,
                                                      ctypes.POINTER(_BufferAttr), ctypes.c_int,
                                                      p, p]),
        "pa_stream_get_state": (ctypes.c_int, [p]),
        "pa_stream_write": (ctypes.c_int, [p, ctypes.c_char_p, ctypes.c_size_t, p,
                                           ctypes.c_int64, ctypes.c_int]),
        "pa_stream_update_timing_info": (p, [p, p, p]),
        "pa_stream_get_timing_info": (ctypes.POINTER(_TimingInfo), [p]),
        "pa_operation_get_state": (ctypes.c_int, [p]),
        "pa_operation_unref": (None, [p]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(pulse, name)
        function.restype = restype
        function.argtypes = argtypes
    return pulse


def click_time(k):
    """When click k sounds, in seconds from the window's start. The jitter keeps the
    clicks from falling at one phase of the sink's blocks, as they would if the block
    divided the period (500 ms is 10 blocks of 50 ms)."""
    return CLICK_PHASE + k * CLICK_PERIOD + random.Random(k).uniform(0, CLICK_JITTER)


def _play(sink, seconds):
    """The player (its own process): streams silence to `sink` in real time, 50 ms per
    write, and samples the server's timing for its stream. Prints "ready" once
    playing. Once it reads the window's start (a monotonic time) from stdin, it plays
    a click about every 500 ms over the window's `seconds`, then ends with one JSON line:
    the clicks' stream positions (frames) and the timing snapshots."""
    pulse = _libpulse()
    loop = pulse.pa_threaded_mainloop_new()
    context = pulse.pa_context_new(pulse.pa_threaded_mainloop_get_api(loop), b"bench-player")
    if pulse.pa_context_connect(context, None, 1, None) < 0:  # PA_CONTEXT_NOAUTOSPAWN
        sys.exit("player: cannot connect")
    pulse.pa_threaded_mainloop_start(loop)

    def locked(function, *args):
        pulse.pa_threaded_mainloop_lock(loop)
        try:
            return function(*args)
        finally:
            pulse.pa_threaded_mainloop_unlock(loop)

    def wait_state(get, handle, ready, failed):
        deadline = time.monotonic() + 10
        while (state := locked(get, handle)) != ready:
            if state >= failed or time.monotonic() > deadline:
                sys.exit(f"player: {get.__name__} is {state}")
            time.sleep(0.002)

    wait_state(pulse.pa_context_get_state, context, 4, 5)  # READY, FAILED
    sample_format = _SampleFormat(5, RATE, CHANNELS)  # PA_SAMPLE_FLOAT32LE
    frame = 4 * CHANNELS
    unset = 0xFFFFFFFF
    attr = _BufferAttr(unset, PLAYER_QUEUE_MS * RATE // 1000 * frame, unset, unset, unset)
    stream = locked(pulse.pa_stream_new, context, b"clicks", ctypes.byref(sample_format), None)
    if locked(pulse.pa_stream_connect_playback, stream, sink.encode(), ctypes.byref(attr),
              0x2000, None, None) < 0:  # PA_STREAM_ADJUST_LATENCY
        sys.exit("player: cannot connect the stream")
    wait_state(pulse.pa_stream_get_state, stream, 2, 3)  # READY, FAILED

    started = time.monotonic()
    clicks = []
    end = None
    click = array.array("f", [CLICK_LEVEL] * (CLICK_FRAMES * CHANNELS)).tobytes()
    snapshots = []
    next_snapshot = started
    position = 0
    while end is None or position < end:
        if end is None and select.select([sys.stdin], [], [], 0)[0]:
            window_start = float(sys.stdin.readline())
            clicks = [round((window_start + click_time(k) - started) * RATE)
                      for k in range(int(seconds / CLICK_PERIOD))]
            end = round((window_start + seconds + TAIL - started) * RATE)
        chunk = bytearray(PLAYER_CHUNK_FRAMES * frame)
        for start in clicks:
            overlap_start = max(start, position)
            overlap_end = min(start + CLICK_FRAMES, position + PLAYER_CHUNK_FRAMES)
            if overlap_start < overlap_end:
                chunk[(overlap_start - position) * frame:(overlap_end - position) * frame] = \
                    click[(overlap_start - start) * frame:(overlap_end - start) * frame]
        sleep_until(started + position / RATE)
        if locked(pulse.pa_stream_write, stream, bytes(chunk), len(chunk), None, 0, 0) < 0:
            sys.exit("player: write failed")
        if position == 0:
            print("ready", flush=True)
        position += PLAYER_CHUNK_FRAMES
        if time.monotonic() >= next_snapshot:
            next_snapshot += SNAPSHOT_PERIOD
            snapshots.append(_timing_snapshot(pulse, locked, stream))
    print(json.dumps({"clicks": clicks, "snapshots": snapshots}), flush=True)
    os._exit(0)


def _timing_snapshot(pulse, locked, stream):
    asked = time.monotonic()
    operation = locked(pulse.pa_stream_update_timing_info, stream, None, None)
    while locked(pulse.pa_operation_get_state, operation) == 0:  # RUNNING
        time.sleep(0.0002)
    answered = time.monotonic()
    realtime_offset = time.time() - time.monotonic()
    locked(pulse.pa_operation_unref, operation)
    info = locked(pulse.pa_stream_get_timing_info, stream).contents
    server_time = info.timestamp.tv_sec + info.timestamp.tv_usec / 1e6 - realtime_offset
    if not info.synchronized_clocks:
        server_time = (asked + answered) / 2
    frames_read = info.read_index / (4 * CHANNELS)
    return {
        "asked": asked, "answered": answered, "server_time": server_time,
        "sink_usec": info.sink_usec, "read_frames": frames_read,
        "configured_sink_usec": info.configured_sink_usec,
        "since_underrun": info.since_underrun, "playing": info.playing,
        # The monotonic instant at which stream frame 0 is (was) played.
        "origin": server_time + info.sink_usec / 1e6 - frames_read / RATE,
    }


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
            [sys.executable, os.path.abspath(__file__), "--play", SINK, repr(seconds)],
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
            memory = memory_status(recorder.process.pid) if recorder else {}
            exited = recorder.process.poll() if recorder else None
        finally:
            if recorder:
                recorder.stop()
    finally:
        if player is not None and player.poll() is None:
            player.kill()
            player.wait()
        server.stop()

    result = {
        "label": label, "seconds": seconds,
        "client_cpu": client_end - client_start, "server_cpu": server_end - server_start,
        "client_start_cpu": client_start,
    }
    if not recorder:
        return result
    if exited is not None:
        raise RuntimeError(f"{label} exited early ({exited}): {recorder.lines}")

    # The clock mapping and the sink latency while the recorder was recording.
    during = [s for s in played["snapshots"] if window <= s["asked"] <= window + seconds]
    origins = [s["origin"] for s in during]
    origin = statistics.median(origins)
    due = [origin + position / RATE - sink_latency for position in played["clicks"]]
    found = recorder.arrival_times(OUTPUT_RATE)
    arrivals = [t for t, _, _ in found]
    latencies = []
    reads = []  # for each click seen: the size of the read that brought it, the gap before
    for moment in due:
        index = bisect.bisect_left(arrivals, moment - 0.005)
        if index < len(arrivals) and arrivals[index] < moment + CLICK_PERIOD / 2:
            latencies.append(arrivals[index] - moment)
            reads.append(found[index][1:])
    first_bytes = [f for f, _ in trials] + [recorder.first_byte()]
    start_lines = [s for _, s in trials] + [recorder.start_line()]
    result.update({
        "peak_rss_kib": memory["VmHWM"], "memory": memory,
        "first_bytes": first_bytes, "start_lines": start_lines,
        "first_byte": median_or_none(first_bytes),
        "capture_started": median_or_none(start_lines),
        "latencies": latencies, "click_reads": reads, "clicks": len(due),
        "stray_clicks": len(arrivals) - len(latencies),
        "sink_latency": sink_latency,
        "origin_spread": max(origins) - min(origins),
        "underrun": any(s["since_underrun"] < p["since_underrun"]
                        for p, s in zip(during, during[1:])),
        "output_rate": len(recorder.data) / 4 / (recorder.reads[-1][0] - recorder.reads[0][0]),
    })
    return result


# -- the table -----------------------------------------------------------------------

def ms(value):
    return "—" if value is None else f"{value * 1e3:.1f}"


def per_run(runs, key):
    """One figure of each run, in run order (None where a run has none)."""
    def figure(r):
        if key == "client":
            return r["client_cpu"] / r["seconds"]
        if key == "server":
            return r["server_cpu"] / r["seconds"]
        if key == "total":
            return (r["client_cpu"] + r["server_cpu"]) / r["seconds"]
        if key == "rss":
            return r["peak_rss_kib"] / 1024
        if key == "latency_median":
            return statistics.median(r["latencies"]) if r.get("latencies") else None
        if key == "latency_worst":
            return max(r["latencies"]) if r.get("latencies") else None
        return r.get(key)
    return [figure(r) for r in runs]


def summarize(runs):
    """Medians over runs (and min, max) of each figure for one recorder."""
    keys = ("client", "server", "total", "rss", "first_byte", "capture_started",
            "latency_median", "latency_worst")
    figures = {key: [v for v in per_run(runs, key) if v is not None] for key in keys}
    # Every start of every run counts for the start-up times.
    for key, starts in (("first_byte", "first_bytes"), ("capture_started", "start_lines")):
        figures[key] = [v for r in runs for v in r.get(starts, []) if v is not None]
    pooled = sorted(x for r in runs for x in r.get("latencies", []))
    summary = {key: (statistics.median(v), min(v), max(v)) if v else None
               for key, v in figures.items()}
    summary["latency_worst_all"] = pooled[-1] if pooled else None
    summary["latency_p95"] = pooled[int(0.95 * (len(pooled) - 1))] if pooled else None
    summary["clicks_seen"] = sum(len(r.get("latencies", [])) for r in runs)
    summary["clicks"] = sum(r.get("clicks", 0) for r in runs)
    summary["runs"] = runs
    return summary


def print_tables(results, labels, baseline):
    s = {label: summarize(results[label]) for label in labels}
    base = statistics.median(r["server_cpu"] / r["seconds"] for r in results[baseline]) \
        if baseline in results else None

    def med(label, key):
        return s[label][key][0] if s[label].get(key) else None

    header = ("| recorder | client CPU ms/s | server CPU ms/s | server net ms/s | "
              "client+server ms/s | peak RSS MiB | first byte ms | CAPTURE_STARTED ms | "
              "click latency median ms | p95 ms | worst ms | clicks seen |")
    print(header)
    print("|---" * (header.count("|") - 1) + "|")
    for label in labels:
        net = med(label, "server") - base if base is not None else None
        print(f"| {label} | {med(label, 'client') * 1e3:.2f} | {med(label, 'server') * 1e3:.2f} | "
              f"{'—' if net is None else f'{net * 1e3:.2f}'} | {med(label, 'total') * 1e3:.2f} | "
              f"{med(label, 'rss'):.1f} | {ms(med(label, 'first_byte'))} | "
              f"{ms(med(label, 'capture_started'))} | {ms(med(label, 'latency_median'))} | "
              f"{ms(s[label]['latency_p95'])} | {ms(s[label]['latency_worst_all'])} | "
              f"{s[label]['clicks_seen']}/{s[label]['clicks']} |")
    if base is not None:
        print(f"| playback only | — | {base * 1e3:.2f} | 0 | — | — | — | — | — | — | — | — |")

    if "qztap" in s:
        print()
        print("Ratios qztap/peer: of the medians above, and in brackets the range of the "
              "ratios within each round (runs of one round are close in time):")
        print("| ratio | client CPU | server CPU | client+server | peak RSS | first byte | "
              "latency median | latency worst |")
        print("|---|---|---|---|---|---|---|---|")
        for peer in labels:
            if peer == "qztap":
                continue
            cells = []
            for key in ("client", "server", "total", "rss", "first_byte", "latency_median",
                        "latency_worst"):
                a, b = med("qztap", key), med(peer, key)
                if key == "latency_worst":
                    a, b = s["qztap"]["latency_worst_all"], s[peer]["latency_worst_all"]
                if a is None or not b:
                    cells.append("—")
                    continue
                rounds = [x / y for x, y in zip(per_run(results["qztap"], key),
                                                 per_run(results[peer], key)) if y]
                cells.append(f"{a / b:.2f} [{min(rounds):.2f}–{max(rounds):.2f}]"
                             if len(rounds) > 1 else f"{a / b:.2f}")
            print(f"| qztap/{peer} | " + " | ".join(cells) + " |")

    print()
    print("Spread between runs (min–max of the per-run figures; start-up times: of every start):")
    print("| recorder | client CPU ms/s | server CPU ms/s | peak RSS MiB | first byte ms | "
          "latency median ms | latency worst ms |")
    print("|---|---|---|---|---|---|---|")

    def span(label, key, scale=1e3, digits=2):
        value = s[label].get(key)
        if not value:
            return "—"
        return f"{value[1] * scale:.{digits}f}–{value[2] * scale:.{digits}f}"

    for label in labels:
        print(f"| {label} | {span(label, 'client')} | {span(label, 'server')} | "
              f"{span(label, 'rss', 1, 1)} | {span(label, 'first_byte', 1e3, 1)} | "
              f"{span(label, 'latency_median', 1e3, 1)} | {span(label, 'latency_worst', 1e3, 1)} |")
    if baseline in results:
        values = [r["server_cpu"] / r["seconds"] * 1e3 for r in results[baseline]]
        print(f"| playback only | — | {min(values):.2f}–{max(values):.2f} | — | — | — | — |")
    return s, base


def print_targets(s, base):
    if "qztap" not in s or "parec" not in s:
        return
    q, p = s["qztap"], s["parec"]
    print()
    print("Targets (medians):")

    def check(name, ok, detail):
        print(f"- {'met ' if ok else 'MISSED'} {name}: {detail}")

    check("client+server CPU <= parec's", q["total"][0] <= p["total"][0],
          f"{q['total'][0] * 1e3:.2f} vs {p['total'][0] * 1e3:.2f} ms/s "
          f"({q['total'][0] / p['total'][0]:.2f}x)")
    check("client CPU <= 1.25x parec's", q["client"][0] <= 1.25 * p["client"][0],
          f"{q['client'][0] / p['client'][0]:.2f}x")
    check("peak RSS <= parec's", q["rss"][0] <= p["rss"][0],
          f"{q['rss'][0]:.1f} vs {p['rss'][0]:.1f} MiB ({q['rss'][0] / p['rss'][0]:.2f}x)")
    check("median click latency <= 21 ms", q["latency_median"][0] <= 0.021,
          f"{q['latency_median'][0] * 1e3:.1f} ms")
    check("click latency never above 40 ms", q["latency_worst_all"] <= 0.040,
          f"worst {q['latency_worst_all'] * 1e3:.1f} ms")
    starts = len([1 for r in q["runs"] for v in r.get("first_bytes", []) if v is not None])
    check("first output byte within 50 ms (median start)", q["first_byte"][0] <= 0.050,
          f"median {q['first_byte'][0] * 1e3:.1f} ms, slowest of {starts} starts "
          f"{q['first_byte'][2] * 1e3:.1f} ms (parec: median {p['first_byte'][0] * 1e3:.1f} ms)")


# -- main ---------------------------------------------------------------------------

def progress(result):
    """One run's figures, for the line printed as it ends."""
    seconds = result["seconds"]
    line = (f"client {result['client_cpu'] / seconds * 1e3:.2f} "
            f"server {result['server_cpu'] / seconds * 1e3:.2f} ms/s")
    if "latencies" not in result:
        return line
    latencies = result["latencies"] or [float("nan")]
    line += (f", rss {result['peak_rss_kib'] / 1024:.1f} MiB, first byte "
             f"{ms(result['first_byte'])} ms, latency median "
             f"{statistics.median(latencies) * 1e3:.1f} max {max(latencies) * 1e3:.1f} ms "
             f"({len(result['latencies'])}/{result['clicks']}), sink latency "
             f"{result['sink_latency'] * 1e3:.1f} ms, mapping spread "
             f"{result['origin_spread'] * 1e3:.2f} ms")
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
    if len(sys.argv) == 4 and sys.argv[1] == "--play":
        _play(sys.argv[2], float(sys.argv[3]))
        return 0
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
    parser.add_argument("--baseline-runs", type=int, default=1,
                        help="playback-only runs, for the server's cost of the player alone "
                             "(default 1)")
    parser.add_argument("--json", help="write every run's figures to this file")
    args = parser.parse_args()

    ensure_qztap(args.qztap)
    commands = recorders(os.path.abspath(args.qztap))
    for extra in args.extra:
        label, _, command = extra.partition("=")
        commands[label] = command.replace("{source}", SOURCE).split()
    for label, argv in commands.items():
        # Found once here, so that no start pays for a search along PATH.
        path = shutil.which(argv[0])
        if path is None and label in (args.only or commands):
            sys.exit(f"{argv[0]} not found: scripts/install-deps.sh installs it")
        argv[0] = path or argv[0]
    labels = args.only or list(commands)
    unknown = [label for label in labels if label not in commands]
    if unknown:
        parser.error(f"no recorder named {', '.join(unknown)}; known: {', '.join(commands)}")
    baseline = "playback only"
    order = labels + [baseline]

    results = {label: [] for label in order if label != baseline or args.baseline_runs}
    began = time.monotonic()
    for run in range(args.runs):
        # Rotate the order so that slow drifts in the machine's load spread over all.
        shift = run % len(order)
        for label in order[shift:] + order[:shift]:
            if label == baseline and run >= args.baseline_runs:
                continue
            result = run_once(label, commands.get(label), args.seconds)
            results[label].append(result)
            print(f"run {run + 1}/{args.runs} {label}: {progress(result)}", file=sys.stderr,
                  flush=True)
    version = subprocess.run(["pulseaudio", "--version"], capture_output=True, text=True)
    print(f"{args.runs} runs of {args.seconds:g} s per recorder, PulseAudio "
          f"{version.stdout.split()[-1]}, {time.monotonic() - began:.0f} s in all; "
          "medians over runs\n")
    summary, base = print_tables(results, labels, baseline)
    print_targets(summary, base)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
