"""qztap against real sound servers of its own; run from this directory as

    QZTAP_BINARY=build/qztap python3 -m unittest -v test_qztap.PulseAudioTests

Signals are seeded noise, which matches qztap's output at one place only, and a null
sink's silence is exact zeros: any other sample is audio that should not be there.
"""

import fcntl
import itertools
import os
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from pulse_relay import (CONTROL, CREATE_RECORD_STREAM, DELETE_RECORD_STREAM, GET_SERVER_INFO,
                         INPUT_OUTPUT_ERROR, QZTAP_CONNECTION, RECORD_STREAM_KILLED, REPLY,
                         TO_CLIENT, TO_SERVER, Relay, error_reply, onward)
from qztap_process import BINARY, COMMAND, Tap, run_to_exit, without_libpulse
from soundserver import (START_LINE, PipeWireServer, PulseAudioServer, die_with_parent,
                         locate, noise, stray_samples, wait_until)

CONNECTION_LOST = b"Connection terminated\n"
# The long-running qztap's memory after the warm-up, and at the end, over a minute
# later, once its reader has caught up after a stall.
WARM_UP_SECONDS, GROWTH_LIMIT_KIB = 20, 2048
# Longer than either server keeps a stream's audio for a client that does not read
# (PulseAudio about 11 s): a reader stalled this long costs audio unless qztap keeps it.
STALL_SECONDS = 30
BYTES_PER_SECOND = 16000 * 4


def hanging_up_at(server, request, on_connect):
    """qztap's environment for a connection that hangs up on both ends, as a server dying
    right there, when qztap sends its `request`-th request; `on_connect(pid)` is called
    as qztap connects."""
    relay, sent = Relay(server, on_connect), itertools.count(1)
    relay.rule = lambda connection, packet, from_client: (
        None if from_client and connection == QZTAP_CONNECTION and next(sent) >= request else
        onward(packet, from_client))
    return relay.env


def passing(connection, packet, from_client):
    return onward(packet, from_client)


def on_own_connection(rule, everywhere=False):
    """`rule` for qztap's own connection; the connections it makes only to look at the
    default pass untouched, unless `everywhere`."""
    return lambda connection, packet, from_client: (
        rule(packet, from_client) if connection == QZTAP_CONNECTION or everywhere else
        onward(packet, from_client))


def default_named(name, everywhere=False):
    """Every answer of the server's info names `name` as the default sink."""
    asked = set()

    def rule(packet, from_client):
        if from_client and packet.command == GET_SERVER_INFO:
            asked.add(packet.tag)
        elif not from_client and packet.command == REPLY and packet.tag in asked:
            asked.discard(packet.tag)
            packet = packet.with_default_sink(name)
        return onward(packet, from_client)
    return on_own_connection(rule, everywhere)


def creation_failing(answer):
    """qztap's next request for a stream never reaches the server; the relay gives
    `answer(request)` in its place, if any."""
    taken = []

    def rule(packet, from_client):
        if from_client and packet.command == CREATE_RECORD_STREAM and not taken:
            taken.append(packet)
            return [(TO_CLIENT, reply) for reply in answer(packet)]
        return onward(packet, from_client)
    return on_own_connection(rule)


class HeldBack:
    """Held back from qztap: the kill of a stream, and if `first_answer` the answer to its
    first request for a stream before that, each until qztap asks for a stream (then
    passed on after that request), or until `release()`."""

    def __init__(self, relay, first_answer=False):
        self.relay, self.first_answer, self.held, self.requests = relay, first_answer, [], []
        self.lock, self.holding = threading.Lock(), threading.Event()
        self.rule = on_own_connection(self.hold)

    def hold(self, packet, from_client):
        with self.lock:
            if from_client and packet.command == CREATE_RECORD_STREAM:
                self.requests.append(packet.tag)
                return [(TO_SERVER, packet), *((TO_CLIENT, held) for held in self.take())]
            if not from_client and self.picks(packet):
                self.held.append(packet)
                self.holding.set()
                return []
            return onward(packet, from_client)

    def picks(self, packet):
        if packet.command == RECORD_STREAM_KILLED:
            return not self.first_answer or bool(self.held)
        return (self.first_answer and not self.held and packet.command == REPLY and
                self.requests[:1] == [packet.tag])

    def take(self):
        held, self.held = self.held, []
        return held

    def release(self):
        with self.lock:
            self.relay.to_client(0, self.take())


def audio_withheld(deleted):
    """No audio reaches qztap until it deletes a stream, which then goes into `deleted`."""
    def rule(packet, from_client):
        deleted.extend([packet] if from_client and packet.command == DELETE_RECORD_STREAM else [])
        withheld = packet.channel != CONTROL and not from_client and not deleted
        return [] if withheld else onward(packet, from_client)
    return on_own_connection(rule)


def starve_start_thread(pid):
    """Keeps qztap's start-up thread (its first after the main one) off the CPU: in the
    idle class, on one CPU that all of qztap shares with a busy loop."""
    cpu = min(os.sched_getaffinity(0))
    threads = sorted(int(tid) for tid in os.listdir(f"/proc/{pid}/task"))
    for tid in threads:
        os.sched_setaffinity(tid, {cpu})
    os.sched_setscheduler(threads[1], os.SCHED_IDLE, os.sched_param(0))
    spinner = subprocess.Popen([sys.executable, "-c", "print(flush=True)\nwhile True: pass"],
                               stdout=subprocess.PIPE, preexec_fn=lambda: die_with_parent() or
                               os.sched_setaffinity(0, {cpu}))
    spinner.stdout.readline()  # spinning
    return spinner


def clock_lag(tap, seconds=0.5):
    """How far qztap's sample count runs behind the wall clock, up to a constant: the least
    over `seconds`, taken just after a write has arrived."""
    least, end = float("inf"), time.monotonic() + seconds
    while time.monotonic() < end:
        least = min(least, time.monotonic() - len(tap.out) / BYTES_PER_SECOND)
        time.sleep(0.003)
    return least


def own_memory_kib(pid):
    """Resident memory without the server's shared pool, whose pages are the server's."""
    with open(f"/proc/{pid}/status") as status:
        kib = dict((line.split(":")[0], int(line.split()[1])) for line in status
                   if line.startswith(("VmRSS", "RssShmem")))
    return kib["VmRSS"] - kib["RssShmem"]


class Cases:
    """The cases; mixed into one TestCase per server kind."""

    server_class = None

    @classmethod
    def setUpClass(cls):
        if not os.access(BINARY, os.X_OK):
            raise AssertionError(f"QZTAP_BINARY={BINARY!r} is not an executable qztap")
        # A qztap with a non-blocking stdout runs beside the other cases for the reader
        # stall and the memory check, which waits for the warm-up reading.
        cls.long_server = cls.server_class().start()
        cls.addClassCleanup(cls.long_server.stop)
        cls.long_relay = Relay(cls.long_server)
        cls.long_tap = Tap(cls.long_relay.env, preexec_fn=lambda: fcntl.fcntl(
            1, fcntl.F_SETFL, fcntl.fcntl(1, fcntl.F_GETFL) | os.O_NONBLOCK))
        cls.addClassCleanup(cls.long_tap.stop)
        cls.long_tap.wait_started()
        cls.warm_memory = []
        pid = cls.long_tap.process.pid
        threading.Thread(target=lambda: time.sleep(WARM_UP_SECONDS) or
                         cls.warm_memory.append(own_memory_kib(pid)), daemon=True).start()

    def start_server(self, sinks=("alpha",)):
        server = self.server_class()
        self.addCleanup(server.stop)
        return server.start(sinks=sinks)

    def start_tap(self, env):
        tap = Tap(env)
        self.addCleanup(tap.stop)
        tap.wait_started()
        return tap

    def assert_signals(self, output, segments):
        """The played signals are where `locate` found them, in order, zeros around them."""
        self.assertNotIn(None, segments, "a played signal is not in the output bit-exact")
        self.assertEqual(segments, sorted(segments), "signals arrived out of order")
        self.assertEqual(stray_samples(output, segments), 0,
                         "the output holds audio that was never played on a recorded sink")

    def test_capture_is_bit_exact_until_the_server_is_killed(self):
        """Also with the reader stalled across the kill, longer than the server would
        keep audio for it: no audio captured before the kill is lost."""
        server = self.start_server()
        relay = Relay(server)
        tap = self.start_tap(relay.env)
        first, second, cut_short = noise(1, 0.6), noise(2, 0.4, amplitude=0.9), noise(3, 20.0)
        server.play("alpha", first)
        server.play("alpha", second)
        tap.reading.clear()
        self.addCleanup(server.play("alpha", cut_short, wait=False).kill)
        time.sleep(15)
        server.pulse_server_process().kill()
        tap.reading.set()
        self.assertEqual(tap.wait_exit(), (5, START_LINE + b"STREAM_STOPPED: " + CONNECTION_LOST))
        output = bytes(tap.out)
        segments = [locate(output, relay.produced(first, within=0)),
                    locate(output, relay.produced(second, within=0)),
                    locate(output, relay.produced(cut_short, within=0), whole=False)]
        self.assert_signals(output, segments)
        self.assertEqual(sum(segments[-1]), len(output), "the output goes on after the signal")
        self.assertGreater(segments[-1][1], 13 * BYTES_PER_SECOND, "audio held back was lost")

    def test_played_audio_reaches_stdout_at_once(self):
        """On a sink that renders ahead, as real devices do, the server would hand audio
        over in blocks of seconds; qztap's buffers come about 21 ms apart."""
        server = self.start_server(sinks=())
        server.add_sink("alpha", renders_ahead=True)
        server.set_default_sink("alpha")
        tap = self.start_tap(server.env)
        played, sizes = time.monotonic(), []
        self.addCleanup(server.play("alpha", noise(4, 3.0), wait=False).kill)
        wait_until(lambda: bytes(tap.out[-4096:]).strip(b"\0"), 10, "the played signal")
        self.assertLess(time.monotonic() - played, 0.5, "played audio reaches stdout late")
        for _ in range(200):
            sizes.append(len(tap.out))
            time.sleep(0.01)
        pauses = [len(list(run)) for _, run in itertools.groupby(sizes)]
        self.assertLess(max(pauses) * 0.01, 0.5, "qztap's output comes in long pauses")

    def test_fatal_conditions(self):
        server = self.start_server()
        # The server gone when qztap sends request 1 (the handshake), 4 (the list of
        # sinks), 5 (the sink it records), 6 (its record stream) or 7 (events, once
        # started), with its start-up thread starved: a stop must still not be told
        # before the start. Silence may have come before the cut once the stream is there.
        for request, status, line in ((1, 2, b"PERMISSION_OR_CONTENT_ERROR: "),
                                      (4, 2, b"PERMISSION_OR_CONTENT_ERROR: "),
                                      (5, 4, b"START_ERROR: "), (6, 4, b"START_ERROR: "),
                                      (7, 5, START_LINE + b"STREAM_STOPPED: ")):
            with self.subTest(cut_at_request=request):
                spinners = []
                result = run_to_exit(hanging_up_at(server, request, lambda pid: spinners.append(
                    starve_start_thread(pid))))
                for spinner in spinners:
                    spinner.kill()
                    spinner.communicate()
                self.assertEqual(result[:2], (status, line + CONNECTION_LOST))
                self.assertEqual(result[2].strip(b"\0"), b"")
        # The first buffer may be written, and fail, before the start line is.
        with self.subTest("stdout closed"):
            status, stderr, _ = run_to_exit(server.env, preexec_fn=lambda: os.close(1))
            self.assertEqual((status, stderr.removeprefix(START_LINE)),
                             (6, b"OUTPUT_ERROR: Bad file descriptor\n"))
        with self.subTest("stdout a full device"), open("/dev/full", "wb") as full:
            status, stderr, _ = run_to_exit(server.env, stdout=full)
            self.assertEqual((status, stderr.removeprefix(START_LINE)),
                             (6, b"OUTPUT_ERROR: No space left on device\n"))
        for parent, sigpipe in (
                ("ignores", lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN)),
                ("blocks", lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGPIPE}))):
            with self.subTest(f"reader leaving in silence, the parent {parent} SIGPIPE"):
                self.check_reader_leaving_in_silence(server, sigpipe)
        with self.subTest("no sinks"):
            server.remove_sink("alpha")
            self.assertEqual(run_to_exit(server.env), (3, b"NO_DISPLAY\n", b""))
        with self.subTest("no libpulse"), tempfile.TemporaryDirectory() as folder:
            command = without_libpulse(folder)
            self.assertEqual(run_to_exit(server.env, command), (2, b"PERMISSION_OR_CONTENT_ERROR: "
                             b"libpulse.so.0: cannot open shared object file: No such file or "
                             b"directory\n", b""))
            # A libpulse.so.0 without libpulse's functions.
            subprocess.run(["c++", "-shared", "-x", "c++", "/dev/null", "-o",
                            f"{folder}/libpulse.so.0"], check=True)
            status, stderr, output = run_to_exit(server.env, command)
            self.assertEqual((status, output), (2, b""))
            self.assertRegex(stderr, rb"\APERMISSION_OR_CONTENT_ERROR: \S+/libpulse\.so\.0: "
                             rb"undefined symbol: pa_\w+\n\Z")
        with self.subTest("no server"), socket.socket(socket.AF_UNIX) as stale:
            stale.bind(f"{server.base}/stale")  # as a dead server leaves its socket behind
            for address in ("/nothing", stale.getsockname()):
                self.assertEqual(run_to_exit(dict(server.env, PULSE_SERVER="unix:" + address)),
                                 (2, b"PERMISSION_OR_CONTENT_ERROR: Connection refused\n", b""))

    def check_reader_leaving_in_silence(self, server, sigpipe):
        process = subprocess.Popen(COMMAND, env=server.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=sigpipe)
        self.addCleanup(process.kill)
        output = process.stdout.fileno()
        self.assertTrue(select.select([output], [], [], 10)[0] and os.read(output, 65536))
        # A frozen server sends nothing: qztap has nothing to write and can learn of
        # its reader leaving only by watching its output.
        frozen = server.pulse_server_process()
        frozen.send_signal(signal.SIGSTOP)
        try:
            while select.select([output], [], [], 0.5)[0] and os.read(output, 65536):
                pass
            process.stdout.close()
            self.assertEqual(process.wait(timeout=10), -signal.SIGPIPE)
            self.assertEqual(process.stderr.read(), START_LINE)
        finally:
            frozen.send_signal(signal.SIGCONT)
            process.stderr.close()

    def test_follows_the_default_sink_never_a_microphone(self):
        """Recording moves to the sink left when the recorded one is unplugged, to a new
        default sink, and to a sink plugged in after a time without any, while the
        default source, a microphone playing a signal of its own, is never recorded."""
        server = self.start_server(sinks=("alpha", "beta"))
        server.add_fake_microphone("microphone", noise(99, 1.0))
        relay = Relay(server)
        tap = self.start_tap(relay.env)
        played = []

        def record_and_play(sink):
            server.wait_recording_from(f"{sink}.monitor")
            server.play(sink, noise(10 + len(played), 0.6))
            played.append(relay.produced(noise(10 + len(played), 0.6)))
            tap.wait_for(played[-1])
        record_and_play("alpha")
        server.remove_sink("alpha")  # the recorded default unplugged: beta is the default
        record_and_play("beta")
        server.add_sink("gamma")
        server.set_default_sink("gamma")
        record_and_play("gamma")
        server.remove_sink("beta")
        server.remove_sink("gamma")
        server.wait_recording_from()  # a time without sinks
        server.add_sink("delta")
        record_and_play("delta")
        output = bytes(tap.out)
        self.assert_signals(output, [locate(output, stereo) for stereo in played])
        self.assertIsNone(tap.process.poll())
        self.assertEqual(bytes(tap.err), START_LINE)

    def test_follows_the_default_whatever_the_server_tells_it(self):
        """Each move made while the server, through a relay on qztap's own connection,
        does what servers were seen to do: tell of a stream's kill only after qztap has
        asked for the next one (the old one's channel handed on to the new), name a sink
        that is gone as the default, never tell of a new default, never answer a stream's
        creation or refuse it, or stop sending a stream's audio."""
        server = self.start_server(sinks=("alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta"))
        relay = Relay(server)
        tap = self.start_tap(relay.env)
        monitors = lambda: {f"{sink}.monitor" for sink in server.sink_modules}  # noqa: E731
        # Each rule is made for the sink recorded when its case begins.
        for what, rule_for, move, within in (
                ("kill told late", lambda recorded: HeldBack(relay).rule, "unplug", 1),
                ("default named gone", default_named, "unplug", 1),
                ("new default never told", default_named, "choose", 1),
                ("creation unanswered", lambda recorded: creation_failing(lambda request: []),
                 "choose", 3),
                ("creation refused", lambda recorded: creation_failing(lambda request: [
                    error_reply(request.tag, INPUT_OUTPUT_ERROR)]), "choose", 1),
                # Some sink rather than none, where no connection's default names one.
                ("no default named", lambda recorded: default_named(recorded, everywhere=True),
                 "unplug", 1)):
            with self.subTest(what):
                recorded = server.listed_default()
                relay.rule = rule_for(recorded)
                if move == "unplug":
                    server.remove_sink(recorded)
                else:
                    server.set_default_sink(next(s for s in server.sink_modules if s != recorded))
                default = server.listed_default(other_than=recorded)
                if what == "no default named":
                    wait_until(lambda: len(found := server.recorded_sources()) == 1 and
                               found[0] in monitors(), within, "a stream on a sink")
                else:
                    server.wait_recording_from(f"{default}.monitor", within=within)
                relay.rule = passing
        with self.subTest("answer held across a kill"):
            # Asked for the next stream while the first has not been answered, qztap
            # waits: a stream deleted once answered may have handed its channel on.
            late, recorded = HeldBack(relay, first_answer=True), server.listed_default()
            relay.rule = late.rule
            chosen = next(sink for sink in server.sink_modules if sink != recorded)
            server.set_default_sink(chosen)
            wait_until(late.holding.is_set, 1, "qztap's request for a stream")
            server.remove_sink(chosen)
            time.sleep(0.5)
            late.release()
            server.wait_recording_from(server.listed_default() + ".monitor")
            relay.rule = passing
        with self.subTest("audio withheld"):  # the stream that went quiet is replaced
            deleted = []
            relay.rule = audio_withheld(deleted)
            # Zeros keep the count meanwhile; what plays once the stream is replaced arrives.
            wait_until(lambda: deleted, 3, "the quiet stream deleted")
            played = noise(30, 0.5)
            server.play(server.listed_default(), played)
            tap.wait_for(relay.produced(played))
        self.assertEqual((tap.process.poll(), bytes(tap.err)), (None, START_LINE))

    def test_a_suspended_sink_is_a_silence_the_count_keeps(self):
        """The sink suspended for 5 s, as a laptop's sleep or a user suspends every sink:
        zeros keep the count in step with the clock, then what plays after is exact."""
        server = self.start_server()
        relay = Relay(server)
        tap = self.start_tap(relay.env)
        before = clock_lag(tap)
        server.pactl("suspend-sink", "alpha", "1")
        time.sleep(0.5)
        # PipeWire's pulse server takes the request and keeps its null sink running.
        state = server.pactl("list", "short", "sinks").split()[-1]
        print(f"\n{self.server_class.kind}: the sink was {state} while asked to suspend",
              file=sys.stderr)
        time.sleep(4.5)
        server.pactl("suspend-sink", "alpha", "0")
        time.sleep(1)
        self.assertAlmostEqual(clock_lag(tap), before, delta=0.05,
                               msg="the sample count lost or gained time over the suspend")
        played = noise(7, 0.5)
        server.play("alpha", played)
        tap.wait_for(relay.produced(played))
        self.assert_signals(bytes(tap.out), [locate(bytes(tap.out), relay.produced(played))])
        self.assertEqual((tap.process.poll(), bytes(tap.err)), (None, START_LINE))

    def test_stalled_reader_loses_nothing_and_memory_stays_flat(self):
        """On the long run, which the other cases give time to warm up whatever their order."""
        tap, server = self.long_tap, self.long_server
        wait_until(lambda: self.warm_memory, WARM_UP_SECONDS + 10, "the warm-up reading")
        # Longer than the stall and the second of audio the pipe holds, together.
        played = noise(5, STALL_SECONDS + 3)
        player = server.play("alpha", played, wait=False)
        self.addCleanup(player.kill)
        wait_until(lambda: bytes(tap.out).strip(b"\0"), 10, "the signal to start arriving")
        tap.reading.clear()
        time.sleep(STALL_SECONDS)
        tap.reading.set()
        produced = self.long_relay.produced(played)
        tap.wait_for(produced)
        self.assert_signals(bytes(tap.out), [locate(bytes(tap.out), produced)])
        if not os.environ.get("QZTAP_SANITIZER"):  # whose allocators hold freed memory back
            self.assertLessEqual(own_memory_kib(tap.process.pid),
                                 self.warm_memory[0] + GROWTH_LIMIT_KIB, "qztap's memory grows")
        self.assertEqual(bytes(tap.err), START_LINE)


class PulseAudioTests(Cases, unittest.TestCase):
    server_class = PulseAudioServer


class PipeWireTests(Cases, unittest.TestCase):
    server_class = PipeWireServer


if __name__ == "__main__":
    unittest.main()
