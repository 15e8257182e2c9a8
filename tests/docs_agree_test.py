"""docs_agree_test.py SOURCE_DIR QZTAP MAN_PAGE: qztap.1, --help and README give each status."""

import re
import subprocess
import sys

source, binary, man_page = sys.argv[1:]
read = lambda path: open(f"{source}/{path}", encoding="utf-8").read()  # noqa: E731
run = lambda *argv: subprocess.run(argv, capture_output=True, text=True, check=True).stdout  # noqa

# Keyword and exit code of each status as the code defines them; a reader gone is SIGPIPE,
# the shell's 141, which is also the exit code where no SIGPIPE exists.
prefixes = re.findall(r'ExitStatus::(\w+):\s*return "([A-Z_]+)', read("status/status_log.cc"))
numbers = dict(re.findall(r"(\w+) = (\d+),", read("status/exit_status.h")))
codes = {keyword: numbers[status] for status, keyword in prefixes} | {"SIGPIPE": numbers["ReaderGone"]}
started = re.search(r'elog\("(CAPTURE_STARTED[^"]*)"\)', read("capture/audio_tap.cc"))[1]
assert len(codes) == len(numbers) - 1, (prefixes, numbers)  # every status but exit 0
# How far behind a reader may fall: the backlog's capacity, in seconds of output.
seconds = re.search(r"BACKLOG_CAPACITY = (\d+) \*", read("audio/output_backlog.h"))[1]
kept = f"{int(seconds) // 60} minutes"

missing = []
for name, text in {"man page": run("groff", "-man", "-Tascii", "-P-cbou", "-rLL=300n", man_page),
                   "--help": run(binary, "--help"), "README": read("README.md")}.items():
    missing += [f"{name}: {started}"] * (started not in text)
    missing += [f"{name}: a reader {kept} behind"] * (kept not in " ".join(text.split()))
    for keyword, code in codes.items():
        named = [set(re.findall(r"\b\d+\b", line)) & set(codes.values())
                 for line in text.splitlines() if keyword in line]
        if {code} not in named or any(found - {code} for found in named):
            missing.append(f"{name}: {keyword} not with {code} alone")
assert not missing, "\n".join(missing)
