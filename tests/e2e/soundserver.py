"""Private sound servers, each in a temporary directory of its own with its own socket,
HOME and configuration: clients started with `server.env` never reach a user's server.
Run as a script it runs a command inside a new server (QZTAP_DEMO_SINK names its sink):

    python3 tests/e2e/soundserver.py [--kind pulseaudio|pipewire] [--sink NAME] -- CMD ...
"""

import argparse
import array
import ctypes
import functools
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

RATE, CHANNELS, DECIMATION = 48000, 2, 3
FRAME = CHANNELS * 4  # bytes of a float32 stereo frame
START_LINE = b"CAPTURE_STARTED sr_req=48000->16000 mono\n"

# Whatever would send a client to another server or give libpulse a default device.
_FOREIGN_ENV = ("PULSE_", "PIPEWIRE_", "WIREPLUMBER_", "DISPLAY", "WAYLAND_DISPLAY", "DBUS_")
_prctl = ctypes.CDLL(None, use_errno=True).prctl  # looked up before any fork


def die_with_parent():
    """Makes the kernel end a child when the test process goes (a CTest timeout, ^C)."""
    _prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def wait_until(condition, timeout, what):
    """Polls `condition` until it gives something true; `what` (or what it returns)
    describes the wait on a timeout."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for "
                                 f"{what() if callable(what) else what}")
        time.sleep(0.02)
    return value


def _feed(fd, data):
    """Writes `data` into a FIFO at its real-time rate, looping, while the FIFO lasts;
    the chunk size is a whole number of frames."""
    chunk, position = RATE // 20 * CHANNELS * 4, 0
    with open(fd, "wb", buffering=0) as fifo:
        while True:
            time.sleep(0.05)
            try:
                fifo.write(data[position:position + chunk])
            except OSError:
                return
            position = (position + chunk) % len(data)


class PulseAudioServer:
    """A PulseAudio daemon that loads nothing but its socket and our sinks; the base of
    the other kind, whose pulse server takes the same requests."""

    kind = "pulseaudio"
    # With rewinds, audio that starts while the sink has rendered silence ahead is
    # rewritten in the sink but not in its monitor, which loses a stream's first frames.
    null_sink_extra_args = ("norewinds=1",)

    def __init__(self):
        self.base = tempfile.mkdtemp(prefix=f"qztap-e2e-{self.kind}-")
        self.runtime, self.config = os.path.join(self.base, "run"), os.path.join(self.base, "config")
        self.socket = os.path.join(self.runtime, "pulse", "native")
        os.makedirs(os.path.dirname(self.socket), mode=0o700)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith(_FOREIGN_ENV)}
        self.env.update(XDG_RUNTIME_DIR=self.runtime, HOME=self.base, XDG_CONFIG_HOME=self.config,
                        XDG_STATE_HOME=self.base, XDG_CACHE_HOME=self.base, LC_ALL="C",
                        PULSE_SERVER="unix:" + self.socket)
        self.processes = {}  # name -> Popen, in start order
        self.sink_modules = {}

    def spawn(self, name, argv):
        with open(f"{self.base}/{name}.log", "wb") as log:
            self.processes[name] = subprocess.Popen(
                argv, env=self.env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                start_new_session=True, preexec_fn=die_with_parent)

    def fail(self, message):
        raise AssertionError(f"{self.kind} server: {message}" + "".join(
            f"\n--- {name} (exit {process.poll()}) ---\n"
            f"{Path(self.base, name + '.log').read_bytes()[-4000:].decode(errors='replace')}"
            for name, process in self.processes.items()))

    def wait_alive_until(self, condition, what):
        """Waits for `condition`; fails with the logs on a timeout or when a process ends."""
        deadline = time.monotonic() + 20
        while not condition():
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.processes.values()):
                self.fail(f"while waiting for {what}")
            time.sleep(0.02)

    def stop(self):
        for process in reversed(self.processes.values()):
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGCONT)  # in case a test froze it
                os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        shutil.rmtree(self.base, ignore_errors=True)

    def pactl(self, *args, check=True):
        result = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                                timeout=10)
        if check and result.returncode != 0:
            self.fail(f"pactl {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout.strip() if check else result.returncode == 0

    def add_sink(self, name, renders_ahead=False, rate=RATE):
        """A null sink in the format qztap asks for, so nothing converts the samples;
        one that `renders_ahead` behaves as devices do, but may lose a stream's start."""
        self.sink_modules[name] = self.pactl(
            "load-module", "module-null-sink", f"sink_name={name}", "format=float32le",
            f"rate={rate}", f"channels={CHANNELS}",
            *(() if renders_ahead else self.null_sink_extra_args))
        self.wait_alive_until(lambda: f"\t{name}\t" in self.pactl("list", "short", "sinks"),
                              f"sink {name}")

    def remove_sink(self, name):
        self.pactl("unload-module", self.sink_modules.pop(name))

    def listed_default(self, other_than=None):
        """The default sink, once the server names one of the sinks (other than
        `other_than`): just after an unplug PipeWire's may name the placeholder
        @DEFAULT_SINK@, even to a client that connects afterwards."""
        return wait_until(lambda: (name := self.pactl("get-default-sink")) in self.sink_modules
                          and name != other_than and name, 1, "a listed default")

    def set_default_sink(self, name):
        self.pactl("set-default-sink", name)
        self.wait_alive_until(lambda: self.pactl("get-default-sink") == name, f"default {name}")

    def recorded_sources(self):
        """The sources that record streams are connected to right now."""
        names = dict(line.split("\t")[:2] for line in
                     self.pactl("list", "short", "sources").splitlines())
        return [names.get(line.split("\t")[1]) for line in
                self.pactl("list", "short", "source-outputs").splitlines()]

    def wait_recording_from(self, *sources, within=1):
        """Waits for the record streams, qztap's, to be on `sources` (none: no stream), as
        qztap promises within 1 s of a move."""
        wait_until(lambda: self.recorded_sources() == list(sources), within, lambda: f"streams on "
                   f"{sources}, not {self.recorded_sources()}: default {self.pactl('get-default-sink')}")

    def kill_recording(self):
        """Ends every record stream, as when its source goes away, through the server's
        command-line interface (pactl has no such command)."""
        cli = os.path.join(self.base, "cli")
        if not os.path.exists(cli):
            self.pactl("load-module", "module-cli-protocol-unix", f"socket={cli}")
        with socket.socket(socket.AF_UNIX) as server:
            server.connect(cli)
            for stream in self.pactl("list", "short", "source-outputs").splitlines():
                server.sendall(f"kill-source-output {stream.split()[0]}\n".encode())
            server.shutdown(socket.SHUT_WR)
            while server.recv(4096):  # the server hangs up once it has done all
                pass

    def add_fake_microphone(self, name, stereo):
        """The default source: not a monitor, fed with `stereo` over and over."""
        fifo = os.path.join(self.base, name + ".fifo")
        self.pactl("load-module", "module-pipe-source", f"source_name={name}", f"file={fifo}",
                   "format=float32le", f"rate={RATE}", f"channels={CHANNELS}")
        self.pactl("set-default-source", name)
        fd = os.open(fifo, os.O_WRONLY)  # the server holds it open for reading already
        threading.Thread(target=_feed, args=(fd, stereo.tobytes()), daemon=True).start()

    def play(self, sink, stereo, wait=True, rate=RATE):
        """Plays float32 stereo on `sink` with pacat; returns once drained, or at once
        with the process if not `wait`."""
        fd, path = tempfile.mkstemp(dir=self.base)
        with open(fd, "wb") as f:
            f.write(stereo.tobytes())
        player = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--format=float32le", f"--rate={rate}",
             f"--channels={CHANNELS}", f"--device={sink}", path], env=self.env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        if wait and player.wait(timeout=60) != 0:
            self.fail(f"pacat failed with {player.returncode}")
        return player


    def start(self, sinks=("alpha",)):
        script = Path(self.base, "server.pa")
        script.write_text(f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.socket}\n")
        self.spawn("pulseaudio", ["pulseaudio", "-n", "-F", script, "--daemonize=no",
                                  "--exit-idle-time=-1", "--use-pid-file=no", "--realtime=no",
                                  "--high-priority=no", "--log-target=stderr"])
        return self.start_sinks(sinks)

    def start_sinks(self, sinks):
        self.wait_alive_until(lambda: self.pactl("info", check=False), "the server to answer")
        for name in sinks:
            self.add_sink(name)
        if sinks:
            self.set_default_sink(sinks[0])
        return self

    def pulse_server_process(self):  # the one qztap's connection goes to
        return self.processes["pulseaudio"]


# A session bus that activates nothing: WirePlumber will not run without one.
_BUS_CONFIG = """<busconfig><type>session</type><listen>unix:path={path}</listen>
<auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>
"""
# The graph runs at 48 kHz only, so no stream is ever resampled.
_PIPEWIRE_CONFIG = "context.properties = { default.clock.rate = 48000 " \
                   "default.clock.allowed-rates = [ 48000 ] }\n"
# The pulse server on our socket, without the stock module-always-sink, whose dummy
# sink would hide "no sinks at all" and could become the default on an unplug.
_PIPEWIRE_PULSE_CONFIG = """context.spa-libs = {{ audio.convert.* = audioconvert/libspa-audioconvert
    support.* = support/libspa-support }}
context.modules = [ {{ name = libpipewire-module-protocol-native }}
    {{ name = libpipewire-module-client-node }} {{ name = libpipewire-module-adapter }}
    {{ name = libpipewire-module-metadata }}
    {{ name = libpipewire-module-protocol-pulse args = {{ server.address = [ "unix:{socket}" ] }} }} ]
"""
# The session manager manages our null sinks, none of the machine's devices.
_WIREPLUMBER_CONFIG = {
    "main.lua.d": "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
                  "libcamera_monitor.enabled = false\n",
    "bluetooth.lua.d": "bluez_monitor.enabled = false\n",
}


class PipeWireServer(PulseAudioServer):
    """PipeWire, WirePlumber and PipeWire's pulse server on a private session bus, since
    WirePlumber, which links streams and picks the default sink, will not run without."""

    kind = "pipewire"
    null_sink_extra_args = ()

    def start(self, sinks=("alpha",)):
        bus = os.path.join(self.runtime, "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self.write_config("bus.conf", _BUS_CONFIG.format(path=bus))
        self.write_config("pipewire/pipewire.conf.d/50-qztap.conf", _PIPEWIRE_CONFIG)
        for folder, text in _WIREPLUMBER_CONFIG.items():
            self.write_config(f"wireplumber/{folder}/51-qztap.lua", text)
        pulse = self.write_config("pulse.conf", _PIPEWIRE_PULSE_CONFIG.format(socket=self.socket))
        self.spawn("dbus-daemon", ["dbus-daemon", "--nofork", "--nopidfile",
                                   f"--config-file={self.config}/bus.conf"])
        self.wait_alive_until(lambda: os.path.exists(bus), "the session bus")
        self.spawn("pipewire", ["pipewire"])
        self.wait_alive_until(lambda: os.path.exists(f"{self.runtime}/pipewire-0"), "PipeWire")
        self.spawn("wireplumber", ["wireplumber"])
        self.spawn("pipewire-pulse", ["pipewire", "-c", pulse])
        self.start_sinks(())
        self.wait_alive_until(lambda: f"float32le 2ch {RATE}Hz" in self.pactl("info"),
                              "the graph to run at 48 kHz")
        # WirePlumber taking up the first sink as the default proves it manages the graph.
        return self.start_sinks(sinks)

    def write_config(self, relative, text):
        path = Path(self.config, relative)
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
        return path

    def pulse_server_process(self):
        return self.processes["pipewire-pulse"]


SERVER_KINDS = {cls.kind: cls for cls in (PulseAudioServer, PipeWireServer)}


def noise(seed, seconds, amplitude=0.25):
    """Seeded stereo white noise, float32 interleaved: no two seeds share a run of samples."""
    rng = random.Random(seed)
    return array.array("f", (rng.uniform(-amplitude, amplitude)
                             for _ in range(int(seconds * RATE) * CHANNELS)))


def mono_mix(stereo):
    """qztap's down-mix, ((0 + L) + R) / 2 in float32: the sum of two floats is exact
    in double, so rounding it once to float32 gives the float32 sum."""
    summed = array.array("f", map(float.__add__, stereo[0::2], stereo[1::2]))
    return array.array("f", (s / 2 for s in summed))


@functools.lru_cache(maxsize=8)  # tests poll for a signal: mix it once
def _decimations(stereo_bytes):
    mono = mono_mix(array.array("f", stereo_bytes))
    return [mono[phase::DECIMATION].tobytes() for phase in range(DECIMATION)]


def locate(output, stereo, whole=True):
    """Where the played `stereo` sits in qztap's output, bit-exact: (offset, length)
    in bytes, or None. At 48 kHz the output is every third sample of the mono mix, at
    one of three phases. Unless `whole`, the output may end within the signal."""
    hits = []
    for expected in _decimations(stereo.tobytes()):
        offset = output.find(expected if whole else expected[:4096])
        length = min(len(expected), len(output) - offset)
        if offset % 4 == 0 and output[offset:offset + length] == expected[:length]:
            hits.append((offset, length))
    return hits[0] if len(hits) == 1 else None


def produced(recording, stereo):
    """The stretch of `recording` (float32 stereo frames) that the played `stereo` became
    on its way through the server, from its first frames to its last; where the
    recording ends first, the rest as played; `stereo` itself if no start of it is there."""
    played, edge = stereo.tobytes(), 256 * FRAME
    recorded = recording[:len(recording) // FRAME * FRAME]
    start = _find_frame(recorded, played[:edge])
    if start < 0:
        return stereo
    end = _find_frame(recorded, played[-edge:], start)
    if end >= 0:
        return array.array("f", recorded[start:end + edge])
    resumed = played.rfind(recorded[-edge:])
    if resumed < 0 or resumed % FRAME:
        return stereo
    return array.array("f", recorded[start:] + played[resumed + edge:])


def _find_frame(data, part, start=0):
    """Where `part` begins in `data` at a whole frame, from `start`, or -1."""
    at = data.find(part, start)
    while at >= 0 and at % FRAME:
        at = data.find(part, at + 1)
    return at


def stray_samples(output, segments):
    """How many samples outside `segments` are not zero: audio from nowhere we played."""
    samples = array.array("f", output[:len(output) // 4 * 4])
    for offset, length in segments:
        samples[offset // 4:(offset + length) // 4] = array.array("f", bytes(length))
    return len(samples) - samples.count(0.0)


def _main():
    parser = argparse.ArgumentParser(description="Run a command inside a private sound server.")
    parser.add_argument("--kind", choices=sorted(SERVER_KINDS), default="pulseaudio")
    parser.add_argument("--sink", default="qztap_demo", help="name of the null sink to create")
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    server = SERVER_KINDS[args.kind]()
    try:
        server.start(sinks=(args.sink,))
        return subprocess.run(args.command, env=dict(server.env, QZTAP_DEMO_SINK=args.sink)).returncode
    except AssertionError as error:
        print(error, file=sys.stderr)
        return 1
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(_main())
