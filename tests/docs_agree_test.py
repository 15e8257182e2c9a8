"""Every status keyword and exit code that the code defines is documented, with the
same code, in the manual page, `qztap --help` and the README.

Usage: docs_agree_test.py SOURCE_DIR QZTAP_BINARY MAN_PAGE"""

import re
import subprocess
import sys

source, binary, man_page = sys.argv[1:]


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


# The keyword each exit status writes, and its number, as the code defines them.
prefixes = dict(re.findall(r'case ExitStatus::(\w+):\s*return "([A-Z_]+)', read(
    f"{source}/status/status_log.cc")))
numbers = dict(re.findall(r"(\w+) = (\d+),", read(f"{source}/status/exit_status.h")))
fatal = {keyword: numbers[status] for status, keyword in prefixes.items()}
started = re.search(r'elog\("(CAPTURE_STARTED[^"]*)"\)', read(f"{source}/capture/audio_tap.cc"))[1]
assert fatal and len(fatal) == len(numbers) - 1, (prefixes, numbers)  # all but exit 0

documents = {
    "man page": subprocess.run(["groff", "-man", "-Tascii", "-P-cbou", "-rLL=300n", man_page],
                               capture_output=True, text=True, check=True).stdout,
    "--help": subprocess.run([binary, "--help"], capture_output=True, text=True,
                             check=True).stdout,
    "README": read(f"{source}/README.md"),
}
missing = []
for name, text in documents.items():
    lines = text.splitlines()
    if not any(started in line for line in lines):
        missing.append(f"{name}: {started}")
    # Each keyword on a line with its code and with no other (SIGPIPE with the shell's 141).
    codes = {**fatal, "SIGPIPE": "141"}
    for keyword, code in codes.items():
        named = [set(re.findall(r"\b\d+\b", line)) & set(codes.values())
                 for line in lines if keyword in line]
        if {code} not in named or any(found - {code} for found in named):
            missing.append(f"{name}: {keyword} with {code} and no other code")
print("\n".join(missing) or f"all {len(fatal) + 2} statuses agree in {', '.join(documents)}")
sys.exit(1 if missing else 0)
