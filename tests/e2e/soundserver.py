"""Private sound servers, test signals and a qztap runner for the end-to-end tests.

Every server lives in its own temporary directory with its own runtime dir,
socket, HOME and configuration, and every client started through `server.env`
talks to that socket only: a user's own sound server is never touched.

Run as a script it starts a private server, runs a command inside it and stops
the server again (the demo uses this):

    python3 tests/e2e/soundserver.py [--kind pulseaudio|pipewire] [--sink NAME] -- CMD ...
"""

import argparse
import array
import ctypes
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

RATE = 48000
CHANNELS = 2
OUTPUT_RATE = 16000
DECIMATION = RATE // OUTPUT_RATE
START_LINE = b"CAPTURE_STARTED sr_req=48000->16000 mono\n"

# Environment that would send a client to some other server, or give libpulse a
# default device of its own, is removed from everything started here.
_FOREIGN_ENV = (
    "DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "PULSE_SINK",
    "PULSE_SOURCE", "PULSE_COOKIE", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PULSE_CONFIG_PATH",
    "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR", "WIREPLUMBER_CONFIG_DIR",
)


class ServerError(AssertionError):
    """The private server could not be started or driven; carries its logs."""


# Looked up once here: the child between fork and exec must not load anything.
_prctl = ctypes.CDLL(None, use_errno=True).prctl
_PR_SET_PDEATHSIG = 1
_TEMP_PREFIX = "qztap-e2e-"


def _die_with_parent():
    # Server processes must not outlive a test run that is killed (a CTest
    # timeout, ^C): the kernel ends them when the test process goes.
    _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _remove_abandoned_dirs():
    """Removes the directories of earlier runs whose test process was killed before
    it could clean up (their servers died with it). Each name carries its owner's pid."""
    temp = tempfile.gettempdir()
    for name in os.listdir(temp):
        if not name.startswith(_TEMP_PREFIX):
            continue
        try:
            owner = int(name.split("-")[3])
            os.kill(owner, 0)
        except (IndexError, ValueError):
            continue
        except ProcessLookupError:
            shutil.rmtree(os.path.join(temp, name), ignore_errors=True)
        except PermissionError:
            pass


def wait_until(condition, timeout, what):
    """Polls `condition` until it returns something true; fails after `timeout` s.
    `what` describes the wait, or is a function giving the description then."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            description = what() if callable(what) else what
            raise AssertionError(f"timed out after {timeout} s waiting for {description}")
        time.sleep(0.02)


class SoundServer:
    """Base of the two server kinds: owns the temp dir, the processes and the env."""

    kind = None

    def __init__(self):
        _remove_abandoned_dirs()
        self.base = tempfile.mkdtemp(prefix=f"{_TEMP_PREFIX}{self.kind}-{os.getpid()}-")
        self.runtime = os.path.join(self.base, "run")
        self.home = os.path.join(self.base, "home")
        self.config = os.path.join(self.base, "config")
        for path in (self.runtime, self.home, self.config):
            os.makedirs(path, mode=0o700)
        self.socket = os.path.join(self.runtime, "pulse", "native")
        os.makedirs(os.path.dirname(self.socket), mode=0o700)
        env = {k: v for k, v in os.environ.items() if k not in _FOREIGN_ENV}
        env.update(
            XDG_RUNTIME_DIR=self.runtime,
            HOME=self.home,
            XDG_CONFIG_HOME=self.config,
            XDG_STATE_HOME=os.path.join(self.base, "state"),
            XDG_CACHE_HOME=os.path.join(self.base, "cache"),
            PULSE_SERVER="unix:" + self.socket,
            LC_ALL="C",
        )
        self.env = env
        self.processes = []  # (name, Popen, log path), in start order
        self.sink_modules = {}  # sink name -> module index
        self.mic_feeder = None

    # -- processes -------------------------------------------------------------

    def _spawn(self, name, argv):
        log_path = os.path.join(self.base, name + ".log")
        with open(log_path, "wb") as log:
            try:
                process = subprocess.Popen(
                    argv, env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                    stderr=subprocess.STDOUT, start_new_session=True, preexec_fn=_die_with_parent)
            except OSError as error:
                raise ServerError(f"cannot run {argv[0]}: {error}") from None
        self.processes.append((name, process, log_path))
        return process

    def process(self, name):
        return next(p for n, p, _ in self.processes if n == name)

    def logs(self):
        parts = []
        for name, process, log_path in self.processes:
            with open(log_path, "rb") as log:
                text = log.read().decode(errors="replace")
            if len(text) > 6000:
                text = "...\n" + text[-6000:]
            parts.append(f"--- {name} (pid {process.pid}, exit {process.poll()}) ---\n{text}")
        return "\n".join(parts) or "(no server process was started)"

    def fail(self, message):
        raise ServerError(f"{self.kind} server: {message}\n{self.logs()}")

    def _check_alive(self):
        for name, process, _ in self.processes:
            if process.poll() is not None:
                self.fail(f"{name} exited with status {process.returncode}")

    def _wait_alive_until(self, condition, timeout, what):
        def check():
            self._check_alive()
            return condition()
        try:
            return wait_until(check, timeout, what)
        except AssertionError as error:
            if isinstance(error, ServerError):
                raise
            self.fail(str(error))

    def stop(self):
        """Ends every process this server started, then removes its directory."""
        if self.mic_feeder is not None:
            self.mic_feeder.stop()
            self.mic_feeder = None
        for name, process, _ in reversed(self.processes):
            if process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGCONT)  # in case a test froze it
                    os.killpg(process.pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
        shutil.rmtree(self.base, ignore_errors=True)

    def pulse_server_process(self):
        """The process qztap's connection goes to."""
        raise NotImplementedError

    # -- pactl -----------------------------------------------------------------

    def pactl(self, *args, check=True):
        try:
            result = subprocess.run(["pactl", *args], env=self.env, capture_output=True,
                                    text=True, timeout=10)
        except (OSError, subprocess.TimeoutExpired) as error:
            self.fail(f"pactl {' '.join(args)}: {error}")
        if check and result.returncode != 0:
            self.fail(f"pactl {' '.join(args)} failed: {result.stderr.strip()}")
        return result.stdout.strip() if check else result

    def _answers(self):
        return os.path.exists(self.socket) and self.pactl("info", check=False).returncode == 0

    def add_sink(self, name):
        """A null sink in the format qztap asks for, so no conversion touches the samples."""
        index = self.pactl("load-module", "module-null-sink", f"sink_name={name}",
                           "format=float32le", f"rate={RATE}", f"channels={CHANNELS}",
                           *self.null_sink_extra_args())
        self.sink_modules[name] = index
        self._wait_alive_until(lambda: name in self.sinks(), 10, f"sink {name} to appear")
        return index

    def null_sink_extra_args(self):
        return ()

    def remove_sink(self, name):
        self.pactl("unload-module", self.sink_modules.pop(name))

    def sinks(self):
        return [line.split("\t")[1] for line in self.pactl("list", "short", "sinks").splitlines()]

    def default_sink(self):
        return self.pactl("get-default-sink")

    def set_default_sink(self, name):
        self.pactl("set-default-sink", name)
        self._wait_alive_until(lambda: self.default_sink() == name, 10,
                               f"default sink to become {name}")

    def recorded_sources(self):
        """Names of the sources that record streams are connected to right now."""
        names = {}
        for line in self.pactl("list", "short", "sources").splitlines():
            fields = line.split("\t")
            names[fields[0]] = fields[1]
        return [names.get(line.split("\t")[1], "?")
                for line in self.pactl("list", "short", "source-outputs").splitlines()]

    def wait_recording_from(self, source):
        """Waits for qztap's record stream, and only that one, to be on `source`: a
        timeout here is qztap's failure, not the server's."""
        def recording():
            self._check_alive()
            return self.recorded_sources() == [source]
        wait_until(recording, 10, lambda: f"the only record stream to be on {source} "
                                          f"(now: {self.recorded_sources()})")

    def add_fake_microphone(self, name, signal_bytes):
        """A capture device that is not a monitor, fed with `signal_bytes` over and over."""
        fifo = os.path.join(self.base, name + ".fifo")
        self.pactl("load-module", "module-pipe-source", f"source_name={name}", f"file={fifo}",
                   "format=float32le", f"rate={RATE}", f"channels={CHANNELS}")
        self.pactl("set-default-source", name)
        self._wait_alive_until(lambda: self.pactl("get-default-source") == name, 10,
                               f"default source to become {name}")
        self.mic_feeder = _FifoFeeder(fifo, signal_bytes)

    def record(self, source, seconds):
        """Records `source` with the server's own client for about `seconds`."""
        process = subprocess.Popen(
            ["parec", "--raw", "--format=float32le", f"--rate={RATE}", f"--channels={CHANNELS}",
             "--latency-msec=20", f"--device={source}"],
            env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        time.sleep(seconds)
        process.terminate()
        data, _ = process.communicate()
        samples = array.array("f")
        samples.frombytes(data[:len(data) // 4 * 4])
        return samples

    # -- playback --------------------------------------------------------------

    def play(self, sink, stereo):
        """Plays float32 stereo samples on `sink` and returns once they have drained."""
        self.start_playing(sink, stereo).finish()

    def start_playing(self, sink, stereo):
        return Playback(self, sink, stereo)


class Playback:
    """One pacat playback stream, fed from a file so that nothing here blocks."""

    def __init__(self, server, sink, stereo):
        self.server = server
        fd, self.path = tempfile.mkstemp(dir=server.base, suffix=".raw")
        with os.fdopen(fd, "wb") as f:
            f.write(stereo if isinstance(stereo, bytes) else stereo.tobytes())
        self.process = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--format=float32le", f"--rate={RATE}",
             f"--channels={CHANNELS}", f"--device={sink}", self.path],
            env=server.env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT)

    def finish(self, timeout=30):
        try:
            output, _ = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            self.server.fail("pacat did not finish playing")
        if self.process.returncode != 0:
            self.server.fail(f"pacat failed ({self.process.returncode}): {output.decode()}")

    def stop(self):
        if self.process.stdout.closed:
            return
        if self.process.poll() is None:
            self.process.kill()
        self.process.communicate()


class _FifoFeeder:
    """Writes a signal into a pipe-source's FIFO at about its real-time rate, looping,
    until stopped. Never blocks: while the server is not reading, the FIFO stays full
    and the feeder waits."""

    CHUNK_SECONDS = 0.05

    def __init__(self, fifo, data):
        self.data = data
        self.stopping = threading.Event()
        # The server holds the FIFO open for reading from the moment the module loads.
        self.fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        chunk = int(RATE * self.CHUNK_SECONDS) * CHANNELS * 4
        position = 0
        pending = b""  # the unwritten rest of a chunk: frames must stay whole
        while not self.stopping.wait(self.CHUNK_SECONDS):
            if not pending:
                pending = self.data[position:position + chunk]
                position = (position + chunk) % len(self.data)
            try:
                pending = pending[os.write(self.fd, pending):]
            except BlockingIOError:
                pass
            except OSError:
                return

    def stop(self):
        self.stopping.set()
        self.thread.join()
        os.close(self.fd)


class PulseAudioServer(SoundServer):
    """A PulseAudio daemon that loads nothing but what the script below asks for."""

    kind = "pulseaudio"

    def start(self, sinks=("alpha",)):
        script = os.path.join(self.base, "server.pa")
        with open(script, "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n")
        self._spawn("pulseaudio", [
            "pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
            "--use-pid-file=no", "--realtime=no", "--high-priority=no", "--log-target=stderr",
            "--log-level=notice"])
        self._wait_alive_until(self._answers, 20, "the server to answer on its socket")
        for name in sinks:
            self.add_sink(name)
        if sinks:
            self.set_default_sink(sinks[0])
        return self

    def null_sink_extra_args(self):
        # With rewinds, audio that starts while the sink has already rendered
        # silence ahead is rewritten in the sink but not in its monitor: the
        # monitor loses the first few hundred frames of every new stream.
        return ("norewinds=1",)

    def pulse_server_process(self):
        return self.process("pulseaudio")


# A session bus with no service directories: nothing gets activated on it.
_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

# The graph runs at 48 kHz and at nothing else, so no stream is ever resampled.
_PIPEWIRE_DROP_IN = """context.properties = {
    default.clock.rate          = 48000
    default.clock.allowed-rates = [ 48000 ]
}
"""

# The pulse server on its own socket, without module-always-sink: the stock
# configuration adds a dummy "auto_null" sink whenever there is none, which would
# hide "no sinks at all" and could become the default when a sink is unplugged.
_PIPEWIRE_PULSE_CONFIG = """context.properties = {{ }}
context.spa-libs = {{
    audio.convert.* = audioconvert/libspa-audioconvert
    support.*       = support/libspa-support
}}
context.modules = [
    {{ name = libpipewire-module-protocol-native }}
    {{ name = libpipewire-module-client-node }}
    {{ name = libpipewire-module-adapter }}
    {{ name = libpipewire-module-metadata }}
    {{ name = libpipewire-module-protocol-pulse
        args = {{ server.address = [ "unix:{socket}" ] }}
    }}
]
"""

# The session manager handles our null sinks and nothing else: no sound cards,
# cameras or Bluetooth devices of the machine running the tests.
_WIREPLUMBER_MAIN_DROP_IN = """alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
"""
_WIREPLUMBER_BLUETOOTH_DROP_IN = "bluez_monitor.enabled = false\n"


class PipeWireServer(SoundServer):
    """PipeWire with WirePlumber and its pulse server.

    Running as root with no desktop session there is no session D-Bus, and
    WirePlumber gives up at once without one ("Cannot autolaunch D-Bus without X11
    $DISPLAY"); without WirePlumber nothing links streams to sinks or picks a
    default sink. So each server gets a private bus first (our own config: a
    socket in the runtime dir, no service activation), and all three daemons are
    pointed at it. Nothing answers for RTKit or the portal on that bus; PipeWire
    runs on without real-time scheduling, which these tests do not need. Nothing
    else is needed as root: the daemons do not refuse to run, and since the
    runtime dir, HOME and XDG_CONFIG_HOME are private, the system configuration
    plus the files written below is all they read. The graph is pinned to 48 kHz
    (allowed rates: 48000 only), so with float32 null sinks no stream is ever
    converted and qztap's output can be compared bit for bit.
    """

    kind = "pipewire"

    def start(self, sinks=("alpha",)):
        bus = os.path.join(self.runtime, "bus")
        bus_config = os.path.join(self.base, "bus.conf")
        with open(bus_config, "w") as f:
            f.write(_BUS_CONFIG.format(path=bus))
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self._write_config("pipewire/pipewire.conf.d/50-qztap-e2e.conf", _PIPEWIRE_DROP_IN)
        self._write_config("wireplumber/main.lua.d/51-qztap-e2e.lua", _WIREPLUMBER_MAIN_DROP_IN)
        self._write_config("wireplumber/bluetooth.lua.d/51-qztap-e2e.lua",
                           _WIREPLUMBER_BLUETOOTH_DROP_IN)
        pulse_config = self._write_config("qztap-e2e-pipewire-pulse.conf",
                                          _PIPEWIRE_PULSE_CONFIG.format(socket=self.socket))

        self._spawn("dbus-daemon", ["dbus-daemon", "--nofork", "--nopidfile",
                                    f"--config-file={bus_config}"])
        self._wait_alive_until(lambda: os.path.exists(bus), 10, "the session bus socket")
        self._spawn("pipewire", ["pipewire"])
        self._wait_alive_until(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")),
                               10, "the PipeWire socket")
        self._spawn("wireplumber", ["wireplumber"])
        self._spawn("pipewire-pulse", ["pipewire", "-c", pulse_config])
        self._wait_alive_until(self._answers, 20, "the pulse server to answer on its socket")
        self._wait_alive_until(self._graph_rate_is_48k, 10, "the graph clock to run at 48 kHz")
        for name in sinks:
            self.add_sink(name)
        if sinks:
            # WirePlumber picking a default proves it is up and managing the graph.
            self.set_default_sink(sinks[0])
        return self

    def _write_config(self, relative, text):
        path = os.path.join(self.config, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path

    def _graph_rate_is_48k(self):
        info = self.pactl("info")
        return f"float32le 2ch {RATE}Hz" in info

    def pulse_server_process(self):
        return self.process("pipewire-pulse")


SERVER_KINDS = {cls.kind: cls for cls in (PulseAudioServer, PipeWireServer)}


# -- signals ---------------------------------------------------------------------

def noise(seed, seconds, amplitude=0.25):
    """Seeded stereo white noise, float32 interleaved: no two seeds share a run of samples."""
    rng = random.Random(seed)
    count = int(seconds * RATE) * CHANNELS
    return array.array("f", (rng.uniform(-amplitude, amplitude) for _ in range(count)))


def mono_mix(stereo):
    """qztap's down-mix, ((0 + L) + R) / 2 in float32: the sum of two floats is
    exact in double, so rounding it once to float32 gives the float32 sum."""
    summed = array.array("f", map(float.__add__, stereo[0::2], stereo[1::2]))
    return array.array("f", (s / 2 for s in summed))


def decimations(mono):
    """The three 3:1 decimations of `mono`, as bytes, one for each capture phase."""
    return [mono[phase::DECIMATION].tobytes() for phase in range(DECIMATION)]


def find_samples(output, needle, start=0):
    """Sample-aligned byte offset of `needle` in `output`, or -1."""
    offset = output.find(needle, start)
    while offset >= 0 and offset % 4:
        offset = output.find(needle, offset + 1)
    return offset


def locate(output, stereo):
    """Where the played `stereo` signal sits in qztap's output: (offset, length) in bytes."""
    hits = []
    for candidate in decimations(mono_mix(stereo)):
        offset = find_samples(output, candidate)
        if offset >= 0:
            hits.append((offset, len(candidate)))
    return hits[0] if len(hits) == 1 else None


def stray_samples(output, segments):
    """Count of non-zero samples outside `segments`: audio that came from nowhere we played."""
    samples = array.array("f")
    samples.frombytes(output[:len(output) // 4 * 4])
    for offset, length in segments:
        samples[offset // 4:(offset + length) // 4] = array.array("f", bytes(length))
    return sum(1 for value in samples if value != 0.0)


# -- qztap -----------------------------------------------------------------------

class Tap:
    """A running qztap whose stdout and stderr are collected by threads."""

    def __init__(self, binary, env, preexec_fn=None):
        self.process = subprocess.Popen([binary], env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        preexec_fn=preexec_fn)
        self._lock = threading.Lock()
        self._stdout = bytearray()
        self._stderr = bytearray()
        self._reading = threading.Event()
        self._reading.set()
        self._threads = [
            threading.Thread(target=self._drain, args=(self.process.stdout, self._stdout, True),
                             daemon=True),
            threading.Thread(target=self._drain, args=(self.process.stderr, self._stderr, False),
                             daemon=True),
        ]
        for thread in self._threads:
            thread.start()

    def _drain(self, pipe, into, pausable):
        fd = pipe.fileno()
        while True:
            if pausable:
                self._reading.wait()
            data = os.read(fd, 65536)
            if not data:
                return
            with self._lock:
                into.extend(data)

    def output(self):
        with self._lock:
            return bytes(self._stdout)

    def stderr(self):
        with self._lock:
            return bytes(self._stderr)

    def drop_output(self, count):
        """Forgets the first `count` bytes collected so far: a long run keeps only
        what it has not checked yet. `output()` starts after them from then on."""
        with self._lock:
            del self._stdout[:count]

    def pause_reading(self):
        self._reading.clear()

    def resume_reading(self):
        self._reading.set()

    def wait_started(self, timeout=10):
        wait_until(lambda: b"\n" in self.stderr() or self.process.poll() is not None, timeout,
                   "qztap's first status line")
        if self.stderr() != START_LINE or self.process.poll() is not None:
            raise AssertionError(f"qztap did not start: exit {self.process.poll()}, "
                                 f"stderr {self.stderr()!r}")

    def wait_streaming(self, timeout=10):
        """Waits until samples flow (a null sink may take a moment to tick when first
        recorded)."""
        wait_until(lambda: len(self.output()) >= 4096, timeout, "qztap's first samples")

    def wait_for_signal(self, stereo, timeout=10):
        """Waits until `stereo`'s decimated mix shows up in the output; returns where."""
        return wait_until(lambda: locate(self.output(), stereo), timeout,
                          "the played signal to appear bit-exact in qztap's output")

    def wait_exit(self, timeout=15):
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"qztap still running after {timeout} s; "
                                 f"stderr {self.stderr()!r}") from None
        for thread in self._threads:
            thread.join(timeout=5)
        return self.process.returncode

    def stop(self):
        self.resume_reading()
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for thread in self._threads:
            thread.join(timeout=5)
        self.process.stdout.close()
        self.process.stderr.close()


def _main():
    parser = argparse.ArgumentParser(description="Run a command inside a private sound server.")
    parser.add_argument("--kind", choices=sorted(SERVER_KINDS), default="pulseaudio")
    parser.add_argument("--sink", default="qztap_demo", help="name of the null sink to create")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    server = SERVER_KINDS[args.kind]()
    try:
        server.start(sinks=(args.sink,))
        env = dict(server.env, QZTAP_DEMO_SINK=args.sink)
        return subprocess.run(args.command, env=env).returncode
    except ServerError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(_main())
