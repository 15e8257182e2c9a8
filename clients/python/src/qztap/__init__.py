"""Starts qztap, the system-audio tap, and reads its 16 kHz mono float samples:

    with qztap.start() as tap:
        for samples in tap:
            ...
"""

from ._errors import (NothingToCaptureError, OutputError, PermissionError, QztapError,
                      StartError, StreamStoppedError)
from ._samples import read_samples
from ._tap import Restart, Tap, start

__all__ = ["start", "Tap", "Restart", "read_samples", "QztapError", "PermissionError",
           "NothingToCaptureError", "StartError", "StreamStoppedError", "OutputError"]
