"""What the client tests share: the scripted known signal, the table of
failures, and how close received audio is to a sine."""
import json
import math
import os

HERE = os.path.dirname(os.path.abspath(__file__))
# Both sources play a sine at half of full scale for about 3 s: the system
# 1000 Hz, 48 kHz stereo in 100 ms buffers; the microphone 440 Hz through its
# 1024-frame tap.
KNOWN = json.load(open(os.path.join(HERE, "known_signal.json")))
TAP_FRAMES = 1024
# (name, scenario, steps, error class): the steps run in order; the class is
# what the session raises, from a step or from the iteration after them.
FAILURES = json.load(open(os.path.join(HERE, "failures.json")))


def endless(changes=None):
    """The known signal without an end: it plays until stopped."""
    scenario = json.loads(json.dumps(KNOWN))
    for part in ("streams", "engines"):
        del scenario[part][0]["audio"]["buffers"]
    return {**scenario, **(changes or {})}


def sim_env(scenario, name=[0]):
    scenario = dict(scenario)
    if scenario.pop("endless", False):
        scenario = endless(scenario)
    name[0] += 1
    path = os.path.join(os.environ["ZT_SCRATCH"], f"scenario-{os.getpid()}-{name[0]}.json")
    with open(path, "w") as f:
        json.dump(scenario, f)
    return dict(os.environ, ZT_SIM_SCENARIO=path)


def known_samples(source):
    """(frequency, fewest, most samples at 16 kHz): every buffer played, or
    all but one when the first came before the capture was open."""
    audio = KNOWN["streams" if source == "system" else "engines"][0]["audio"]
    frames = audio.get("frames", TAP_FRAMES) if source == "system" else TAP_FRAMES
    return audio["frequency"], frames * (audio["buffers"] - 1) // 3, frames * audio["buffers"] // 3 + 1


def sine_fit(pcm, frequency, rate=16000, skip=64):
    """Amplitude (of full scale) of the best-fitting sine, and the worst RMS
    of the residual over any 10 ms window relative to it. A lost, repeated
    or reordered chunk shows as a large residual."""
    x = [int.from_bytes(pcm[i:i + 2], "little", signed=True) / 32768 for i in range(0, len(pcm), 2)][skip:-skip]
    if len(x) < 1600:
        return 0.0, 1.0
    w = 2 * math.pi * frequency / rate
    a = 2 * sum(v * math.sin(w * i) for i, v in enumerate(x)) / len(x)
    b = 2 * sum(v * math.cos(w * i) for i, v in enumerate(x)) / len(x)
    r = [v - a * math.sin(w * i) - b * math.cos(w * i) for i, v in enumerate(x)]
    worst = max(math.sqrt(sum(e * e for e in r[i:i + 160]) / 160) for i in range(0, len(r) - 160, 160))
    return math.hypot(a, b), worst / math.hypot(a, b) if a or b else 1.0
