import os
import platform
import shutil
import sys
from typing import Optional

from ._errors import QztapError

# Named as Node names them, so that one release layout fills both packages.
_ARCHITECTURES = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64"}


def find_binary(binary: Optional[str]) -> str:
    """The qztap to run: `binary`, else the one bundled in this package for this
    platform (bin/<platform>-<arch>/), else qztap on PATH."""
    if binary:
        return binary
    name = "qztap.exe" if sys.platform == "win32" else "qztap"
    machine = platform.machine().lower()
    bundled = os.path.join(os.path.dirname(__file__), "bin",
                           f"{sys.platform}-{_ARCHITECTURES.get(machine, machine)}", name)
    found = bundled if os.path.isfile(bundled) else shutil.which("qztap")
    if not found:
        raise QztapError("qztap not found: none is bundled for this platform, nor on PATH")
    return found
