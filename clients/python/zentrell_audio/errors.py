"""Every way a recording can fail, as exception classes.

An error event of the helper becomes an instance of the class registered for
its code; the helper's own fate (not found, not runnable, died) has classes
of its own, so that a host can tell "the user must act" from "the install is
broken".
"""

from typing import Dict, Optional, Type


class ZentrellAudioError(Exception):
    """Base of every error this package raises."""


class HelperError(ZentrellAudioError):
    """The helper reported an error event; the session is over.

    ``code`` is the protocol's code; ``host_fault`` tells whether the host
    program (not the user) has to be fixed.
    """

    code: str = ""
    sentence: str = "The helper reported an error."
    host_fault: bool = False

    def __init__(self, code: Optional[str] = None):
        if code is not None:
            self.code = code
        super().__init__(f"{self.sentence} ({self.code})")


def _define(name: str, code: str, sentence: str, host_fault: bool = False) -> Type[HelperError]:
    return type(name, (HelperError,), {"code": code, "sentence": sentence, "host_fault": host_fault,
                                       "__module__": __name__, "__doc__": sentence})


ProtocolError = _define(
    "ProtocolError", "PROTOCOL_ERROR",
    "The helper could not understand a command line from this program.", True)
InvalidStateError = _define(
    "InvalidStateError", "INVALID_STATE",
    "A command came at a moment the helper does not take it (prepare, start, pause/resume, stop).",
    True)
CaptureTimeoutError = _define(
    "CaptureTimeoutError", "CAPTURE_TIMEOUT",
    "The sound system did not answer within 10 seconds when starting or stopping the capture.")
MicrophoneUnavailableError = _define(
    "MicrophoneUnavailableError", "MICROPHONE_UNAVAILABLE",
    "No usable microphone: connect or select one, then record again.")
ScreenPermissionDeniedError = _define(
    "ScreenPermissionDeniedError", "SCREEN_PERMISSION_DENIED",
    "Screen and audio recording is not allowed: allow it in the system settings, then record again.")
SystemAudioUnavailableError = _define(
    "SystemAudioUnavailableError", "SYSTEM_AUDIO_UNAVAILABLE",
    "The computer's sound cannot be captured: check the sound system and the output device.")
NoDisplayError = _define(
    "NoDisplayError", "NO_DISPLAY",
    "There is no output device (or display) to capture the computer's sound from.")
MicrophonePermissionDeniedError = _define(
    "MicrophonePermissionDeniedError", "MICROPHONE_PERMISSION_DENIED",
    "Microphone access is not allowed: allow it in the system settings, then record again.")
CaptureStartFailedError = _define(
    "CaptureStartFailedError", "CAPTURE_START_FAILED",
    "The capture of the computer's sound failed to start; try again.")
InternalError = _define(
    "InternalError", "INTERNAL_ERROR",
    "The helper could not write an event (a fault in the helper); try again.")
CaptureStopFailedError = _define(
    "CaptureStopFailedError", "CAPTURE_STOP_FAILED",
    "The capture did not stop cleanly; the audio received until then is good.")
AudioConversionFailedError = _define(
    "AudioConversionFailedError", "AUDIO_CONVERSION_FAILED",
    "Captured audio could not be converted; try again, perhaps with another device.")
AudioBackpressureError = _define(
    "AudioBackpressureError", "AUDIO_BACKPRESSURE",
    "The computer could not convert audio fast enough; it is overloaded.")
OutputBackpressureError = _define(
    "OutputBackpressureError", "OUTPUT_BACKPRESSURE",
    "This program did not read the helper's output fast enough.", True)
OutputClosedError = _define(
    "OutputClosedError", "OUTPUT_CLOSED",
    "The helper could not write to this program any more.", True)

ERRORS_BY_CODE: Dict[str, Type[HelperError]] = {
    cls.code: cls for cls in (
        ProtocolError, InvalidStateError, CaptureTimeoutError, MicrophoneUnavailableError,
        ScreenPermissionDeniedError, SystemAudioUnavailableError, NoDisplayError,
        MicrophonePermissionDeniedError, CaptureStartFailedError, InternalError,
        CaptureStopFailedError, AudioConversionFailedError, AudioBackpressureError,
        OutputBackpressureError, OutputClosedError)
}


__all__ = ["ZentrellAudioError", "HelperError", "HelperNotFoundError", "HelperNotRunnableError",
           "HelperDiedError", *(cls.__name__ for cls in ERRORS_BY_CODE.values())]


def error_for_code(code: str) -> HelperError:
    """The exception for an error event's code; an unknown code still gives a HelperError."""
    cls = ERRORS_BY_CODE.get(code)
    return cls() if cls else HelperError(code)


class HelperNotFoundError(ZentrellAudioError):
    """There is no helper executable at the path used (or it may not be run)."""

    def __init__(self, path: str, reason: str):
        self.path = path
        super().__init__(f"Cannot run the audio helper {path}: {reason}")


class HelperNotRunnableError(ZentrellAudioError):
    """The helper was started but exited with status 127: it could not run at
    all, most often because a library it needs is missing. ``stderr`` holds
    what the system's loader said."""

    def __init__(self, path: str, stderr: str):
        self.path = path
        self.stderr = stderr
        detail = f": {stderr.strip()}" if stderr.strip() else ""
        super().__init__(f"The audio helper {path} could not be run (exit status 127){detail}")


class HelperDiedError(ZentrellAudioError):
    """The helper ended without finishing the session: killed by a signal, or
    it exited without its final events."""

    def __init__(self, returncode: Optional[int], stderr: str = ""):
        self.returncode = returncode
        self.signal = -returncode if returncode is not None and returncode < 0 else None
        self.stderr = stderr
        how = (f"was killed by signal {self.signal}" if self.signal is not None
               else f"exited with status {returncode} before the end of the session")
        super().__init__(f"The audio helper {how}")
