"""What the client tests measure: the scripted known signal and how close
the received audio is to it."""
import json
import math
import os

# Both sources play a sine at half of full scale for about 3 s: the system
# 1000 Hz, 48 kHz stereo in 100 ms buffers; the microphone 440 Hz through its
# 1024-frame tap.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "known_signal.json")) as f:
    BUFFERS = json.load(f)
MICROPHONE_TAP_FRAMES = 1024


def known_signal():
    """Per source: (frequency, frames of a buffer, frames played at 48 kHz)."""
    system, microphone = BUFFERS["streams"][0]["audio"], BUFFERS["engines"][0]["audio"]
    return {"system": (system["frequency"], system["frames"], system["frames"] * system["buffers"]),
            "microphone": (microphone["frequency"], MICROPHONE_TAP_FRAMES,
                           MICROPHONE_TAP_FRAMES * microphone["buffers"])}


def expected_samples(source):
    """Bounds of the count at 16 kHz: every buffer played, or (when the first
    one came before the capture was open) all but one."""
    _, frames, played = known_signal()[source]
    return (played - frames) // 3, played // 3 + 1


def sine_fit(pcm, frequency, rate=16000, skip=64):
    """Amplitude (of full scale) of the best-fitting sine, and the worst RMS
    of the residual over any 10 ms window relative to it. A lost, repeated
    or reordered chunk shows as a large residual."""
    x = [int.from_bytes(pcm[i:i + 2], "little", signed=True) / 32768 for i in range(0, len(pcm), 2)]
    x = x[skip:len(x) - skip]
    if len(x) < 1600:
        return 0.0, 1.0
    w = 2 * math.pi * frequency / rate
    s = [math.sin(w * i) for i in range(len(x))]
    c = [math.cos(w * i) for i in range(len(x))]
    a = 2 * sum(v * k for v, k in zip(x, s)) / len(x)
    b = 2 * sum(v * k for v, k in zip(x, c)) / len(x)
    amplitude = math.hypot(a, b)
    residual = [v - a * si - b * ci for v, si, ci in zip(x, s, c)]
    worst = max(math.sqrt(sum(r * r for r in residual[i:i + 160]) / 160)
                for i in range(0, len(residual) - 160, 160))
    return amplitude, worst / amplitude if amplitude else 1.0
