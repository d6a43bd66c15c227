"""The asyncio session: the same API as ``Session``, awaited."""

import asyncio
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

    def __init__(self, helper: Optional[str] = None, *, env: Optional[Mapping[str, str]] = None):
        self._path = _core.resolve_helper(helper)
        self._env = None if env is None else dict(env)
        self._process: Optional[asyncio.subprocess.Process] = None
        self._core = _core.Core(self._path)
        self._changed: Optional[asyncio.Condition] = None
        self._reader: Optional[asyncio.Task] = None

    async def open(self) -> "AsyncSession":
        if self._process is not None:
            return self
        try:
            self._process = await asyncio.create_subprocess_exec(
                self._path, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
                stderr=asyncio.subprocess.PIPE, env=self._env)
        except OSError as e:
            raise HelperNotFoundError(self._path, e.strerror or str(e)) from e
        self._changed = asyncio.Condition()
        self._reader = asyncio.create_task(self._read_output())
        return self

    @property
    def pid(self) -> Optional[int]:
        return self._process.pid if self._process else None

    @property
    def returncode(self) -> Optional[int]:
        return self._process.returncode if self._process else None

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
        """Stops the helper if it runs, waits for it and ends the reader task.
        Never raises the session's errors."""
        process = self._process
        if process is None:
            return
        self._write(b'{"command":"stop"}\n', close=True)
        try:
            await asyncio.wait_for(asyncio.shield(self._reader), timeout)
        except asyncio.TimeoutError:
            process.kill()
            await self._reader
        except asyncio.CancelledError:
            # Cancelled while stopping: end it now, but still reap it.
            process.kill()
            await asyncio.shield(self._reader)
            raise

    async def kill(self) -> None:
        if self._process is not None and self._process.returncode is None:
            self._process.kill()
        await self.close()

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
        if self._process is None:
            raise ZentrellAudioError("the session is not open")
        core = self._core
        while True:
            if not (core.chunks or core.finished):
                async with self._changed:
                    await asyncio.wait_for(
                        self._changed.wait_for(lambda: core.chunks or core.finished), timeout)
            if not core.chunks:
                failure = core.take_failure()
                if failure is not None:
                    raise failure
                return
            yield core.chunks.popleft()

    def _write(self, line: bytes, close: bool = False) -> None:
        stdin = self._process.stdin
        if stdin.is_closing():
            return
        try:
            stdin.write(line)
            if close:
                stdin.close()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the helper is gone; its end is told by its output

    async def _command(self, word: str, answered, timeout: Optional[float]) -> None:
        await self.open()
        core = self._core
        before = dict(core.states)
        self._write(_core.command_line(word))

        def done():
            return core.finished or answered and (answered(core, before) or core.errors)

        async with self._changed:
            try:
                await asyncio.wait_for(self._changed.wait_for(done), timeout)
            except asyncio.TimeoutError:
                raise TimeoutError(f"no answer from the helper to {word!r}") from None
        if answered is None:
            failure = core.unreported_failure()
            core.failure_raised = True
        else:
            failure = core.take_failure() if (core.errors or core.finished) else None
        if failure is not None:
            raise failure

    async def _read_output(self) -> None:
        process, core = self._process, self._core

        async def stderr():
            while True:
                data = await process.stderr.read(1 << 16)
                if not data:
                    return
                if len(core.stderr) < 1 << 16:
                    core.stderr += data

        collect = asyncio.create_task(stderr())
        try:
            while True:
                data = await process.stdout.read(1 << 16)
                if not data:
                    break
                core.feed(data)
                async with self._changed:
                    self._changed.notify_all()
            await collect
            returncode = await process.wait()
        finally:
            collect.cancel()
        core.finish(returncode)
        async with self._changed:
            self._changed.notify_all()


def _next_state(word):
    return lambda core, before: core.states[word] > before[word]
