"""A qztap under test: the binary the tests run (QZTAP_BINARY, through QZTAP_RUNNER if set,
as Wine runs qztap.exe), run to its end or kept running while threads collect its output."""

import os
import re
import shlex
import shutil
import subprocess
import threading

from soundserver import START_LINE, locate, wait_until

BINARY = os.environ.get("QZTAP_BINARY", "")
# What runs the binary, if not the system itself: Wine in a chroot for qztap.exe.
COMMAND = [*shlex.split(os.environ.get("QZTAP_RUNNER", "")), BINARY]


class Tap:
    """A running qztap; threads collect its output, whose reading can pause."""

    def __init__(self, env, preexec_fn=None, command=COMMAND):
        self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=preexec_fn)
        self.out, self.err, self.reading = bytearray(), bytearray(), threading.Event()
        self.reading.set()
        self.threads = [threading.Thread(target=self._drain, args=pair, daemon=True) for pair
                        in ((self.process.stdout, self.out), (self.process.stderr, self.err))]
        for thread in self.threads:
            thread.start()

    def _drain(self, pipe, into):
        while (into is self.err or self.reading.wait()) and (data := os.read(pipe.fileno(), 65536)):
            into += data

    def wait_started(self):
        wait_until(lambda: b"\n" in self.err or self.process.poll() is not None, 10,
                   "qztap's first status line")
        if bytes(self.err) != START_LINE:
            raise AssertionError(f"qztap did not start: {bytes(self.err)!r}")
        # A null sink may take a moment to tick once recorded: audio played before is lost.
        wait_until(lambda: len(self.out) >= 4096, 10, "qztap's first samples")

    def wait_for(self, stereo, whole=True):
        return wait_until(lambda: locate(bytes(self.out), stereo, whole), 10,
                          "the played signal to appear bit-exact in qztap's output")

    def wait_exit(self):
        """(exit status, status lines) once qztap has ended."""
        self.process.wait(timeout=15)
        for thread in self.threads:
            thread.join(timeout=5)
        return self.process.returncode, bytes(self.err)

    def stop(self):
        self.reading.set()
        self.process.kill()
        self.wait_exit()
        self.process.stdout.close()
        self.process.stderr.close()


def run_to_exit(env, command=COMMAND, **options):
    """(exit status, status lines, output) of a qztap run to its end."""
    options.setdefault("stdout", subprocess.PIPE)
    result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, timeout=15, **options)
    return result.returncode, result.stderr, result.stdout


def without_libpulse(folder):
    """A command that runs qztap as on a system without libpulse: in a mount namespace
    where the folder of libpulse.so.0 is empty, through a copy of the loader that finds
    the libraries qztap names, but libpulse, copied to `folder`."""
    listed = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True, check=True)
    hidden = os.path.dirname(re.search(r"\slibpulse\.so\.0 .*=> (\S+)", listed.stdout)[1])
    needed = subprocess.run(["ldd", BINARY], capture_output=True, text=True, check=True)
    for library in re.findall(r"(/\S+) \(0x", needed.stdout):
        if not os.path.basename(library).startswith("libpulse"):
            shutil.copy(library, folder)
    loader = next(name for name in os.listdir(folder) if name.startswith("ld-"))
    return ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs none "$0" && exec "$@"', hidden,
            f"{folder}/{loader}", "--library-path", folder, BINARY]
