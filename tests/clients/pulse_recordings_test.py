"""One real recording through each installed client: the real helper (the
one inside the wheel) on a private PulseAudio server, with a known tone
played into the output and into the microphone. Each client records 3 s of
each source, counted in samples, and leaves its loop early."""
import json
import math
import os
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


class RealRecordings(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The suite's private sound server, with a minute of each tone.
        cls.dir = tempfile.mkdtemp(prefix="zt-clients-pulse-")
        started = subprocess.run(["bash", os.environ["ZT_SOUND_SERVER"], "start", cls.dir], capture_output=True,
                                 text=True, check=True)
        for line in started.stdout.splitlines():
            name, _, value = line.removeprefix("export ").partition("=")
            os.environ[name] = value
        cls.players = []
        for sink, frequency in TONES.values():
            path = os.path.join(cls.dir, f"{sink}.raw")
            with open(path, "wb") as f:
                f.write(struct.pack(f"<{48000 * 60}f", *(0.5 * math.sin(2 * math.pi * frequency * i / 48000)
                                                         for i in range(48000 * 60))))
            cls.players.append(subprocess.Popen(
                ["pacat", "--playback", "-d", sink, "--raw", "--format=float32le", "--rate=48000", "--channels=1",
                 "--latency-msec=50", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    @classmethod
    def tearDownClass(cls):
        for process in cls.players:
            process.terminate()
            process.wait()
        subprocess.run(["bash", os.environ["ZT_SOUND_SERVER"], "stop", cls.dir])
        subprocess.run(["rm", "-rf", cls.dir])

    def check(self, pcm, pid):
        for source, (_, frequency) in TONES.items():
            with self.subTest(source=source):
                # The loop left once both had 3 s; the other source may have
                # started up to 2 s earlier (an idle sink's first block is late).
                self.assertTrue(SECONDS <= len(pcm[source]) / 2 / za.SAMPLE_RATE < SECONDS + 3, len(pcm[source]))
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
        out = subprocess.run(["node", os.path.join(os.environ["ZT_NODE_DIR"], "record.mjs"), za.packaged_helper(),
                              self.dir, str(SECONDS)], capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        summary = json.loads(out.stdout)
        self.assertEqual(summary["exitStatus"], 0)
        pcm = {source: open(os.path.join(self.dir, f"{source}.pcm"), "rb").read() for source in TONES}
        self.assertEqual(summary["totals"], {source: len(pcm[source]) // 2 for source in TONES})
        self.check(pcm, summary["pid"])


if __name__ == "__main__":
    unittest.main()
