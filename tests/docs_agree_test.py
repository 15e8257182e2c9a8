"""docs_agree_test.py SOURCE_DIR QZTAP MAN_PAGE: the README, doc/ and qztap.1 say what
`qztap --help` says, which prints each status line and code from what qztap ends by."""

import glob
import re
import subprocess
import sys

source, binary, man_page = sys.argv[1:]
read = lambda path: open(path, encoding="utf-8").read()  # noqa: E731
run = lambda *argv: subprocess.run(argv, capture_output=True, text=True, check=True).stdout  # noqa

# The contract as the binary states it: its rows, `  LINE   [exit N: ]meaning`, and prose.
usage = run(binary, "--help")
rows = re.findall(r"^  ([A-Z_]+)(.*?) {2,}(?:exit (\d+):)?", usage, re.M)
started = next(keyword + rest for keyword, rest, code in rows if not code)
codes = {keyword: code for keyword, _, code in rows if code}
codes["SIGPIPE"] = re.search(r"SIGPIPE \(exit status (\d+)", usage)[1]
kept = re.search(r"up to (\d+ minutes)", usage)[1]
assert started.startswith("CAPTURE_STARTED ") and len(codes) > 1, usage

readme = read(f"{source}/README.md")
documents = {"man page": run("groff", "-man", "-Tascii", "-P-cbou", "-rLL=300n", man_page),
             "README": readme}
missing = []
for name, text in documents.items():
    missing += [f"{name}: {started}"] * (started not in text)
    missing += [f"{name}: a reader {kept} behind"] * (kept not in " ".join(text.split()))
# Every document: a line that names a status names its code and no other status's.
docs = {path.removeprefix(f"{source}/"): read(path) for path in glob.glob(f"{source}/doc/*.md")}
for name, text in (documents | docs).items():
    for keyword, code in codes.items():
        named = [set(re.findall(r"\b\d+\b", line)) & set(codes.values())
                 for line in text.splitlines() if keyword in line]
        if (name in documents and {code} not in named) or any(found - {code} for found in named):
            missing.append(f"{name}: {keyword} not with {code} alone")
# The README's table names no status the binary does not have.
table = set(re.findall(r"^\|[^|]*\| `([A-Z_]+)", readme, re.M))
missing += [f"README's table: {keyword} unknown" for keyword in table - set(codes) - {"CAPTURE_STARTED"}]
assert not missing, "\n".join(missing)
