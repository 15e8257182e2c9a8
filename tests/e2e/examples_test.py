"""soundserver.py --sink NAME -- python3 examples_test.py parent|captions QZTAP"""

import os
import re
import signal
import socket
import subprocess
import sys

SPEECH = "/usr/share/pocketsphinx/test/data/librivox"  # Debian's pocketsphinx-testdata
TO_SINK = ("sox {} -t raw -r 48000 -c 2 -e floating-point -b 32 - {} "
           "| pacat --raw --format=float32le --rate=48000 --channels=2")
which, qztap, temp = *sys.argv[1:], os.environ["XDG_RUNTIME_DIR"]  # the server's own, removed
run = lambda *argv: subprocess.run(argv, capture_output=True, text=True, check=True).stdout  # noqa


def example(name, *args):
    return subprocess.Popen([sys.executable, f"../../examples/{name}", "--qztap", qztap, *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def word_error_rate(reference, hypothesis):
    ref, hyp = reference.split(), hypothesis.split()
    row = list(range(len(hyp) + 1))
    for i, word in enumerate(ref, 1):
        diagonal, row[0] = row[0], i
        for j, guess in enumerate(hyp, 1):
            diagonal, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, diagonal + (word != guess))
    return row[-1] / len(ref)


if which == "captions":
    ids = open(f"{SPEECH}/fileids").read().split()
    run("sox", *(f"{SPEECH}/{i}.wav" for i in ids), speech := f"{temp}/speech.wav")
    on_file = run("pocketsphinx_continuous", "-infile", speech, "-logfn", "/dev/null")
    captions = example("live_captions.py")
    assert "CAPTURE_STARTED" in captions.stderr.readline()
    subprocess.run(TO_SINK.format(speech, "pad 0 1"), shell=True, check=True)
    captions.send_signal(signal.SIGINT)
    live = captions.communicate(timeout=60)[0]
    truth = re.sub(r"</?s>|\(.*?\)", "", open(f"{SPEECH}/transcription").read())
    file_wer, live_wer = word_error_rate(truth, on_file), word_error_rate(truth, live)
    print(f"file:\n{on_file}live:\n{live}word error rate: live {live_wer:.1%}, file {file_wer:.1%}")
    # The recogniser alone swings 7 points with the silence before the speech (0 to 3 s).
    assert captions.returncode == 0 and abs(live_wer - file_wer) <= 0.10 and file_wer < 0.5
else:
    tone = subprocess.Popen(TO_SINK.format("-n", "synth 30 sine 440 vol 0.5"), shell=True,
                            start_new_session=True)
    parent = example("qztap_parent.py", "--seconds", "3")
    first = parent.stdout.readline()  # a second of the -9.03 dBFS tone: now kill qztap's stream
    run("pactl", "load-module", "module-cli-protocol-unix", f"socket={temp}/cli")
    with socket.socket(socket.AF_UNIX) as server:
        server.connect(f"{temp}/cli")
        stream = run("pactl", "list", "short", "source-outputs").split()[0]
        server.sendall(f"kill-source-output {stream}\n".encode())
        server.shutdown(socket.SHUT_WR)
        server.recv(4096)
    output, errors = parent.communicate(timeout=30)
    os.killpg(tone.pid, signal.SIGTERM)
    levels = [float(level) for level in re.findall(r"level +(\S+) dBFS", first + output)]
    assert parent.returncode == 0 and len(levels) == 3 and all(abs(l + 9.03) < 0.3 for l in levels)
    assert errors.count("CAPTURE_STARTED") == 2 and "again in 0.5 s" in errors, errors
    assert errors.endswith("SIGPIPE\n") and not run("pactl", "list", "short", "source-outputs")
