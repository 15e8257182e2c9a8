"""qztap when things break under it: its server connection ends at every stage from
the first byte to the running stream, the server is killed outright, and standard
output is closed, full or non-blocking.

The connection faults go through a relay, a Unix socket of ours between qztap and
the server that passes on only the first N bytes the server sends and then nothing
more, as a server that died right there. qztap talks to it with shared memory off,
so every byte of the handshake, the queries, the stream set-up and the audio passes
through it and the relay knows exactly which answers and which samples qztap got.
Run from this directory:

    QZTAP_BINARY=build/qztap python3 -m unittest -v test_faults.PulseAudioFaults

QZTAP_FAULT_SEED=N repeats the random cut points and kill moments of an earlier run.
"""

import array
import collections
import contextlib
import fcntl
import itertools
import os
import random
import select
import signal
import socket
import struct
import subprocess
import sys
import termios
import threading
import time
import unittest

from soundserver import (START_LINE, PipeWireServer, PulseAudioServer, Tap, _die_with_parent,
                         decimations, find_samples, mono_mix, noise, stray_samples, wait_until)

BINARY = os.environ.get("QZTAP_BINARY", "")
SEED = int(os.environ.get("QZTAP_FAULT_SEED", time.time_ns() % 1_000_000))

CONNECTION_LOST = b"Connection terminated"
CONTENT_ERROR = b"PERMISSION_OR_CONTENT_ERROR: " + CONNECTION_LOST + b"\n"
START_ERROR = b"START_ERROR: " + CONNECTION_LOST + b"\n"
STOPPED = b"STREAM_STOPPED: " + CONNECTION_LOST + b"\n"

FAULTS = collections.Counter()  # "injected", "survived"


def tearDownModule():
    print(f"\nfault injection (seed {SEED}): {FAULTS['injected']} faults injected, "
          f"{FAULTS['survived']} survived", file=sys.stderr)


# -- the native protocol, as far as telling answers and audio apart goes -----------

_DESCRIPTOR = struct.Struct(">5I")  # length, channel, offset (2 words), flags
_CONTROL = 0xFFFFFFFF  # the channel of commands and answers; audio has its stream's
_ERROR, _REPLY = 0, 2
CREATE_RECORD_STREAM, GET_SINK_INFO, GET_SINK_INFO_LIST, SUBSCRIBE = 5, 21, 22, 35


def packets(data):
    """(start, end, channel, payload) of each packet in `data`; the last one may be
    cut short (end > len(data)), its payload then only what is there."""
    found, start = [], 0
    while start + _DESCRIPTOR.size <= len(data):
        length, channel = _DESCRIPTOR.unpack_from(data, start)[:2]
        end = start + _DESCRIPTOR.size + length
        found.append((start, end, channel, data[start + _DESCRIPTOR.size:end]))
        start = end
    return found


def command_and_tag(payload):
    """A command packet starts with two tagged 32-bit values: the command, the tag."""
    if len(payload) >= 10 and payload[0] == payload[5] == ord("L"):
        return struct.unpack_from(">I", payload, 1)[0], struct.unpack_from(">I", payload, 6)[0]
    return None, None


def requests(from_client):
    """tag -> command of each whole command qztap sent."""
    sent = {}
    for _, end, channel, payload in packets(from_client):
        if channel == _CONTROL and end <= len(from_client):
            command, tag = command_and_tag(payload)
            sent[tag] = command
    return sent


def answers(from_client, to_client):
    """(command, where its answer ends) for each whole answer in `to_client`, in order."""
    sent = requests(from_client)
    found = []
    for _, end, channel, payload in packets(to_client):
        if channel == _CONTROL and end <= len(to_client):
            command, tag = command_and_tag(payload)
            if command in (_REPLY, _ERROR) and tag in sent:
                found.append((sent[tag], end))
    return found


def answered(from_client, to_client):
    """The commands qztap sent whose answer lies whole within `to_client`."""
    return {command for command, _ in answers(from_client, to_client)}


def answer_end(command, from_client, to_client):
    """Where the answer to `command` ends in `to_client`, or None before it is whole."""
    return next((end for answered_command, end in answers(from_client, to_client)
                 if answered_command == command), None)


def audio_passed(to_client):
    """The audio in `to_client`: (that of whole packets, that of all of them including
    one cut short), as whole stereo frames."""
    whole = bytearray()
    tail = b""
    for _, end, channel, payload in packets(to_client):
        if channel == _CONTROL:
            continue
        if end <= len(to_client):
            whole += payload
        else:
            tail = payload
    frame = 2 * 4
    everything = bytes(whole) + tail
    return bytes(whole[:len(whole) // frame * frame]), everything[:len(everything) // frame * frame]


def captured(stereo_bytes):
    """What qztap writes for these frames as the start of its stream. At 48 kHz output
    m is input 3m - 1 of the mono mix (the first one input 0), interpolated towards
    input 3m with a weight of zero: it is written once input 3m has arrived."""
    stereo = array.array("f")
    stereo.frombytes(stereo_bytes)
    mono = mono_mix(stereo)
    return (mono[:1] + mono[2:len(mono) - 1:3]).tobytes()


# -- the relay -------------------------------------------------------------------------

_CLIENT_CONFIG = "enable-shm = no\n"
_relay_numbers = itertools.count()


class Relay:
    """A Unix socket standing in for the server's, for one qztap.

    It passes qztap's bytes to the server and the server's back. `cut_at` is how
    many of the server's bytes get through, or a function of (bytes from qztap,
    bytes from the server so far), asked as either grows, that gives it once it is
    known. From the cut on nothing more gets through either way; the relay hangs
    up on qztap at once (`hang_up_at_cut`), else when `hang_up()` is called or the
    server's end closes. `on_connect(pid)` is called as qztap (process `pid`)
    connects, before any byte passes.
    """

    def __init__(self, server, cut_at=None, hang_up_at_cut=True, on_connect=None):
        config = os.path.join(server.base, "client-no-shm.conf")
        if not os.path.exists(config):
            with open(config, "w") as f:
                f.write(_CLIENT_CONFIG)
        path = os.path.join(server.base, f"relay{next(_relay_numbers)}")
        self.env = dict(server.env, PULSE_SERVER="unix:" + path, PULSE_CLIENTCONFIG=config)
        self.from_client = bytearray()
        self.to_client = bytearray()
        self.cut = threading.Event()
        self._cut_at = cut_at
        self._hang_up_at_cut = hang_up_at_cut
        self._on_connect = on_connect
        self._hanging_up = threading.Event()
        self._upstream = server.socket
        self._listener = socket.socket(socket.AF_UNIX)
        self._listener.bind(path)
        self._listener.listen(1)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def hang_up(self):
        self._hanging_up.set()
        self._thread.join(timeout=10)

    def _cut_position(self, data):
        if callable(self._cut_at):
            return self._cut_at(bytes(self.from_client), bytes(self.to_client) + data)
        return self._cut_at

    def _cut_reached(self):
        cut = self._cut_position(b"")
        if cut is not None and len(self.to_client) >= cut:
            self.cut.set()
        return self.cut.is_set()

    def _accept(self):
        self._listener.settimeout(0.1)
        deadline = time.monotonic() + 30
        try:
            while not self._hanging_up.is_set() and time.monotonic() < deadline:
                try:
                    return self._listener.accept()[0]
                except socket.timeout:
                    pass
            return None
        finally:
            self._listener.close()

    def _run(self):
        client = self._accept()
        if client is None:
            return
        upstream = socket.socket(socket.AF_UNIX)
        try:
            if self._on_connect is not None:
                credentials = client.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED,
                                                struct.calcsize("3i"))
                self._on_connect(struct.unpack("3i", credentials)[0])
            upstream.connect(self._upstream)
            while not self._hanging_up.is_set():
                for end in select.select([client, upstream], [], [], 0.05)[0]:
                    data = end.recv(65536)
                    if not data:
                        return
                    if end is client:
                        self.from_client += data
                        if not self._cut_reached():
                            upstream.sendall(data)
                    elif not self.cut.is_set():
                        self._pass_to_client(client, data)
                if self.cut.is_set() and self._hang_up_at_cut:
                    return
        except OSError:
            return
        finally:
            client.close()
            upstream.close()

    def _pass_to_client(self, client, data):
        cut = self._cut_position(data)
        if cut is not None:
            data = data[:max(0, cut - len(self.to_client))]
        client.sendall(data)
        self.to_client += data
        self._cut_reached()


class Looper:
    """Keeps a signal playing on a sink, over and over, until stopped."""

    def __init__(self, server, sink, stereo):
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(server, sink, stereo),
                                        daemon=True)
        self._thread.start()

    def _run(self, server, sink, stereo):
        while not self._stopping.is_set():
            playback = server.start_playing(sink, stereo)
            while playback.process.poll() is None and not self._stopping.wait(0.05):
                pass
            playback.stop()

    def stop(self):
        self._stopping.set()
        self._thread.join()


# -- checks -------------------------------------------------------------------------------

def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def locate_prefix(output, stereo):
    """Where the start of the played `stereo` sits in `output` if the output holds a
    bit-exact prefix of its decimated mix from there on: (offset, length) or None."""
    hits = []
    for candidate in decimations(mono_mix(stereo)):
        offset = find_samples(output, candidate[:1024])
        if offset >= 0:
            length = min(len(candidate), len(output) - offset)
            if output[offset:offset + length] == candidate[:length]:
                hits.append((offset, length))
    return hits[0] if len(hits) == 1 else None


def socket_count(pid):
    try:
        return sum(os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:")
                   for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return 0


class FaultCases:
    """The cases; mixed into one TestCase per server kind."""

    server_class = None

    @classmethod
    def setUpClass(cls):
        if not os.access(BINARY, os.X_OK):
            raise AssertionError(f"QZTAP_BINARY={BINARY!r} is not an executable qztap")

    def setUp(self):
        self.random = random.Random(f"{SEED}-{self.id()}")

    def start_server(self, sinks=("alpha",)):
        server = self.server_class()
        self.addCleanup(server.stop)
        server.start(sinks=sinks)
        return server

    def start_tap(self, env, preexec_fn=None):
        tap = Tap(BINARY, env, preexec_fn=preexec_fn)
        self.addCleanup(tap.stop)
        return tap

    @contextlib.contextmanager
    def fault(self, description):
        """One injected fault, checked as a subtest; counted survived if it passes."""
        FAULTS["injected"] += 1
        with self.subTest(description, seed=SEED):
            yield
            FAULTS["survived"] += 1

    def assert_exit(self, tap, status, stderr):
        self.assertEqual((tap.wait_exit(), tap.stderr()), (status, stderr))

    def assert_delivered(self, output, to_client):
        """qztap wrote all the audio of every whole packet the relay passed, and
        nothing but that audio and what there was of a packet cut short."""
        whole, passed = audio_passed(to_client)
        expected = captured(passed)
        self.assertEqual(len(output) % 4, 0, "a sample was written in part")
        self.assertTrue(output == expected[:len(output)],
                        f"output differs from the audio passed at byte "
                        f"{first_difference(output, expected)} of {len(output)}")
        self.assertGreaterEqual(len(output), len(captured(whole)),
                                "audio qztap received is missing from its output")

    # -- the connection cut at every stage -------------------------------------------

    def run_cut(self, server, cut_at, hang_up_at_cut):
        """Runs qztap through a relay cutting at `cut_at` until qztap ends."""
        relay = Relay(server, cut_at, hang_up_at_cut)
        self.addCleanup(relay.hang_up)
        tap = self.start_tap(relay.env)
        wait_until(lambda: relay.cut.is_set() or tap.process.poll() is not None, 30,
                   "the relay to reach the cut")
        self.assertTrue(relay.cut.is_set(),
                        f"qztap ended before the cut: exit {tap.process.poll()}, "
                        f"stderr {tap.stderr()!r}")
        if not hang_up_at_cut:
            # The server dies a while after its last byte, once qztap has done what
            # it does with what it got: reported the start, or asked its next question
            # (or, on a slow machine, not yet: the outcome must be the same).
            if CREATE_RECORD_STREAM in answered(relay.from_client, relay.to_client):
                wait_until(lambda: tap.stderr() or tap.process.poll() is not None, 10,
                           "qztap to report the start")
            else:
                wait_quiet(relay.from_client, 0.3)
            relay.hang_up()
        tap.wait_exit()
        return relay, tap

    def check_cut(self, relay, tap):
        """The exact outcome for where the connection broke: no content yet: exit 2;
        content but no stream: exit 4; a stream: exit 5 after the start line."""
        done = answered(relay.from_client, relay.to_client)
        if GET_SINK_INFO_LIST not in done:
            expected = (2, CONTENT_ERROR)
        elif CREATE_RECORD_STREAM not in done:
            expected = (4, START_ERROR)
        else:
            expected = (5, START_LINE + STOPPED)
        self.assertEqual((tap.process.returncode, tap.stderr()), expected,
                         f"cut after {len(relay.to_client)} bytes")
        if expected[0] == 5:
            self.assert_delivered(tap.output(), relay.to_client)
        else:
            self.assertEqual(tap.output(), b"")

    def cut_points(self, stream):
        """Positions to cut `stream` at: every packet's first and last bytes, the end
        of its descriptor, its middle, for the packets up to the second audio packet;
        then some random places in the audio that follows."""
        layout = packets(stream)
        audio = [i for i, (_, _, channel, _) in enumerate(layout) if channel != _CONTROL]
        self.assertGreaterEqual(len(audio), 3, "the learning run got too little audio")
        points = set()
        for start, end, _, _ in layout[:audio[1] + 1]:
            points.update((start, start + 1, start + _DESCRIPTOR.size - 1,
                           start + _DESCRIPTOR.size, (start + end) // 2, end - 1, end))
        points.update(self.random.randrange(layout[audio[1]][1], len(stream)) for _ in range(4))
        points.discard(0)  # nothing at all from the server: the relay's hang-up alone
        return sorted(points)

    def test_connection_cut_at_every_stage(self):
        """The server's bytes cut off at each packet boundary and inside each packet of
        the handshake, the queries, the stream set-up and the first audio, and at
        random places in the audio, with a signal playing throughout."""
        server = self.start_server()
        looper = Looper(server, "alpha", noise(11, 2.0, amplitude=0.5))
        self.addCleanup(looper.stop)

        # A first run, itself a cut well into the audio, shows where the packets lie.
        learned, tap = self.run_cut(server, 400_000, hang_up_at_cut=False)
        with self.fault("server gone after about one second of audio"):
            self.check_cut(learned, tap)
        stream = bytes(learned.to_client)
        stream_ready = answer_end(CREATE_RECORD_STREAM, bytes(learned.from_client), stream)
        self.assertIsNotNone(stream_ready)

        audible = 0
        for point in self.cut_points(stream):
            with self.fault(f"server gone after byte {point}, qztap done with them"):
                relay, tap = self.run_cut(server, point, hang_up_at_cut=False)
                self.check_cut(relay, tap)
                audible += any(audio_passed(relay.to_client)[1].strip(b"\0"))
        self.assertGreater(audible, 0, "no cut came while the signal played")

        # Cut at once: the same outcomes, up to the stream's answer, where the
        # start races the hang-up (see test_connection_lost_as_capture_starts).
        for point in (p for p in self.cut_points(stream) if p < stream_ready):
            with self.fault(f"server gone right after byte {point}"):
                relay, tap = self.run_cut(server, point, hang_up_at_cut=True)
                self.check_cut(relay, tap)

    def test_connection_lost_as_capture_starts(self):
        """The connection ends as qztap confirms the start: its stream is ready and it
        has subscribed to the server's events, which it does once started, and its
        start-up thread is kept off the CPU (idle class, sharing one CPU with a busy
        loop) right after that. The end of the capture must not be reported before
        its start."""
        server = self.start_server()
        cpu = min(os.sched_getaffinity(0))
        for attempt in range(3):
            with self.fault(f"server gone as the capture starts, attempt {attempt}"):
                def once_subscribed(from_client, to_client):
                    return len(to_client) if SUBSCRIBE in requests(from_client).values() else None

                spinners = []

                def starve(pid):
                    starve_start_thread(pid, cpu)
                    spinners.append(subprocess.Popen([sys.executable, "-c", _BUSY_LOOP],
                                                     stdout=subprocess.PIPE,
                                                     preexec_fn=lambda: busy_on(cpu)))
                    spinners[0].stdout.readline()  # spinning

                relay = Relay(server, once_subscribed, hang_up_at_cut=True, on_connect=starve)
                self.addCleanup(relay.hang_up)
                tap = self.start_tap(relay.env)
                try:
                    status = tap.wait_exit(timeout=30)
                finally:
                    for spinner in spinners:
                        spinner.kill()
                        spinner.communicate()
                self.assertTrue(relay.cut.is_set(), f"stderr {tap.stderr()!r}")
                # Not started after all, or started and stopped: either is a true account.
                self.assertIn((status, tap.stderr()), ((4, START_ERROR), (5, START_LINE + STOPPED)))
                self.assert_delivered(tap.output(), relay.to_client)

    # -- the server killed ----------------------------------------------------------------

    def test_server_killed_before_it_answers(self):
        server = self.start_server()
        with self.fault("server frozen before qztap connects, then killed"):
            process = server.pulse_server_process()
            process.send_signal(signal.SIGSTOP)
            tap = self.start_tap(server.env)
            wait_until(lambda: socket_count(tap.process.pid) > 0, 10, "qztap to connect")
            time.sleep(self.random.uniform(0.0, 0.5))
            process.kill()
            self.assert_exit(tap, 2, CONTENT_ERROR)
            self.assertEqual(tap.output(), b"")

    def test_server_killed_between_content_and_start(self):
        server = self.start_server()
        with self.fault("server killed after answering the content query"):
            def after_content(from_client, to_client):
                return answer_end(GET_SINK_INFO_LIST, from_client, to_client)

            relay = Relay(server, after_content, hang_up_at_cut=False)
            self.addCleanup(relay.hang_up)
            tap = self.start_tap(relay.env)
            # qztap has its content and asks for the sink to record: kill the server
            # with that question unanswered. The relay hangs up as the server's end closes.
            wait_until(lambda: GET_SINK_INFO in requests(bytes(relay.from_client)).values(), 10,
                       "qztap to ask for the sink it records")
            server.pulse_server_process().kill()
            self.assert_exit(tap, 4, START_ERROR)
            self.assertEqual(tap.output(), b"")

    def test_server_killed_while_capturing(self):
        server = self.start_server()
        with self.fault("server killed while a signal plays"):
            tap = self.start_tap(server.env)
            tap.wait_started()
            tap.wait_streaming()
            played = noise(12, 5.0)
            playback = server.start_playing("alpha", played)
            self.addCleanup(playback.stop)
            wait_until(lambda: tap.output().strip(b"\0"), 10, "the signal to start arriving")
            time.sleep(self.random.uniform(0.1, 1.5))
            server.pulse_server_process().kill()
            self.assert_exit(tap, 5, START_LINE + STOPPED)
            output = tap.output()
            self.assertEqual(len(output) % 4, 0, "a sample was written in part")
            # Everything up to the end is the signal's start, bit-exact, zeros before.
            segment = locate_prefix(output, played)
            self.assertIsNotNone(segment, "the output does not hold the signal's start bit-exact")
            self.assertEqual(sum(segment), len(output), "the output does not end in the signal")
            self.assertEqual(stray_samples(output, [segment]), 0,
                             "output holds audio that was never played")

    # -- standard output ------------------------------------------------------------------

    def test_standard_output_faults(self):
        server = self.start_server()
        with self.fault("stdout closed"):
            result = subprocess.run([BINARY], env=server.env, stdin=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, preexec_fn=lambda: os.close(1),
                                    timeout=15)
            self.assertEqual((result.returncode, result.stderr),
                             (6, START_LINE + b"OUTPUT_ERROR: Bad file descriptor\n"))
        with self.fault("stdout a full device"), open("/dev/full", "wb") as full:
            result = subprocess.run([BINARY], env=server.env, stdin=subprocess.DEVNULL,
                                    stdout=full, stderr=subprocess.PIPE, timeout=15)
            self.assertEqual((result.returncode, result.stderr),
                             (6, START_LINE + b"OUTPUT_ERROR: No space left on device\n"))
        with self.fault("stdout a non-blocking pipe whose reader stalls"):
            self.check_non_blocking_pipe(server)

    def check_non_blocking_pipe(self, server):
        """Through a relay that lets all through: every sample the server sent must
        come out, whatever the pipe's reader does."""
        def non_blocking_stdout():
            fcntl.fcntl(1, fcntl.F_SETFL, fcntl.fcntl(1, fcntl.F_GETFL) | os.O_NONBLOCK)

        relay = Relay(server)
        self.addCleanup(relay.hang_up)
        tap = self.start_tap(relay.env, preexec_fn=non_blocking_stdout)
        tap.wait_started()
        with open(f"/proc/{tap.process.pid}/fdinfo/1") as fdinfo:
            flags = int(fdinfo.read().split("flags:")[1].split()[0], 8)
        self.assertTrue(flags & os.O_NONBLOCK, "qztap's stdout is not non-blocking")
        playback = server.start_playing("alpha", noise(13, 6.0))
        self.addCleanup(playback.stop)
        wait_until(lambda: tap.output().strip(b"\0"), 10, "the signal to start arriving")
        for _ in range(2):
            tap.pause_reading()
            wait_until_pipe_full(tap.process.stdout.fileno())
            time.sleep(self.random.uniform(0.2, 1.0))
            tap.resume_reading()
            time.sleep(0.5)
        playback.finish()
        expected = captured(audio_passed(bytes(relay.to_client))[0])
        wait_until(lambda: len(tap.output()) >= len(expected), 20,
                   "qztap to pass on all the server sent")
        output = tap.output()[:len(expected)]
        self.assertTrue(output == expected, f"output differs from the audio the server sent at "
                                            f"byte {first_difference(output, expected)}")
        self.assertIsNone(tap.process.poll(), f"qztap ended: stderr {tap.stderr()!r}")
        self.assertEqual(tap.stderr(), START_LINE)


# Says when it starts spinning; spins for half a minute at most, whatever happens.
_BUSY_LOOP = """import time
end = time.monotonic() + 30
print(flush=True)
while time.monotonic() < end:
    pass
"""


def busy_on(cpu):
    os.sched_setaffinity(0, {cpu})
    _die_with_parent()


def starve_start_thread(pid, cpu):
    """Puts all of qztap's threads on `cpu` and its first thread after the main one,
    the one that starts the capture, in the idle scheduling class: it only runs when
    nothing else wants that CPU."""
    threads = sorted(int(tid) for tid in os.listdir(f"/proc/{pid}/task"))
    for tid in threads:
        os.sched_setaffinity(tid, {cpu})
    os.sched_setscheduler(threads[1], os.SCHED_IDLE, os.sched_param(0))


def wait_quiet(data, quiet):
    """Waits until `data`, a bytearray something appends to, has not grown for
    `quiet` seconds (at most 5 s)."""
    history = collections.deque(maxlen=max(2, int(quiet / 0.02)))
    wait_until(lambda: history.append(len(data)) or
               (len(history) == history.maxlen and history[0] == history[-1]),
               5, "the client to fall quiet")


def wait_until_pipe_full(fd):
    """Waits until the pipe read by `fd` holds more than 60 KiB that has not grown for
    half a second while audio flows into it: its writer is waiting for room."""
    history = collections.deque(maxlen=25)

    def full():
        held = array.array("i", [0])
        fcntl.ioctl(fd, termios.FIONREAD, held)
        history.append(held[0])
        return (len(history) == history.maxlen and history[0] == history[-1]
                and history[-1] > 60 * 1024)
    wait_until(full, 15, lambda: f"the pipe to fill (holds {history[-1]} bytes)")


class PulseAudioFaults(FaultCases, unittest.TestCase):
    server_class = PulseAudioServer


class PipeWireFaults(FaultCases, unittest.TestCase):
    server_class = PipeWireServer


if __name__ == "__main__":
    unittest.main()
