"""What the client tests measure: the scripted known signal and how close
the received audio is to it."""
import math

# Both sources play a sine at half of full scale: the system 1000 Hz, 48 kHz
# stereo in 100 ms buffers; the microphone 440 Hz through its 1024-frame tap.
# Each stops after about 3 s.
SYSTEM_BUFFERS, SYSTEM_FRAMES = 30, 4800
MICROPHONE_BUFFERS, MICROPHONE_FRAMES = 141, 1024
BUFFERS = {
    "streams": [{"audio": {"format": {"type": "float32", "rate": 48000, "channels": 2},
                           "frames": SYSTEM_FRAMES, "frequency": 1000, "buffers": SYSTEM_BUFFERS}}],
    "engines": [{"inputFormat": {"type": "float32", "rate": 48000, "channels": 1},
                 "audio": {"frequency": 440, "buffers": MICROPHONE_BUFFERS}}],
}


def known_signal():
    return {"system": (1000, SYSTEM_BUFFERS * SYSTEM_FRAMES), "microphone": (440, MICROPHONE_BUFFERS * MICROPHONE_FRAMES)}


def expected_samples(source):
    """Bounds of the count at 16 kHz: every buffer played, or (when the first
    one came before the capture was open) all but one."""
    frames = SYSTEM_FRAMES if source == "system" else MICROPHONE_FRAMES
    played = known_signal()[source][1]
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
