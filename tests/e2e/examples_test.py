"""python3 examples_test.py level|captions QZTAP: the examples against a private
PulseAudio server, on the client packages as they are in clients/."""

import os
import re
import shutil
import signal
import subprocess
import sys

from soundserver import PulseAudioServer

SPEECH = "/usr/share/pocketsphinx/test/data/librivox"  # Debian's pocketsphinx-testdata
TO_SINK = ("sox {} -t raw -r 48000 -c 2 -e floating-point -b 32 - {} "
           "| pacat --raw --format=float32le --rate=48000 --channels=2")
CLIENTS = os.path.abspath("../../clients")
which, qztap = sys.argv[1:]
server = PulseAudioServer().start()
env = dict(server.env, PYTHONPATH=f"{CLIENTS}/python/src")


def run(*argv):
    return subprocess.run(argv, env=env, capture_output=True, text=True, check=True).stdout


def example(command, *args):
    return subprocess.Popen([*command, "--qztap", qztap, *args], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def node_example(name):
    """The example in a project of its own, which has the package in its node_modules."""
    project = os.path.join(server.base, "node")
    os.makedirs(f"{project}/node_modules")
    os.symlink(f"{CLIENTS}/node", f"{project}/node_modules/qztap")
    shutil.copy(f"../../examples/{name}", project)
    return example(["node", f"{project}/{name}"])


def word_error_rate(reference, hypothesis):
    ref, hyp = reference.split(), hypothesis.split()
    row = list(range(len(hyp) + 1))
    for i, word in enumerate(ref, 1):
        diagonal, row[0] = row[0], i
        for j, guess in enumerate(hyp, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (word != guess))
    return row[-1] / len(ref)


def captions():
    """Python's and Node's captions at once, each against the recogniser on the file."""
    ids = open(f"{SPEECH}/fileids").read().split()
    run("sox", *(f"{SPEECH}/{i}.wav" for i in ids), speech := f"{server.base}/speech.wav")
    on_file = run("pocketsphinx_continuous", "-infile", speech, "-logfn", "/dev/null")
    examples = [example([sys.executable, "../../examples/live_captions.py"]),
                node_example("captions.mjs")]
    for captioner in examples:
        assert "CAPTURE_STARTED" in captioner.stderr.readline()
    subprocess.run(TO_SINK.format(speech, "pad 0 1"), shell=True, env=env, check=True)
    truth = re.sub(r"</?s>|\(.*?\)", "", open(f"{SPEECH}/transcription").read())
    file_wer = word_error_rate(truth, on_file)
    print(f"file:\n{on_file}word error rate {file_wer:.1%}")
    for captioner in examples:
        captioner.send_signal(signal.SIGINT)
        live = captioner.communicate(timeout=60)[0]
        live_wer = word_error_rate(truth, live)
        print(f"{captioner.args[1]}:\n{live}word error rate {live_wer:.1%}")
        # The recogniser alone swings 7 points with the silence before the speech (0 to 3 s).
        assert captioner.returncode == 0 and abs(live_wer - file_wer) <= 0.10 and file_wer < 0.5


def level():
    """Levels of a -9.03 dBFS tone, across a stop of the capture and the restart."""
    tone = subprocess.Popen(TO_SINK.format("-n", "synth 30 sine 440 vol 0.5"), shell=True,
                            env=env, start_new_session=True)
    meter = example([sys.executable, "../../examples/level_meter.py"], "--seconds", "3")
    first = meter.stdout.readline()  # a second of the tone: now stop qztap's stream
    server.kill_recording()
    output, errors = meter.communicate(timeout=30)
    os.killpg(tone.pid, signal.SIGTERM)
    tone.wait()
    levels = [float(level) for level in re.findall(r"level +(\S+) dBFS", first + output)]
    assert meter.returncode == 0 and len(levels) == 3 and all(abs(l + 9.03) < 0.3 for l in levels)
    assert errors.count("CAPTURE_STARTED") == 2 and "again in 0.5 s" in errors, errors
    assert not run("pactl", "list", "short", "source-outputs")


try:
    {"captions": captions, "level": level}[which]()
finally:
    server.stop()
