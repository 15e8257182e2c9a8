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
system's own PulseAudio 14.2. Debian11WheelTests, with QZTAP_WHEELS naming the wheels
`scripts/release.sh packages` made, installs the x64 one there and captures through it.
"""

import os
import shutil
import subprocess
import unittest

from qztap_process import BINARY, COMMAND, Tap
from soundserver import START_LINE, PulseAudioServer, noise

RUNNER = COMMAND[:-1]
WHEELS = os.environ.get("QZTAP_WHEELS", "")
# Captures through the package, writing its samples out and its status lines as qztap does.
CAPTURE = """import sys, qztap
with qztap.start(on_status=lambda line: print(line, file=sys.stderr, flush=True)) as tap:
    for samples in tap:
        sys.stdout.buffer.write(samples.tobytes())
        sys.stdout.flush()
"""


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


def assert_captures(test, server, command):
    """`command` starts, then captures what plays on the server's sink bit-exact, with only
    the start line on standard error."""
    tap = Tap(server.env, command=command)
    test.addCleanup(tap.stop)
    tap.wait_started()
    played = noise(21, 1.0)
    server.play("alpha", played)
    tap.wait_for(played)
    test.assertEqual((tap.process.poll(), bytes(tap.err)), (None, START_LINE))


class Cases:
    server_class = None

    def test_capture_is_bit_exact(self):
        if not os.access(BINARY, os.X_OK) or not RUNNER:
            raise AssertionError(f"QZTAP_BINARY={BINARY!r} and QZTAP_RUNNER must name a portable "
                                 "qztap and what runs it")
        server = self.server_class()
        self.addCleanup(server.stop)
        server.start()
        assert_captures(self, server, COMMAND)


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



class Debian11WheelTests(unittest.TestCase):
    def test_the_wheel_captures_through_its_own_qztap(self):
        """Installed by Debian 11's own Python 3.9 and pip, which must take it for this
        system (manylinux_2_31) over the pure wheel beside it."""
        if not os.path.isdir(WHEELS) or not RUNNER:
            raise AssertionError(f"QZTAP_WHEELS={WHEELS!r} and QZTAP_RUNNER must name the wheels "
                                 "and the Debian 11 chroot's runner")
        server = ChrootPulseAudioServer()
        self.addCleanup(server.stop)
        server.start()
        wheels, venv = shutil.copytree(WHEELS, f"{server.base}/wheels"), f"{server.base}/venv"
        subprocess.run([*RUNNER, "sh", "-c", f"python3 -m venv {venv} && {venv}/bin/pip install "
                        f"--quiet --no-index --find-links {wheels} qztap"], check=True, timeout=120)
        in_venv = [*RUNNER, "sh", "-c", f'exec {venv}/bin/python -c "$0"', CAPTURE]
        assert_captures(self, server, in_venv)


if __name__ == "__main__":
    unittest.main()
