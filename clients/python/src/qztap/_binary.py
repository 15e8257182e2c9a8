import errno
import os
import platform
import shutil
import sys
from typing import Optional

from ._errors import QztapError

# Named as Node names them, so that both packages name platforms alike.
_ARCHITECTURES = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64"}
_MACHINE = platform.machine().lower()
PLATFORM = f"{sys.platform}-{_ARCHITECTURES.get(_MACHINE, _MACHINE)}"
# Where the wheel for a platform puts its qztap.
BUNDLED = os.path.join(os.path.dirname(__file__), "bin",
                       "qztap.exe" if sys.platform == "win32" else "qztap")
_CANNOT_RUN = {
    errno.ENOENT: "it does not exist",
    errno.EACCES: "it is not executable (chmod 755 gives it back)",
    errno.ENOEXEC: f"it is a program for another kind of machine, not for this {PLATFORM}",
}


def find_binary(binary: Optional[str]) -> str:
    """The qztap to run: `binary`, else $QZTAP_BINARY, else the one bundled in this
    package (the wheels for Linux, macOS and Windows carry one), else qztap on PATH."""
    found = (binary or os.environ.get("QZTAP_BINARY")
             or (BUNDLED if os.path.isfile(BUNDLED) else None) or shutil.which("qztap"))
    if not found:
        raise QztapError(
            f"no qztap found for {PLATFORM}: neither binary nor QZTAP_BINARY is set, this "
            "installation of the package bundles none, and PATH has none; pip installs a "
            "package that bundles one on Linux (x86_64 and aarch64, glibc 2.31 or newer), "
            "macOS 13 or newer and 64-bit Windows; elsewhere build qztap from its sources "
            "and put it on PATH, or name it with binary or QZTAP_BINARY")
    return found


def cannot_run(binary: str, error: OSError) -> QztapError:
    """The error for a qztap that the system would not start."""
    why = _CANNOT_RUN.get(error.errno or 0, str(error))
    return QztapError(f"cannot run qztap at {binary}: {why}")
