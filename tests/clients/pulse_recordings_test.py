"""One real recording through each installed client: the real helper (the
one inside the wheel) on a private PulseAudio server, with a known tone
played into the output and into the microphone. Each client records 3 s of
each source, counted in samples, and leaves its loop early."""
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import zentrell_audio as za

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from client_checks import sine_fit  # noqa: E402

TONES = {"system": ("speakers", 1000), "microphone": ("micsink", 440)}
SECONDS = 3


class PrivateServer:
    """The suite's private sound server (tools/private-sound-server.sh)."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zt-clients-pulse-")
        self.script = os.environ["ZT_SOUND_SERVER"]
        started = subprocess.run(["bash", self.script, "start", self.dir], capture_output=True, text=True)
        if started.returncode != 0:
            raise RuntimeError(started.stderr)
        for line in started.stdout.splitlines():
            name, _, value = line.removeprefix("export ").partition("=")
            os.environ[name] = value
        self.players = []

    def play(self, sink, frequency, seconds=60):
        path = os.path.join(self.dir, f"{sink}.raw")
        with open(path, "wb") as f:
            f.write(struct.pack(f"<{48000 * seconds}f", *(
                0.5 * math.sin(2 * math.pi * frequency * i / 48000) for i in range(48000 * seconds))))
        self.players.append(subprocess.Popen(
            ["pacat", "--playback", "-d", sink, "--raw", "--format=float32le", "--rate=48000", "--channels=1",
             "--latency-msec=50", path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL))

    def close(self):
        for process in self.players:
            process.terminate()
            process.wait()
        subprocess.run(["bash", self.script, "stop", self.dir])
        shutil.rmtree(self.dir)


class RealRecordings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = PrivateServer()
        for sink, frequency in TONES.values():
            cls.server.play(sink, frequency)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def check(self, pcm, pid):
        for source, (_, frequency) in TONES.items():
            with self.subTest(source=source):
                samples = len(pcm[source]) // 2
                # The loop left once both had 3 s. The other source may have
                # started up to 2 s earlier (a server hands an idle sink's
                # first block late).
                self.assertGreaterEqual(samples, SECONDS * za.SAMPLE_RATE)
                self.assertLess(samples, (SECONDS + 3) * za.SAMPLE_RATE)
                # The last 2 s: the tone without a gap or a click.
                amplitude, worst = sine_fit(pcm[source][-4 * za.SAMPLE_RATE:], frequency)
                self.assertAlmostEqual(amplitude, 0.5, delta=0.05)
                self.assertLess(worst, 0.05)
        self.assertFalse(os.path.exists(f"/proc/{pid}"), "the helper is still there")

    def test_python(self):
        self.assertIsNotNone(za.packaged_helper())
        pcm = {"system": bytearray(), "microphone": bytearray()}
        with za.Session() as session:  # the helper inside the wheel
            session.prepare()
            session.start()
            for chunk in session:
                pcm[chunk.source] += chunk.pcm
                if min(len(b) for b in pcm.values()) >= 2 * SECONDS * za.SAMPLE_RATE:
                    break
        self.assertEqual(session.returncode, 0)
        self.check(pcm, session.pid)

    def test_node(self):
        out = subprocess.run(["node", os.path.join(os.environ["ZT_NODE_DIR"], "record.mjs"),
                              za.packaged_helper(), self.server.dir, str(SECONDS)],
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        summary = json.loads(out.stdout)
        self.assertEqual(summary["exitStatus"], 0)
        pcm = {}
        for source in TONES:
            with open(os.path.join(self.server.dir, f"{source}.pcm"), "rb") as f:
                pcm[source] = f.read()
            self.assertEqual(summary["totals"][source], len(pcm[source]) // 2)
        self.check(pcm, summary["pid"])


if __name__ == "__main__":
    unittest.main()
