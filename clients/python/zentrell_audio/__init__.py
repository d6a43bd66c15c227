"""Record the computer's sound and the microphone through zentrell-audio-helper.

    import zentrell_audio

    with zentrell_audio.Session() as session:
        session.prepare()
        session.start()
        for chunk in session:
            handle(chunk.source, chunk.pcm)   # 16 kHz mono s16le
            if chunk.total >= 5 * 16000:
                break                          # leaving the block stops the helper

``AsyncSession`` offers the same with ``await`` and ``async for``.
"""

from ._core import COMMANDS, SAMPLE_RATE, Chunk, packaged_helper
from .aio import AsyncSession
from .errors import *  # noqa: F401,F403 - every error class is part of the API
from .errors import ERRORS_BY_CODE, error_for_code
from .session import Session

__version__ = "1.0.0"
