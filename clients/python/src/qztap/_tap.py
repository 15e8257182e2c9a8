from __future__ import annotations

import array
import os
import subprocess
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable, Generic, Iterator, Literal, Optional, TypeVar, Union, overload

from ._binary import cannot_run, find_binary
from ._errors import QztapError, StreamStoppedError, exit_error
from ._samples import chunk_bytes, read_samples

KILL_AFTER = 5.0  # seconds: a qztap still running this long after stop() is killed

Samples = TypeVar("Samples")


@dataclass(frozen=True)
class Restart:
    """How qztap is started again after its capture stopped (STREAM_STOPPED, exit 5):
    after `first_delay` seconds, each further time in a row twice as long up to
    `longest_delay`, at most `max_restarts` times in a row; a run that lasted
    `steady_run` seconds starts the back-off over."""

    first_delay: float = 0.5
    longest_delay: float = 8.0
    max_restarts: int = 5
    steady_run: float = 10.0


class _Run:
    """One qztap process; its status lines are read on a thread of their own, so that
    they never wait behind the audio."""

    def __init__(self, binary: str, on_status: Callable[[Optional[str]], None]):
        try:
            # A session of its own (POSIX), so that Ctrl-C reaches only this program,
            # which then stops qztap by closing the pipe.
            self.process = subprocess.Popen([binary], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                            bufsize=0, start_new_session=True)
        except OSError as error:
            raise cannot_run(binary, error) from error
        self.began, self.status_line = time.monotonic(), ""
        self.status_read = threading.Event()
        self._on_status = on_status
        threading.Thread(target=self._read_status, daemon=True).start()

    def _read_status(self) -> None:
        try:
            for raw in self.process.stderr:  # type: ignore[union-attr]
                line = raw.decode(errors="replace").rstrip("\r\n")
                if not line.startswith("CAPTURE_STARTED"):
                    self.status_line = line
                self._on_status(line)
        finally:  # also when a caller's on_status raised: wait() must not hang
            self.process.stderr.close()  # type: ignore[union-attr]
            self.status_read.set()
            self._on_status(None)

    def close_output(self) -> None:
        """Ends qztap by closing its output: SIGPIPE (exit code 141 on Windows), at once
        even while nothing plays. The descriptor becomes /dev/null rather than closed,
        so that a read another thread has under way ends with end-of-file instead of
        reading whichever file takes the number next (the pipe closes, and qztap learns
        of it, once that read has returned)."""
        null = os.open(os.devnull, os.O_RDONLY)
        try:
            os.dup2(null, self.process.stdout.fileno(), inheritable=False)  # type: ignore[union-attr]
        finally:
            os.close(null)

    def wait(self, timeout: Optional[float] = None) -> int:
        """The exit status, once qztap has ended (killed after `timeout` seconds) and all
        its status lines are read."""
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            code = self.process.wait()
        self.status_read.wait()
        return code


class Tap(Generic[Samples]):
    """A running qztap. Iterate it once: it yields chunks of 16 kHz mono samples until
    stopped, and raises the QztapError that ended it otherwise."""

    def __init__(self, binary: Optional[str], chunk: int, restart: Union[bool, Restart],
                 numpy: bool, on_status: Optional[Callable[[str], None]],
                 on_restart: Optional[Callable[[int, float, StreamStoppedError], None]]):
        chunk_bytes(chunk)
        self._binary, self._chunk, self._numpy = find_binary(binary), chunk, numpy
        self._restart = Restart() if restart is True else restart or None
        self._restarts, self._delay = 0, self._restart.first_delay if self._restart else 0.0
        self._on_status, self._on_restart = on_status, on_restart
        self._lock, self._stopped, self._started = threading.Lock(), threading.Event(), threading.Event()
        self._reading = False
        #: qztap's start line, once its capture runs.
        self.start_line: Optional[str] = None
        self._first_run = self._run = _Run(self._binary, self._status)

    @property
    def pid(self) -> int:
        """The process id of the qztap running now."""
        return self._run.process.pid

    def _status(self, line: Optional[str]) -> None:
        if line is None or line.startswith("CAPTURE_STARTED") and self.start_line is None:
            self.start_line = self.start_line or line
            self._started.set()  # the first start line, or the end of the first run's lines
        if line is not None and self._on_status:
            self._on_status(line)

    def wait_started(self, timeout: Optional[float] = None) -> str:
        """The start line, once capture runs; raises the error if qztap ends first, and
        TimeoutError after `timeout` seconds."""
        if not self._started.wait(timeout):
            raise TimeoutError("qztap has not started capturing yet")
        if self.start_line is None:
            error = exit_error(self._first_run.wait(), self._first_run.status_line)
            # Not qztap's own exit code: a signal, the stop's one included.
            if type(error) is QztapError and self._stopped.is_set():
                error = QztapError("qztap was stopped before it started")
            raise error
        return self.start_line

    def __iter__(self) -> Iterator[Samples]:
        try:
            while True:
                run, self._reading = self._run, True
                yield from read_samples(run.process.stdout, self._chunk, self._numpy)  # type: ignore[arg-type]
                with self._lock:  # stop() may be turning the descriptor into /dev/null
                    run.process.stdout.close()  # type: ignore[union-attr]
                    self._reading = False
                code = run.wait()
                if self._stopped.is_set():
                    return
                error = exit_error(code, run.status_line)
                if not (self._restart and isinstance(error, StreamStoppedError)):
                    raise error
                delay = self._next_delay(run, code)
                if self._on_restart:
                    self._on_restart(self._restarts, delay, error)
                if self._stopped.wait(delay):
                    return
                with self._lock:
                    if self._stopped.is_set():
                        return
                    self._run = _Run(self._binary, self._status)
        finally:
            self._reading = False
            self.stop()  # also when the loop is left early

    def _next_delay(self, run: _Run, code: int) -> float:
        """The wait before the next restart; raises once there have been enough."""
        restart = self._restart
        assert restart
        if time.monotonic() - run.began >= restart.steady_run:
            self._restarts, self._delay = 0, restart.first_delay
        if self._restarts == restart.max_restarts:
            raise exit_error(code, run.status_line,
                             f"gave up after {self._restarts} restarts in a row")
        delay, self._restarts = self._delay, self._restarts + 1
        self._delay = min(delay * 2, restart.longest_delay)
        return delay

    def stop(self) -> None:
        """Stops qztap by closing its output; returns once it has exited. Safe from any
        thread, and more than once."""
        with self._lock:
            self._stopped.set()
            run = self._run
            if not run.process.stdout.closed:  # type: ignore[union-attr]
                run.close_output()
        run.wait(KILL_AFTER)
        with self._lock:
            if not self._reading:
                run.process.stdout.close()  # type: ignore[union-attr]

    def __enter__(self) -> Tap[Samples]:
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.stop()


@overload
def start(binary: Optional[str] = None, *, chunk: int = 320, restart: Union[bool, Restart] = False,
          numpy: Literal[False] = False, on_status: Optional[Callable[[str], None]] = None,
          on_restart: Optional[Callable[[int, float, StreamStoppedError], None]] = None,
          ) -> Tap[array.array[float]]: ...


@overload
def start(binary: Optional[str] = None, *, chunk: int = 320, restart: Union[bool, Restart] = False,
          numpy: Literal[True], on_status: Optional[Callable[[str], None]] = None,
          on_restart: Optional[Callable[[int, float, StreamStoppedError], None]] = None,
          ) -> Tap[Any]: ...


def start(binary: Optional[str] = None, *, chunk: int = 320, restart: Union[bool, Restart] = False,
          numpy: bool = False, on_status: Optional[Callable[[str], None]] = None,
          on_restart: Optional[Callable[[int, float, StreamStoppedError], None]] = None,
          ) -> Tap[Any]:
    """Starts qztap (`binary`, else $QZTAP_BINARY, else the one bundled in this package,
    else qztap on PATH; raises a QztapError if there is none, or it cannot run). The tap
    yields chunks of `chunk` samples, as array('f') or, if `numpy`, as float32 numpy
    arrays. `restart` (True, or a Restart) starts qztap again after its capture
    stopped; `on_restart(attempt, delay, error)` is told each time. `on_status` gets
    every status line, on a thread of its own."""
    return Tap(binary, chunk, restart, numpy, on_status, on_restart)
