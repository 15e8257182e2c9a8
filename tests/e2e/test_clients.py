"""A client package as installed, with the qztap it bundles, against private PulseAudio
servers, through the package's probe (clients/*/test/probe.*), as scripts/test-package.sh
runs it:

    QZTAP_PROBE='node probe.mjs' QZTAP_BUNDLED=node_modules/@qztap/linux-x64/qztap \
      python3 -m unittest -v test_clients
"""

import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import threading
import unittest
from pathlib import Path

from soundserver import START_LINE, PulseAudioServer, locate, noise, wait_until

PROBE, BUNDLED = shlex.split(os.environ.get("QZTAP_PROBE", "")), os.environ.get("QZTAP_BUNDLED", "")
PROBE[:1] = map(shutil.which, PROBE[:1])  # for a PATH without it
START = START_LINE.decode().rstrip("\n")


def alive(pid):
    """Whether the process runs, a zombie not counting (the orphan's reaper may be slow)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in "ZX"
    except FileNotFoundError:
        return False


class Probe:
    """The probe running a tap; threads collect its samples and its report lines."""

    def __init__(self, env, *args):
        self.process = subprocess.Popen([*PROBE, *args], env=env, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out, self.lines = bytearray(), []
        self.threads = [threading.Thread(target=target, daemon=True)
                        for target in (self._read_samples, self._read_lines)]
        for thread in self.threads:
            thread.start()

    def _read_samples(self):
        while data := os.read(self.process.stdout.fileno(), 65536):
            self.out += data

    def _read_lines(self):
        for line in self.process.stderr:
            self.lines.append(line.decode().rstrip("\n").split("\t"))

    def line(self, *start):
        """The first report line whose fields begin with `start`, once there is one."""
        return wait_until(lambda: next((f for f in self.lines if f[:len(start)] == [*start]), None),
                          15, lambda: f"{start} from the probe, which said {self.lines}")

    def fields(self, kind):
        return [fields[1:] for fields in self.lines if fields[0] == kind]

    def wait_for(self, stereo):
        return wait_until(lambda: locate(bytes(self.out), stereo), 10,
                          "the played signal to arrive bit-exact")

    def end(self, stop=False):
        """The end line, once the probe has exited; if `stop`, closing its input first
        stops the tap."""
        if stop:
            self.process.stdin.close()
        self.process.wait(timeout=20)
        for thread in self.threads:
            thread.join()
        if self.fields("bad-chunk"):
            raise AssertionError(f"chunks of other sizes: {self.fields('bad-chunk')}")
        return self.line("end")

    def kill(self):
        self.process.kill()
        self.process.wait()
        for thread in self.threads:
            thread.join(timeout=5)
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            pipe.close()


class ClientTests(unittest.TestCase):
    def start_server(self, sinks=("alpha",)):
        server = PulseAudioServer()
        self.addCleanup(server.stop)
        return server.start(sinks=sinks)

    def probe(self, env, *args, binary=None):
        probe = Probe(env, *args, *(("--binary", binary) if binary else ()))
        self.addCleanup(probe.kill)
        return probe

    def fake_qztap(self, script, folder=None):
        """A stand-in for qztap: a shell script named qztap in `folder` (else a new one),
        which may count its runs in $0.runs."""
        folder = folder or tempfile.mkdtemp()
        os.makedirs(folder, exist_ok=True)
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, "qztap")
        with open(path, "w") as f:
            f.write("#!/bin/sh\necho >> \"$0.runs\"\n" + script)
        os.chmod(path, 0o755)
        return path

    def test_capture_restart_and_stop(self):
        """A played signal arrives bit-exact, in chunks of 333 whole samples; with restart
        on, a stopped stream is followed half a second later by a run that captures
        again; closing the probe's input stops the tap without an error."""
        server = self.server = self.start_server()
        probe = self.probe(server.env, "--chunk", "333", "--restart", "default")
        probe.line("started")
        first, second = noise(1, 0.6), noise(2, 0.6)
        server.play("alpha", first)
        before = probe.wait_for(first)
        server.kill_recording()
        self.assertEqual(probe.line("restart")[1:], ["1", "0.5", "StreamStoppedError"])
        wait_until(lambda: probe.fields("status").count([START]) == 2, 10, "a second start")
        server.play("alpha", second)
        self.assertLess(before, probe.wait_for(second))
        self.assert_stopped_quietly(probe)
        statuses = [fields[0] for fields in probe.fields("status")]
        self.assertEqual((len(statuses), statuses[0], statuses[2]), (3, START, START))
        self.assertTrue(statuses[1].startswith("STREAM_STOPPED: "), statuses)
        with self.subTest("the other way to stop: Node's AbortSignal, leaving Python's loop"):
            probe = self.probe(server.env, "--abort")
            wait_until(lambda: probe.out, 10, "samples")
            self.assert_stopped_quietly(probe)
            self.assertEqual(probe.fields("status"), [[START]])

    def assert_stopped_quietly(self, probe):
        """Stopped, once qztap has exited, and not reported as an error."""
        self.assertEqual(probe.end(stop=True), ["end", "ok"])
        self.assertEqual(probe.line("stopped"), ["stopped", "gone"])
        self.assertEqual(self.server.recorded_sources(), [])

    def test_each_exit_becomes_its_error(self):
        """Restart on changes nothing but for STREAM_STOPPED."""
        server = self.start_server()
        for name, env, binary, expected in (
                ("start error", server.env, self.fake_qztap("echo START_ERROR: x >&2; exit 4"),
                 ["StartError", "4", "START_ERROR: x", "could not start"]),
                ("output error", server.env, self.fake_qztap("echo OUTPUT_ERROR: y >&2; exit 6"),
                 ["OutputError", "6", "OUTPUT_ERROR: y", "could not write"])):
            with self.subTest(name):
                self.assert_ends(env, binary, expected)
        with self.subTest("server killed"):
            probe = self.probe(server.env)
            probe.line("started")
            server.pulse_server_process().kill()
            self.assert_end(probe.end(), ["StreamStoppedError", "5",
                                          "STREAM_STOPPED: Connection terminated", "went away"])
        with self.subTest("no sinks"):
            server = self.start_server(sinks=())
            self.assert_ends(server.env, None,
                             ["NothingToCaptureError", "3", "NO_DISPLAY", "no output device"])

    def assert_ends(self, env, binary, expected):
        probe = self.probe(env, "--restart", "0.01,0.01,1,10", binary=binary)
        self.assert_end(probe.end(), expected)
        self.assertEqual((probe.fields("start-failed"), probe.fields("restart")),
                         ([expected[:1]], []))

    def assert_end(self, end, expected):
        self.assertEqual(end[:4], ["end", *expected[:3]])
        self.assertIn(expected[3], end[4])

    def test_lookup_order_and_failures(self):
        """qztap is the one asked for, else QZTAP_BINARY's, else the package's (the real
        one, here finding no server), else the one on PATH; Electron runs the package's
        from beside its archive. When none is found, or the one found cannot run, the
        error says so."""
        option, named = self.fake_qztap("exit 11"), self.fake_qztap("exit 12")
        on_path = os.path.dirname(self.fake_qztap("exit 14"))
        env = dict(os.environ, PULSE_SERVER="unix:/nothing", PATH=on_path)
        # A program that needs a library gone since it was linked, which the loader refuses
        # (qztap itself needs none but glibc's); a program for another machine.
        junk = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, junk)
        gone, refused = Path(junk, "libqztapgone.so"), Path(junk, "refused")
        subprocess.run(["cc", "-shared", "-o", gone, "-x", "c", "/dev/null"], check=True)
        subprocess.run(["cc", "-o", refused, "-x", "c", "-", f"-L{junk}", "-Wl,--no-as-needed",
                        "-lqztapgone"],
                       input=b"int main(void) { return 0; }", check=True)
        gone.unlink()
        other_machine = b"\x3e" if os.uname().machine == "aarch64" else b"\xb7"  # ELF: x86-64, aarch64
        foreign = Path(junk, "qztap")
        foreign.write_bytes(b"\x7fELF\2\1\1" + bytes(11) + other_machine)
        foreign.chmod(0o755)
        folder, same = os.path.dirname(BUNDLED), (lambda: None,) * 2  # change, undo
        hidden = (lambda: os.rename(folder, folder + "~"), lambda: os.rename(folder + "~", folder))
        unexecutable = (lambda: os.chmod(BUNDLED, 0o644), lambda: os.chmod(BUNDLED, 0o755))
        cases = [
            ("the binary option", dict(env, QZTAP_BINARY=named), option, same, ["QztapError", "11", ""]),
            ("QZTAP_BINARY", dict(env, QZTAP_BINARY=named), None, same, ["QztapError", "12", ""]),
            ("the package's", env, None, same,
             ["PermissionError", "2", "PERMISSION_OR_CONTENT_ERROR: Connection refused\tno access"]),
            ("on PATH", env, None, hidden, ["QztapError", "14", ""]),
            ("none found", dict(env, PATH="/nowhere"), None, hidden,
             ["QztapError", "", "\tno qztap found for linux-"]),
            ("not executable", env, None, unexecutable, ["QztapError", "", "it is not executable"]),
            ("for another machine", env, str(foreign), same, ["QztapError", "", "not for this linux-"]),
            ("refused by the loader", env, str(refused), same,
             ["QztapError", "127", "No such file or directory\tthe system could not load qztap"])]
        if ".asar/" in BUNDLED:  # Node's package, installed as in an Electron app
            self.fake_qztap("exit 15", os.path.dirname(BUNDLED.replace(".asar/", ".asar.unpacked/")))
            cases.append(("Electron's", env, None, same, ["QztapError", "15", ""], "--electron"))
        for name, env, binary, (change, undo), expected, *args in cases:
            with self.subTest(name):
                change()
                try:
                    end = self.probe(env, *args, binary=binary).end()
                finally:
                    undo()
                self.assertEqual(end[1:3], expected[:2], end)
                self.assertIn(expected[2], "\t".join(end[3:]))

    def test_restarts_back_off_and_give_up(self):
        """Delays double up to the longest; a run longer than the steady one starts the
        back-off over; after the most restarts in a row the tap ends."""
        fake = self.fake_qztap(f"echo '{START}' >&2\n[ $(wc -l < \"$0.runs\") -eq 3 ] && sleep 1.5\n"
                               "echo 'STREAM_STOPPED: gone' >&2; exit 5")
        probe = self.probe(os.environ, "--restart", "0.01,0.04,4,1", binary=fake)
        end = probe.end()
        self.assertEqual([(int(attempt), float(delay)) for attempt, delay, _ in probe.fields("restart")],
                         [(1, 0.01), (2, 0.02), (1, 0.01), (2, 0.02), (3, 0.04), (4, 0.04)])
        self.assert_end(end, ["StreamStoppedError", "5", "STREAM_STOPPED: gone",
                              "gave up after 4 restarts in a row"])

    def test_a_killed_parent_leaves_no_qztap(self):
        """Within a second, while a signal plays and while the server is frozen, when
        qztap has nothing to write and learns of its reader leaving only by watching its
        output; a child the parent started since must not hold that output open."""
        server = self.start_server()
        player = server.play("alpha", noise(3, 30.0), wait=False)
        self.addCleanup(player.wait)
        self.addCleanup(player.kill)
        for frozen in (False, True):
            with self.subTest(frozen=frozen):
                probe = self.probe(server.env, "--child")
                qztap, child = int(probe.line("started")[1]), int(probe.line("child")[1])
                self.addCleanup(os.kill, child, signal.SIGKILL)
                wait_until(lambda: probe.out, 10, "samples")
                if frozen:
                    server.pulse_server_process().send_signal(signal.SIGSTOP)
                    self.addCleanup(server.pulse_server_process().send_signal, signal.SIGCONT)
                probe.kill()
                wait_until(lambda: not alive(qztap), 1, "qztap to end after its parent was killed")


if __name__ == "__main__":
    unittest.main()
