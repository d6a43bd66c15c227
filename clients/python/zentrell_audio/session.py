"""The blocking session: one helper process, one reader thread."""

import os
import selectors
import subprocess
import threading
import time
import weakref
from typing import Iterator, Mapping, Optional

from . import _core
from .errors import ZentrellAudioError


def _reap(process: subprocess.Popen) -> None:
    # The session was dropped without close(): do not leave the helper behind.
    if process.poll() is None:
        process.kill()
        process.wait()


class Session:
    """One recording with the helper.

    The commands block until the helper has answered and raise the matching
    exception when it reports an error. Iterating over the session yields
    the audio chunks of both sources as they come, until the session ends.
    A reader thread keeps reading the helper's output meanwhile, so the
    helper never waits for this program; chunks not yet taken stay queued.
    The reader takes the output in batches, every `read_interval` seconds.

    Use it as a context manager: leaving the block stops the helper, waits
    for it to exit and ends the reader thread.
    """

    def __init__(self, helper: Optional[str] = None, *, env: Optional[Mapping[str, str]] = None,
                 read_interval: float = _core.READ_INTERVAL):
        self._path = _core.resolve_helper(helper)
        self._read_interval = read_interval
        self._env = None if env is None else dict(env)
        self._process: Optional[subprocess.Popen] = None
        self._core = _core.Core(self._path)
        self._cond = threading.Condition()
        self._write_lock = threading.Lock()
        self._reader: Optional[threading.Thread] = None

    # -- the process ----------------------------------------------------------

    def open(self) -> "Session":
        """Starts the helper; ``prepare()`` does it when needed."""
        if self._process is not None:
            return self
        try:
            self._process = subprocess.Popen(
                [self._path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=self._env, bufsize=0)
        except OSError as e:
            raise _core.errors.HelperNotFoundError(self._path, e.strerror or str(e)) from e
        self._finalizer = weakref.finalize(self, _reap, self._process)
        self._reader = threading.Thread(target=_read_output,
                                        args=(self._process, self._core, self._cond,
                                              self._read_interval),
                                        name="zentrell-audio-reader", daemon=True)
        self._reader.start()
        return self

    @property
    def pid(self) -> Optional[int]:
        return self._process.pid if self._process else None

    @property
    def returncode(self) -> Optional[int]:
        return self._process.returncode if self._process else None

    @property
    def counts(self) -> dict:
        """Samples received so far per source."""
        with self._cond:
            return dict(self._core.counts)

    # -- commands -------------------------------------------------------------

    def prepare(self, timeout: Optional[float] = None) -> None:
        """Asks the helper to check that it may and can record."""
        self._command("prepare", lambda core, _: core.prepared, timeout)

    def start(self, timeout: Optional[float] = None) -> None:
        """Starts both captures; returns once the helper is recording."""
        self._command("start", _next_state("recording"), timeout)

    def resume(self, timeout: Optional[float] = None) -> None:
        self._command("resume", _next_state("recording"), timeout)

    def pause(self, timeout: Optional[float] = None) -> None:
        """Returns once every chunk captured before the pause is queued."""
        self._command("pause", _next_state("paused"), timeout)

    def stop(self, timeout: Optional[float] = _core.STOP_TIMEOUT) -> None:
        """Stops and waits for the helper to exit. The last chunks stay
        queued for iteration."""
        self._command("stop", None, timeout)

    def close(self, timeout: float = _core.STOP_TIMEOUT) -> None:
        """Stops the helper if it runs, waits for it (killing it after
        `timeout` seconds) and ends the reader thread. Never raises the
        session's errors; safe to call more than once."""
        process = self._process
        if process is None:
            return
        self._write(b'{"command":"stop"}\n', close=True)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        self._reader.join()
        self._finalizer.detach()

    def kill(self) -> None:
        """Ends the helper at once, without its last audio."""
        if self._process is not None and self._process.poll() is None:
            self._process.kill()
        self.close()

    def __enter__(self) -> "Session":
        return self.open()

    def __exit__(self, exc_type, exc, tb) -> None:
        self.close()
        # An error the caller never saw must not vanish with the block.
        failure = self._core.unreported_failure()
        if exc_type is None and failure is not None:
            self._core.failure_raised = True
            raise failure

    # -- audio ----------------------------------------------------------------

    def __iter__(self) -> Iterator[_core.Chunk]:
        return self.chunks()

    def chunks(self, timeout: Optional[float] = None) -> Iterator[_core.Chunk]:
        """Yields chunks until the session has ended and every chunk is taken;
        then raises the session's error, if there was one. `timeout` bounds
        each wait for the next chunk (``TimeoutError``)."""
        if self._process is None:
            raise ZentrellAudioError("the session is not open")
        core = self._core
        queued = core.chunks
        while True:
            # One at a time: a chunk taken is a chunk yielded, also when the
            # caller leaves the loop and iterates again later. A deque's
            # popleft needs no lock; the condition only for waiting.
            try:
                chunk = queued.popleft()
            except IndexError:
                pass
            else:
                yield chunk
                continue
            with self._cond:
                if not self._cond.wait_for(lambda: core.chunks or core.finished, timeout):
                    raise TimeoutError("no audio from the helper")
                if not core.chunks:
                    failure = core.take_failure()
                    if failure is not None:
                        raise failure
                    return
                chunk = core.chunks.popleft()
            yield chunk

    # -- internals ------------------------------------------------------------

    def _write(self, line: bytes, close: bool = False) -> None:
        with self._write_lock:
            stdin = self._process.stdin
            if stdin.closed:
                return
            try:
                stdin.write(line)
            except (BrokenPipeError, ValueError):
                pass  # the helper is gone; its end is told by its output
            finally:
                if close:
                    stdin.close()

    def _command(self, word: str, answered, timeout: Optional[float]) -> None:
        """Sends `word` and waits until `answered` holds, or (with None) until
        the helper has exited."""
        self.open()
        core = self._core
        with self._cond:
            before = dict(core.states)
        self._write(_core.command_line(word))
        deadline = None if timeout is None else time.monotonic() + timeout
        with self._cond:
            while not (core.finished or answered and (answered(core, before) or core.errors)):
                left = None if deadline is None else deadline - time.monotonic()
                if left is not None and left <= 0:
                    raise TimeoutError(f"no answer from the helper to {word!r}")
                self._cond.wait(left)
            failure = core.command_outcome(word, answered, before)
        if failure is not None:
            raise failure


def _next_state(word):
    return lambda core, before: core.states[word] > before[word]


# A pipe holds 64 KiB; a larger read only costs a larger allocation.
_READ_SIZE = 1 << 16


def _read_output(process: subprocess.Popen, core: "_core.Core", cond: threading.Condition,
                 interval: float) -> None:
    """The reader thread: both output pipes until they close, then the exit."""
    with selectors.DefaultSelector() as selector:
        for pipe in (process.stdout, process.stderr):
            selector.register(pipe.fileno(), selectors.EVENT_READ, pipe)
        open_pipes = 2
        while open_pipes:
            rest = True
            for key, _ in selector.select():
                data = os.read(key.fd, _READ_SIZE)
                rest = rest and len(data) < _core.FULL_READ
                if not data:
                    selector.unregister(key.fd)
                    open_pipes -= 1
                    continue
                with cond:
                    if key.data is process.stdout:
                        core.feed(data)
                    elif len(core.stderr) < 1 << 16:
                        core.stderr += data
                    cond.notify_all()
            if rest:
                time.sleep(interval)
    process.stdout.close()
    process.stderr.close()
    returncode = process.wait()
    with cond:
        core.finish(returncode)
        cond.notify_all()
