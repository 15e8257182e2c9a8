import array
import sys
from typing import Any, Iterator, Optional, Protocol


class Readable(Protocol):
    """What samples are read from: a binary file, pipe or socket."""

    def readinto(self, buffer: memoryview) -> Optional[int]: ...


def read_samples(source: Readable, chunk: int = 320, numpy: bool = False) -> Iterator[Any]:
    """Cuts a stream of qztap's bytes (float32, little-endian) into chunks of exactly
    `chunk` samples, whatever sizes its reads come in: array('f'), or float32 numpy
    arrays if `numpy`. A tail shorter than a chunk when the stream ends is dropped."""
    size = chunk_bytes(chunk)
    convert = _numpy_samples() if numpy else _array_samples
    while True:
        pending = bytearray(size)
        view, filled = memoryview(pending), 0
        while filled < size:
            count = source.readinto(view[filled:])
            if not count:
                return
            filled += count
        yield convert(pending)


def chunk_bytes(chunk: int) -> int:
    """The size in bytes of `chunk` samples; raises unless that is a whole number."""
    if not isinstance(chunk, int) or chunk < 1:
        raise ValueError(f"chunk must be a whole number of samples, not {chunk!r}")
    return chunk * 4


def _array_samples(data: bytearray) -> "array.array[float]":
    samples = array.array("f", data)
    if sys.byteorder == "big":
        samples.byteswap()
    return samples


def _numpy_samples() -> Any:
    import numpy  # only when asked for: the package itself needs nothing beyond Python

    return lambda data: numpy.frombuffer(data, dtype="<f4").astype(numpy.float32, copy=False)
