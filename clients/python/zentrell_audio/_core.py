"""What the sync and asyncio sessions share: finding the helper, reading its
event lines, counting samples, and deciding how a session ended."""

import binascii
import collections
import importlib.resources
import json
import os
import sys
from typing import Deque, Dict, List, Optional

from . import errors

HELPER_NAME = "zentrell-audio-helper"
SAMPLE_RATE = 16000
COMMANDS = ("prepare", "start", "pause", "resume", "stop")
# Stopping can take the helper's 10-second stop deadline plus its 3-second
# exit grace.
STOP_TIMEOUT = 15.0
# How long the reader rests between reads of the helper's output. Audio
# arrives as ~150 events a second; waking for each costs far more CPU than
# decoding it, so the reader takes them in batches. The helper buffers far
# more than this (its pipe and 512 KiB), so nothing is lost; answers to
# commands come this much later at most.
READ_INTERVAL = 0.1
# A read this large means a backlog: the reader reads on at once.
FULL_READ = 1 << 15

try:  # NumPy is optional; chunks then offer array.array samples instead.
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the environment
    _np = None


class Chunk:
    """A piece of audio of one source: 16 kHz mono signed 16-bit PCM.

    ``offset`` is the number of samples this source delivered before this
    chunk (its position at 16 kHz); ``total`` is the running count of the
    source including this chunk.
    """

    __slots__ = ("source", "pcm", "offset")

    def __init__(self, source: str, pcm: bytes, offset: int):
        self.source = source
        self.pcm = pcm
        self.offset = offset

    @property
    def total(self) -> int:
        return self.offset + len(self.pcm) // 2

    @property
    def samples(self):
        """A read-only NumPy int16 view of ``pcm`` when NumPy is installed,
        else an ``array.array('h')`` copy."""
        if _np is not None:
            return _np.frombuffer(self.pcm, dtype="<i2")
        import array
        a = array.array("h", self.pcm)
        if sys.byteorder == "big":
            a.byteswap()
        return a

    @property
    def seconds(self) -> float:
        """Position of the first sample in seconds."""
        return self.offset / SAMPLE_RATE

    def __repr__(self):
        return f"Chunk({self.source!r}, {len(self.pcm) // 2} samples at {self.offset})"


def packaged_helper() -> Optional[str]:
    """The helper carried inside this package, if it was built with one."""
    path = importlib.resources.files(__package__) / "bin" / HELPER_NAME
    return str(path) if path.is_file() else None


def resolve_helper(helper: Optional[str]) -> str:
    path = helper if helper is not None else packaged_helper()
    if path is None:
        raise errors.HelperNotFoundError(
            HELPER_NAME, "this package was built without the helper; pass helper=PATH")
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise errors.HelperNotFoundError(path, "no such file")
    if not os.access(path, os.X_OK):
        raise errors.HelperNotFoundError(path, "not executable")
    return path


def command_line(word: str) -> bytes:
    if word not in COMMANDS:
        raise ValueError(f"not a helper command: {word!r}")
    return b'{"command":"' + word.encode() + b'"}\n'


_AUDIO_START = b'{"audio":"'
_AUDIO_CUT = len(_AUDIO_START)
_SYSTEM_END = b'","event":"audio","source":"system"}'
_SYSTEM_CUT = -len(_SYSTEM_END)
_MICROPHONE_END = b'","event":"audio","source":"microphone"}'
_MICROPHONE_CUT = -len(_MICROPHONE_END)


class Core:
    """The session's knowledge of the helper, fed with raw output bytes.

    Not thread-safe by itself: the sync session guards it with a condition,
    the asyncio session runs it on the loop.
    """

    def __init__(self, path: str):
        self.path = path
        self.pending = b""
        self.chunks: Deque[Chunk] = collections.deque()
        self.counts: Dict[str, int] = {"system": 0, "microphone": 0}
        self.prepared = False
        self.states = {"recording": 0, "paused": 0, "ended": 0}
        self.errors: List[errors.HelperError] = []
        self.stderr = b""
        self.finished = False  # output closed and process reaped
        self.failure: Optional[errors.ZentrellAudioError] = None
        self.failure_raised = False

    def feed(self, data: bytes) -> None:
        lines = (self.pending + data).split(b"\n")
        self.pending = lines.pop()
        # Audio lines are nearly all the traffic: the helper writes them with
        # sorted keys, so they are told by their ends and taken apart without
        # a parser; anything else goes the general way.
        for line in lines:
            if line.startswith(_AUDIO_START):
                if line.endswith(_SYSTEM_END):
                    source, end = "system", _SYSTEM_CUT
                elif line.endswith(_MICROPHONE_END):
                    source, end = "microphone", _MICROPHONE_CUT
                else:
                    source = None
                if source is not None:
                    payload = line[_AUDIO_CUT:end]
                    if b'"' not in payload and b"\\" not in payload:
                        self._audio(source, payload)
                        continue
            self._line(line)

    def _line(self, line: bytes) -> None:
        # An audio line in another key order still needs no parser.
        at = line.find(b'"audio":"')
        if at >= 0 and b'"event":"audio"' in line:
            end = line.find(b'"', at + 9)
            payload = line[at + 9:end]
            source = ("system" if b'"source":"system"' in line else
                      "microphone" if b'"source":"microphone"' in line else None)
            if source is not None and end > 0 and b"\\" not in payload:
                self._audio(source, payload)
                return
        try:
            event = json.loads(line)
        except ValueError:
            return  # not an event; the helper writes nothing else
        if not isinstance(event, dict):
            return
        kind = event.get("event")
        if kind == "audio" and event.get("source") in self.counts:
            self._audio(event["source"], event.get("audio", "").encode())
        elif kind == "prepared":
            self.prepared = True
        elif kind == "state" and event.get("state") in self.states:
            self.states[event["state"]] += 1
        elif kind == "error":
            self.errors.append(errors.error_for_code(str(event.get("code"))))

    def _audio(self, source: str, payload: bytes) -> None:
        pcm = binascii.a2b_base64(payload)
        offset = self.counts[source]
        self.counts[source] = offset + len(pcm) // 2
        self.chunks.append(Chunk(source, pcm, offset))

    def finish(self, returncode: int) -> None:
        """The output is closed and the process has exited."""
        self.returncode = returncode
        self.finished = True
        stderr = self.stderr.decode(errors="replace")
        if self.errors:
            self.failure = self.errors[0]
        elif returncode == 127 and not self.states["ended"]:
            self.failure = errors.HelperNotRunnableError(self.path, stderr)
        elif returncode != 0 or not self.states["ended"]:
            self.failure = errors.HelperDiedError(returncode, stderr)

    def take_failure(self) -> Optional[errors.ZentrellAudioError]:
        """The first failure, for raising; marks it as reported."""
        failure = self.errors[0] if self.errors else self.failure
        if failure is not None:
            self.failure_raised = True
        return failure

    def unreported_failure(self) -> Optional[errors.ZentrellAudioError]:
        if self.failure_raised:
            return None
        return self.errors[0] if self.errors else self.failure

    def command_outcome(self, word: str, answered, before) -> Optional[errors.ZentrellAudioError]:
        """What a command that has its answer (or met the end) raises: the
        failure it met, or nothing when it was carried out. `answered` is
        None for "stop", which raises any failure not reported yet."""
        if answered is None:
            failure = self.unreported_failure()
            self.failure_raised = True
            return failure
        if answered(self, before):
            return None  # a later error comes through the chunks or stop()
        failure = self.take_failure()
        if failure is None:  # it ended cleanly before the command came
            failure = errors.ZentrellAudioError(f"the session has ended; {word!r} was not carried out")
        return failure
