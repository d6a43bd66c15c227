"""The asyncio session: the same API as ``Session``, awaited."""

import asyncio
import subprocess
from typing import AsyncIterator, Mapping, Optional

from . import _core
from .errors import HelperNotFoundError, ZentrellAudioError


class AsyncSession:
    """One recording with the helper, for asyncio.

    ``async with AsyncSession() as s:`` starts the helper; leaving the block,
    also by an exception or a cancellation, stops it and waits for it (it is
    killed when it does not end in time, or when the wait is cancelled again).
    ``async for chunk in s`` yields chunks until the session ends.
    """

    def __init__(self, helper: Optional[str] = None, *, env: Optional[Mapping[str, str]] = None,
                 read_interval: float = _core.READ_INTERVAL):
        self._path = _core.resolve_helper(helper)
        self._read_interval = read_interval
        self._env = None if env is None else dict(env)
        self._transport: Optional[asyncio.SubprocessTransport] = None
        self._core = _core.Core(self._path)
        self._changed = asyncio.Event()
        self._finished = asyncio.Event()

    async def open(self) -> "AsyncSession":
        if self._transport is not None:
            return self
        loop = asyncio.get_running_loop()
        try:
            self._transport, _ = await loop.subprocess_exec(
                lambda: _Protocol(self), self._path, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, env=self._env)
        except OSError as e:
            raise HelperNotFoundError(self._path, e.strerror or str(e)) from e
        self._stdin = self._transport.get_pipe_transport(0)
        return self

    @property
    def pid(self) -> Optional[int]:
        return self._transport.get_pid() if self._transport else None

    @property
    def returncode(self) -> Optional[int]:
        return self._transport.get_returncode() if self._transport else None

    @property
    def counts(self) -> dict:
        return dict(self._core.counts)

    async def prepare(self, timeout: Optional[float] = None) -> None:
        await self._command("prepare", lambda core, _: core.prepared, timeout)

    async def start(self, timeout: Optional[float] = None) -> None:
        await self._command("start", _next_state("recording"), timeout)

    async def resume(self, timeout: Optional[float] = None) -> None:
        await self._command("resume", _next_state("recording"), timeout)

    async def pause(self, timeout: Optional[float] = None) -> None:
        await self._command("pause", _next_state("paused"), timeout)

    async def stop(self, timeout: Optional[float] = _core.STOP_TIMEOUT) -> None:
        await self._command("stop", None, timeout)

    async def close(self, timeout: float = _core.STOP_TIMEOUT) -> None:
        """Stops the helper if it runs, waits for it (killing it after
        `timeout` seconds). Never raises the session's errors."""
        if self._transport is None:
            return
        self._write(b'{"command":"stop"}\n', close=True)
        try:
            await asyncio.wait_for(asyncio.shield(self._finished.wait()), timeout)
        except asyncio.TimeoutError:
            self._kill()
            await self._finished.wait()
        except asyncio.CancelledError:
            # Cancelled while stopping: end it now, but still reap it.
            self._kill()
            await asyncio.shield(self._finished.wait())
            raise

    async def kill(self) -> None:
        """Ends the helper at once, without its last audio."""
        self._kill()
        await self.close()

    def _kill(self) -> None:
        if self._transport is not None and self._transport.get_returncode() is None:
            self._transport.kill()

    async def __aenter__(self) -> "AsyncSession":
        return await self.open()

    async def __aexit__(self, exc_type, exc, tb) -> None:
        await self.close()
        failure = self._core.unreported_failure()
        if exc_type is None and failure is not None:
            self._core.failure_raised = True
            raise failure

    def __aiter__(self) -> AsyncIterator[_core.Chunk]:
        return self.chunks()

    async def chunks(self, timeout: Optional[float] = None) -> AsyncIterator[_core.Chunk]:
        """Yields chunks until the session has ended and every chunk is taken;
        then raises the session's error, if there was one."""
        if self._transport is None:
            raise ZentrellAudioError("the session is not open")
        core = self._core
        while True:
            await self._until(lambda: core.chunks or core.finished, timeout, "no audio from the helper")
            if not core.chunks:
                failure = core.take_failure()
                if failure is not None:
                    raise failure
                return
            yield core.chunks.popleft()

    def _write(self, line: bytes, close: bool = False) -> None:
        if self._stdin.is_closing():
            return
        self._stdin.write(line)  # a helper that is gone tells so by its output
        if close:
            self._stdin.close()

    def _changed_now(self) -> None:
        changed, self._changed = self._changed, asyncio.Event()
        changed.set()

    async def _until(self, done, timeout: Optional[float], what: str) -> None:
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        while not done():
            left = None if deadline is None else deadline - loop.time()
            try:
                await asyncio.wait_for(self._changed.wait(), left)
            except asyncio.TimeoutError:
                raise TimeoutError(what) from None

    async def _command(self, word: str, answered, timeout: Optional[float]) -> None:
        await self.open()
        core = self._core
        before = dict(core.states)
        self._write(_core.command_line(word))
        await self._until(lambda: core.finished or answered and (answered(core, before) or core.errors),
                          timeout, f"no answer from the helper to {word!r}")
        failure = core.command_outcome(word, answered, before)
        if failure is not None:
            raise failure


class _Protocol(asyncio.SubprocessProtocol):
    """Takes the helper's output in batches: after each read, reading rests
    for the session's read interval."""

    def __init__(self, session: AsyncSession):
        self.session = session
        self.resume = None

    def connection_made(self, transport) -> None:
        self.transport = transport

    def pipe_data_received(self, fd: int, data: bytes) -> None:
        core = self.session._core
        if fd == 2:
            if len(core.stderr) < 1 << 16:
                core.stderr += data
            return
        core.feed(data)
        self.session._changed_now()
        pipe = self.transport.get_pipe_transport(1)
        # A full read means a backlog: read on at once.
        if pipe is not None and self.session._read_interval > 0 and len(data) < _core.FULL_READ:
            pipe.pause_reading()
            self.resume = asyncio.get_running_loop().call_later(
                self.session._read_interval, pipe.resume_reading)

    def connection_lost(self, exc) -> None:
        # Every pipe is closed and the process has exited.
        if self.resume is not None:
            self.resume.cancel()
        self.session._core.finish(self.transport.get_returncode())
        self.transport.close()
        self.session._finished.set()
        self.session._changed_now()


def _next_state(word):
    return lambda core, before: core.states[word] > before[word]
