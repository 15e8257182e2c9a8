import re
import signal
from typing import Optional


class QztapError(Exception):
    """qztap ended other than by being stopped."""

    def __init__(self, message: str, exit_code: Optional[int] = None, status_line: str = ""):
        super().__init__(f"{message} ({status_line})" if status_line else message)
        #: qztap's exit code; negative for the signal that killed it; None if it never ran.
        self.exit_code = exit_code
        #: The status line qztap wrote as it ended, or "".
        self.status_line = status_line


class PermissionError(QztapError):  # noqa: A001 (qztap's name for exit 2)
    """Exit 2: no sound server reachable, or (macOS) no Screen Recording permission."""


class NothingToCaptureError(QztapError):
    """Exit 3: no output device to capture."""


class StartError(QztapError):
    """Exit 4: the capture stream could not start."""


class StreamStoppedError(QztapError):
    """Exit 5: the running capture stopped, e.g. the sound server went away."""


class OutputError(QztapError):
    """Exit 6: qztap's output failed."""


_BY_EXIT_CODE = {
    2: (PermissionError,
        "no access to the audio: no sound server is reachable, or (macOS) the app that "
        "started this program lacks the Screen Recording permission; grant it in System "
        "Settings > Privacy & Security > Screen Recording, then start the app again"),
    3: (NothingToCaptureError, "nothing to capture: there is no output device"),
    4: (StartError, "the capture could not start"),
    5: (StreamStoppedError, "the capture stopped, e.g. the sound server went away"),
    6: (OutputError, "qztap could not write its output"),
}


def _loader_refusal(code: int, status_line: str) -> Optional[str]:
    """What it means when the system's loader refused to start qztap: it ends a program
    it cannot load with 127, or with 1 when the C library is older than the program
    needs; qztap itself uses neither code."""
    if code == 127:
        return ("the system could not load qztap: a library it needs is missing (on Linux, "
                "libpulse: install libpulse0 or pulseaudio-libs)")
    if code == 1 and re.search(r"GLIBC_[\d.]+' not found", status_line):
        return ("the system could not load qztap: its C library is older than qztap needs (the "
                "released qztap needs glibc 2.31 or newer: Debian 11, Ubuntu 20.04, or later)")
    return None


def exit_error(code: int, status_line: str, note: str = "") -> QztapError:
    """The error for a run of qztap that ended with `code` (negative: by a signal)."""
    if code in _BY_EXIT_CODE:
        error_class, message = _BY_EXIT_CODE[code]
        return error_class(f"{message}; {note}" if note else message, code, status_line)
    refusal = _loader_refusal(code, status_line)
    if refusal:
        return QztapError(refusal, code, status_line)
    if code < 0:
        return QztapError(f"qztap was killed by {signal.Signals(-code).name}", code, status_line)
    return QztapError(f"qztap ended with exit code {code}", code, status_line)
