#!/usr/bin/env python3
"""The capture benchmark's player, a libpulse client of its own that knows when each
of its samples is played (see play()). bench/capture_bench.py starts it as

    python3 bench/click_player.py SINK SECONDS
"""

import array
import ctypes
import json
import os
import random
import select
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "e2e"))
sys.dont_write_bytecode = True  # leave no caches in the source tree

from soundserver import CHANNELS, RATE  # noqa: E402

CLICK_PERIOD = 0.5          # s between clicks, on average
CLICK_JITTER = 0.1          # each click up to this much later than its slot
CLICK_FRAMES = 48           # 1 ms at 48 kHz
CLICK_LEVEL = 0.8
CLICK_PHASE = 0.25          # first click this long after the window opens

PLAYER_QUEUE_MS = 200       # the player's target buffer: its sink latency request (~50 ms)
                            # stays above every recorder's, so the recorder sets the pace
PLAYER_CHUNK_FRAMES = 2400  # 50 ms per write, as often as the server asks for more
SNAPSHOT_PERIOD = 0.5       # s between the player's timing snapshots
TAIL = 0.6                  # s the player goes on after the last click's slot


def sleep_until(deadline):
    delay = deadline - time.monotonic()
    if delay > 0:
        time.sleep(delay)


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


def play(sink, seconds):
    """Streams silence to `sink` in real time, 50 ms per write, and samples the server's
    timing for its stream (read index, sink latency, the server's clock). Prints "ready" once
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
    return {
        "asked": asked, "since_underrun": info.since_underrun,
        # The monotonic instant at which stream frame 0 is (was) played.
        "origin": server_time + info.sink_usec / 1e6 - info.read_index / (4 * CHANNELS) / RATE,
    }


if __name__ == "__main__":
    play(sys.argv[1], float(sys.argv[2]))
