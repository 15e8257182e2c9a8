"""qztap against real sound servers, each test on a private server of its own.

The binary comes from $QZTAP_BINARY (CTest passes it); run from this directory:

    QZTAP_BINARY=build/qztap python3 -m unittest -v test_qztap.PulseAudioTests

Signals are seeded noise, so a played segment can only match qztap's output at
one place, and silence from a null sink is exact zeros: whatever is neither zero
nor a segment we played is audio qztap should not have recorded.
"""

import os
import select
import signal
import socket
import subprocess
import time
import unittest

from soundserver import (START_LINE, PipeWireServer, PulseAudioServer, Tap, locate, noise,
                         stray_samples, wait_until)

BINARY = os.environ.get("QZTAP_BINARY", "")


# What a parent may leave qztap with: SIGPIPE as default, ignored, or blocked.
PARENT_SIGPIPE = {
    "default": None,
    "ignored": lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN),
    "blocked": lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGPIPE}),
}


class QztapCases:
    """The cases; mixed into one TestCase per server kind."""

    server_class = None

    @classmethod
    def setUpClass(cls):
        if not os.access(BINARY, os.X_OK):
            raise AssertionError(f"QZTAP_BINARY={BINARY!r} is not an executable qztap")

    def start_server(self, sinks=("alpha",)):
        server = self.server_class()
        self.addCleanup(server.stop)
        server.start(sinks=sinks)
        return server

    def start_tap(self, server):
        tap = Tap(BINARY, server.env)
        self.addCleanup(tap.stop)
        tap.wait_started()
        return tap

    def run_to_exit(self, env, timeout=15):
        result = subprocess.run([BINARY], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=timeout)
        return result.returncode, result.stderr, result.stdout

    def assert_segments(self, tap, *signals):
        """Every signal arrived whole and bit-exact, in order, and nothing else did."""
        output = tap.output()
        segments = [locate(output, stereo) for stereo in signals]
        for number, segment in enumerate(segments):
            self.assertIsNotNone(segment, f"signal {number} is not in the output bit-exact")
        offsets = [offset for offset, _ in segments]
        self.assertEqual(offsets, sorted(offsets), "signals arrived out of order")
        self.assertEqual(stray_samples(output, segments), 0,
                         "output holds audio that was never played on a recorded sink")

    def assert_still_capturing(self, tap):
        self.assertIsNone(tap.process.poll(), f"qztap ended: stderr {tap.stderr()!r}")
        self.assertEqual(tap.stderr(), START_LINE)

    # -- start-up and the samples ------------------------------------------------

    def test_start_line_then_exact_decimation_of_the_mono_mix(self):
        server = self.start_server()
        tap = self.start_tap(server)
        tap.wait_streaming()
        first, second = noise(1, 0.6), noise(2, 0.4, amplitude=0.9)
        server.play("alpha", first)
        server.play("alpha", second)
        tap.wait_for_signal(first)
        tap.wait_for_signal(second)
        self.assert_segments(tap, first, second)
        tap.stop()
        self.assertEqual(tap.stderr(), START_LINE)

    # -- fatal conditions ----------------------------------------------------------

    def test_no_server_to_connect_to(self):
        server = self.server_class()  # directories and environment only, never started
        self.addCleanup(server.stop)
        with self.subTest("no socket"):
            status, stderr, stdout = self.run_to_exit(server.env)
            self.assertEqual((status, stderr, stdout),
                             (2, b"PERMISSION_OR_CONTENT_ERROR: Connection refused\n", b""))
        with self.subTest("socket left behind by a dead server"):
            stale = socket.socket(socket.AF_UNIX)
            stale.bind(server.socket)
            stale.close()
            status, stderr, stdout = self.run_to_exit(server.env)
            self.assertEqual((status, stderr, stdout),
                             (2, b"PERMISSION_OR_CONTENT_ERROR: Connection refused\n", b""))

    def test_server_without_sinks(self):
        server = self.start_server(sinks=())
        self.assertEqual(server.sinks(), [], "the server was meant to have no sinks")
        self.assertEqual(self.run_to_exit(server.env), (3, b"NO_DISPLAY\n", b""))

    def test_server_going_away_while_capturing(self):
        for how in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(signal=how.name):
                server = self.start_server()
                tap = self.start_tap(server)
                tap.wait_streaming()
                server.pulse_server_process().send_signal(how)
                self.assertEqual(tap.wait_exit(), 5, f"stderr {tap.stderr()!r}")
                lines = tap.stderr().decode().splitlines()
                self.assertEqual(lines[0] + "\n", START_LINE.decode())
                self.assertEqual(len(lines), 2, lines)
                self.assertRegex(lines[-1], r"^STREAM_STOPPED: \S")

    # -- following the default sink ----------------------------------------------

    def start_following_setup(self):
        """Two sinks, alpha the default, and a fake microphone as the default source
        carrying a signal of its own that must never reach the output."""
        server = self.start_server(sinks=("alpha", "beta"))
        microphone = noise(99, 1.0)
        server.add_fake_microphone("fake_mic", microphone.tobytes())
        heard = server.record("fake_mic", 0.5)
        self.assertNotEqual(heard.count(0), len(heard), "the fake microphone is silent")
        tap = self.start_tap(server)
        server.wait_recording_from("alpha.monitor")
        tap.wait_streaming()
        before = noise(3, 0.6)
        server.play("alpha", before)
        tap.wait_for_signal(before)
        return server, tap, before

    def test_follows_a_new_default_sink(self):
        server, tap, before = self.start_following_setup()
        server.set_default_sink("beta")
        server.wait_recording_from("beta.monitor")
        after = noise(4, 0.6)
        server.play("beta", after)
        tap.wait_for_signal(after)
        self.assert_segments(tap, before, after)
        self.assert_still_capturing(tap)

    def test_follows_the_default_when_the_recorded_sink_is_unplugged(self):
        server, tap, before = self.start_following_setup()
        server.remove_sink("alpha")
        wait_until(lambda: server.default_sink() == "beta", 10, "beta to become the default")
        server.wait_recording_from("beta.monitor")
        after = noise(4, 0.6)
        server.play("beta", after)
        tap.wait_for_signal(after)
        self.assert_segments(tap, before, after)
        self.assert_still_capturing(tap)

    def test_keeps_running_through_a_time_without_sinks(self):
        server = self.start_server()
        tap = self.start_tap(server)
        tap.wait_streaming()
        server.remove_sink("alpha")
        wait_until(lambda: server.recorded_sources() == [], 10, "the record stream to end")
        server.add_sink("gamma")
        server.wait_recording_from("gamma.monitor")
        played = noise(7, 0.6)
        server.play("gamma", played)
        tap.wait_for_signal(played)
        self.assert_segments(tap, played)
        self.assert_still_capturing(tap)

    # -- the reader ----------------------------------------------------------------

    def test_reader_stalling_two_seconds_loses_nothing(self):
        server = self.start_server()
        tap = self.start_tap(server)
        tap.wait_streaming()
        # Longer than the stall plus what a pipe buffer holds at 16 kHz (about 1 s).
        played = noise(5, 3.5)
        playback = server.start_playing("alpha", played)
        self.addCleanup(playback.stop)
        wait_until(lambda: tap.output().strip(b"\0"), 10, "the signal to start arriving")
        tap.pause_reading()
        time.sleep(2.0)
        tap.resume_reading()
        playback.finish()
        tap.wait_for_signal(played)
        self.assert_segments(tap, played)
        self.assert_still_capturing(tap)

    def test_reader_leaving_ends_qztap_by_sigpipe(self):
        server = self.start_server()
        looped = noise(6, 1.0).tobytes() * 30
        for playing in (True, False):
            for parent_sigpipe in PARENT_SIGPIPE:
                with self.subTest(playing=playing, parent_sigpipe=parent_sigpipe):
                    self.check_reader_leaving(server, looped, playing, parent_sigpipe)

    def check_reader_leaving(self, server, looped, playing, parent_sigpipe):
        process = subprocess.Popen([BINARY], env=server.env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   preexec_fn=PARENT_SIGPIPE[parent_sigpipe])
        self.addCleanup(lambda: process.poll() is None and process.kill())
        frozen = None
        if playing:
            playback = server.start_playing("alpha", looped)
            self.addCleanup(playback.stop)
            self.assertTrue(read_until(process.stdout, lambda data: data.strip(b"\0"), 10),
                            f"no audio arrived (qztap exit status {process.poll()})")
        else:
            self.assertTrue(read_until(process.stdout, lambda data: len(data) > 0, 10),
                            f"no samples arrived (qztap exit status {process.poll()})")
            # A frozen server sends nothing, so qztap has nothing to write and can
            # only learn of the reader leaving by watching its output.
            frozen = server.pulse_server_process()
            frozen.send_signal(signal.SIGSTOP)
            self.assertTrue(read_until_quiet(process.stdout, quiet=0.5, timeout=10),
                            "samples kept coming from a frozen server")
        process.stdout.close()
        try:
            status = process.wait(timeout=15)
        except subprocess.TimeoutExpired:
            self.fail("qztap still running 15 s after its reader left")
        finally:
            if frozen is not None:
                frozen.send_signal(signal.SIGCONT)
            if playing:
                playback.stop()
        self.assertEqual(status, -signal.SIGPIPE)
        self.assertEqual(process.stderr.read(), START_LINE)
        process.stderr.close()

    # -- command line ----------------------------------------------------------------

    def test_help_and_version_go_to_stdout(self):
        server = self.server_class()  # never started: neither needs a server
        self.addCleanup(server.stop)
        for argument, expected in (("--help", b"Usage: qztap\n"), ("--version", b"qztap ")):
            with self.subTest(argument):
                result = subprocess.run([BINARY, argument], env=server.env, capture_output=True,
                                        timeout=10)
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                self.assertTrue(result.stdout.startswith(expected), result.stdout)
                self.assertTrue(result.stdout.endswith(b"\n"))


def read_until(pipe, condition, timeout):
    """Reads `pipe` until `condition(everything read)` holds; False on timeout or EOF."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while not condition(data):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([pipe], [], [], left)[0]:
            return False
        chunk = os.read(pipe.fileno(), 65536)
        if not chunk:
            return False
        data.extend(chunk)
    return True


def read_until_quiet(pipe, quiet, timeout):
    """Drains `pipe` until nothing has come for `quiet` seconds; False if never quiet."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not select.select([pipe], [], [], quiet)[0]:
            return True
        if not os.read(pipe.fileno(), 65536):
            return False
    return False


class PulseAudioTests(QztapCases, unittest.TestCase):
    server_class = PulseAudioServer


class PipeWireTests(QztapCases, unittest.TestCase):
    server_class = PipeWireServer


if __name__ == "__main__":
    unittest.main()
