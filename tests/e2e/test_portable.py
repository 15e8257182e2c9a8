"""The portable Linux binaries (`scripts/release.sh linux DIST`) where they are meant to
run, from this directory:

    QZTAP_BINARY=DIST/linux-arm64/qztap QZTAP_RUNNER="qemu-aarch64 -L TREES/arm64" \\
        python3 -m unittest -v test_portable.Arm64Tests
    QZTAP_BINARY=DIST/linux-x64/qztap \\
        QZTAP_RUNNER="../../scripts/chroot-run.sh TREES/x64 --without libpulse-dev" \\
        python3 -m unittest -v test_portable.Debian11Tests

TREES being what scripts/bullseye-sysroots.sh builds: the arm64 binary under qemu with
Debian 11's arm64 libraries, recording from a private server of this machine; the x64
one in a Debian 11 chroot (glibc 2.31) as a user's system has it, recording from that
system's own PulseAudio 14.2.
"""

import os
import subprocess
import unittest

from qztap_process import BINARY, COMMAND, Tap
from soundserver import START_LINE, PulseAudioServer, noise

RUNNER = COMMAND[:-1]


class ChrootPulseAudioServer(PulseAudioServer):
    """The chroot's own PulseAudio, started in it by the runner; the socket is in /tmp,
    which the chroot shares."""

    def spawn(self, name, argv):
        super().spawn(name, [*RUNNER, *argv])

    def start(self, sinks=("alpha",)):
        super().start(sinks)
        if "Server Version: 14.2\n" not in self.pactl("info") + "\n":
            self.fail("the server is not Debian 11's PulseAudio 14.2")
        return self


class Cases:
    server_class = None

    def test_capture_is_bit_exact(self):
        if not os.access(BINARY, os.X_OK) or not RUNNER:
            raise AssertionError(f"QZTAP_BINARY={BINARY!r} and QZTAP_RUNNER must name a portable "
                                 "qztap and what runs it")
        server = self.server_class()
        self.addCleanup(server.stop)
        server.start()
        tap = Tap(server.env)
        self.addCleanup(tap.stop)
        tap.wait_started()
        played = noise(21, 1.0)
        server.play("alpha", played)
        tap.wait_for(played)
        self.assertEqual((tap.process.poll(), bytes(tap.err)), (None, START_LINE))


class Arm64Tests(Cases, unittest.TestCase):
    server_class = PulseAudioServer


class Debian11Tests(Cases, unittest.TestCase):
    server_class = ChrootPulseAudioServer

    def test_without_libpulse(self):
        """One status line, exit 2, on a system without libpulse0 installed."""
        server = self.server_class()
        self.addCleanup(server.stop)
        server.start()
        result = subprocess.run([*RUNNER, "--without", "libpulse0", BINARY], env=server.env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=15)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertRegex(result.stderr,
                         rb"\APERMISSION_OR_CONTENT_ERROR: [^\n]*libpulse\.so\.0[^\n]*\n\Z")
        self.assertEqual(result.stdout, b"")


if __name__ == "__main__":
    unittest.main()
