"""The installed zentrell_audio wheel against the scripted helper: a known
signal, every error path, and cleanup on every way out of a session.

Run with the Python of a virtual environment that holds the wheel;
ZT_SIM_HELPER names the scripted helper, ZT_SCRATCH a folder for scripts.
"""
import asyncio
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
import unittest

import zentrell_audio as za
from zentrell_audio import _core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from client_checks import BUFFERS, expected_samples, sine_fit, known_signal  # noqa: E402

SIM = os.environ["ZT_SIM_HELPER"]
SCRATCH = os.environ["ZT_SCRATCH"]


def sim_env(scenario):
    path = os.path.join(SCRATCH, f"scenario-{os.getpid()}-{id(scenario)}.json")
    with open(path, "w") as f:
        json.dump(scenario, f)
    return dict(os.environ, ZT_SIM_SCENARIO=path)


def children():
    """Processes whose parent is this test."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            pass
    return found


class Leftovers(unittest.TestCase):
    def assertNothingLeft(self, pid):
        self.assertFalse(os.path.exists(f"/proc/{pid}"), "the helper is still there (or unreaped)")
        self.assertEqual(children(), [])
        self.assertEqual([t.name for t in threading.enumerate()], ["MainThread"])


def drain(chunks, into):
    """Takes chunks until none comes for a while: the scripted sources have
    played all their buffers."""
    try:
        for chunk in chunks:
            into.append(chunk)
    except TimeoutError:
        pass


async def adrain(chunks, into):
    try:
        async for chunk in chunks:
            into.append(chunk)
    except TimeoutError:
        pass


class KnownSignal(Leftovers):
    def check(self, chunks):
        by_source = {"system": [], "microphone": []}
        for chunk in chunks:
            mine = by_source[chunk.source]
            # The running count: each chunk starts where its source's last ended.
            self.assertEqual(chunk.offset, mine[-1].total if mine else 0)
            self.assertEqual(list(chunk.samples), [int.from_bytes(chunk.pcm[i:i + 2], "little", signed=True)
                                                   for i in range(0, len(chunk.pcm), 2)])
            mine.append(chunk)
        for source, (frequency, _, _) in known_signal().items():
            with self.subTest(source=source):
                pcm = b"".join(c.pcm for c in by_source[source])
                low, high = expected_samples(source)
                self.assertTrue(low <= len(pcm) // 2 <= high, (len(pcm) // 2, low, high))
                self.assertEqual(by_source[source][-1].total, len(pcm) // 2)
                amplitude, worst = sine_fit(pcm, frequency)
                self.assertAlmostEqual(amplitude, 0.5, delta=0.01)
                self.assertLess(worst, 0.003)

    def test_sync_then_async_three_seconds(self):
        env = sim_env(BUFFERS)
        chunks = []
        with za.Session(SIM, env=env) as session:
            session.prepare()
            session.start()
            drain(session.chunks(timeout=0.6), chunks)
            session.stop()
            chunks.extend(session)  # the tails come before the end
            self.assertEqual(session.returncode, 0)
        self.check(chunks)
        self.assertNothingLeft(session.pid)

        async def record():
            chunks = []
            async with za.AsyncSession(SIM, env=env) as session:
                await session.prepare()
                await session.start()
                await adrain(session.chunks(timeout=0.6), chunks)
                await session.stop()
                chunks.extend([c async for c in session])
                with self.assertRaisesRegex(za.ZentrellAudioError, "ended"):
                    await session.resume()
            return chunks, session.pid

        chunks, pid = asyncio.run(record())
        self.check(chunks)
        self.assertNothingLeft(pid)

    def test_pause_resume_and_without_numpy(self):
        # NumPy blocked: samples come as array.array; the count runs on over
        # the pause.
        script = (
            "import sys; sys.modules['numpy'] = None\n"
            "import zentrell_audio as za\n"
            "def some(s):\n"
            "    for c in s:\n"
            "        chunks.append(c)\n"
            "        if c.total > 3200: return\n"
            "chunks = []\n"
            "with za.Session(sys.argv[1]) as s:\n"
            "    s.prepare(); s.start(); some(s); s.pause(); s.resume(); some(s); s.stop()\n"
            "    chunks += s\n"
            "    try: s.start()\n"
            "    except za.ZentrellAudioError as e: assert 'ended' in str(e)\n"
            "    else: raise AssertionError('start after stop')\n"
            "offsets = {c.source: [] for c in chunks}\n"
            "for c in chunks: offsets[c.source].append((c.offset, c.total))\n"
            "print(type(chunks[0].samples).__name__, all(o[i][1] == o[i + 1][0] for o in offsets.values()"
            " for i in range(len(o) - 1)), sorted(offsets))\n")
        out = subprocess.run([sys.executable, "-c", script, SIM], env=sim_env(known_signal_scenario()),
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(out.stderr, "")
        self.assertEqual(out.stdout.split(None, 2), ["array", "True", "['microphone', 'system']\n"])


def known_signal_scenario():
    scenario = json.loads(json.dumps(BUFFERS))
    for part in ("streams", "engines"):
        del scenario[part][0]["audio"]["buffers"]
    return scenario


# (name, scenario, commands, class): the commands run in order; the class is
# what the session raises, from a command or from the iteration after them.
STREAM_ERROR = {"error": {"domain": "OtherDomain", "code": 5}}
FAILURES = [
    ("microphone refused", {"microphoneStatus": 2}, ["prepare"], za.MicrophonePermissionDeniedError),
    ("screen refused", {"screenPreflight": False, "screenRequest": False}, ["prepare"],
     za.ScreenPermissionDeniedError),
    ("no microphone", {"microphonePresent": False}, ["prepare"], za.MicrophoneUnavailableError),
    ("no display", {"displays": 0}, ["prepare"], za.NoDisplayError),
    ("content query fails", {"content": STREAM_ERROR}, ["prepare"], za.SystemAudioUnavailableError),
    ("start before prepare", {}, ["start"], za.InvalidStateError),
    ("stream does not start", {"streams": [{"start": STREAM_ERROR}]}, ["prepare", "start"],
     za.CaptureStartFailedError),
    ("conversion fails", {**known_signal_scenario(), "converter": {"failConvertAfter": 3}},
     ["prepare", "start", "iterate"], za.AudioConversionFailedError),
    ("conversion stalls", {**known_signal_scenario(), "converter": {"stallMs": 80}},
     ["prepare", "start", "iterate"], za.AudioBackpressureError),
    ("stream stops by itself", {"streams": [{"stopsByItselfAfterMs": 200}]},
     ["prepare", "start", "iterate"], za.SystemAudioUnavailableError),
    ("stop fails", {"streams": [{"stop": STREAM_ERROR}]}, ["prepare", "start", "stop"],
     za.CaptureStopFailedError),
    ("killed", {}, ["prepare", "start", "kill", "iterate"], za.HelperDiedError),
]
TIMEOUT = ("stream never starts", {"streams": [{"start": "never"}]}, ["prepare", "start"],
           za.CaptureTimeoutError)


class Failures(Leftovers):
    def run_sync(self, scenario, commands):
        with za.Session(SIM, env=sim_env(scenario)) as session:
            self.pid = session.open().pid
            for self.step in commands:
                word = self.step
                if word == "iterate":
                    list(session)
                elif word == "kill":
                    os.kill(session.pid, signal.SIGKILL)
                else:
                    getattr(session, word)()
            self.step = "the end of the block"

    async def run_async(self, scenario, commands):
        async with za.AsyncSession(SIM, env=sim_env(scenario)) as session:
            for self.step in commands:
                word = self.step
                if word == "iterate":
                    [c async for c in session]
                elif word == "kill":
                    os.kill(session.pid, signal.SIGKILL)
                else:
                    await getattr(session, word)()
            self.step = "the end of the block"

    def test_every_path_raises_its_class(self):
        for name, scenario, commands, cls in FAILURES + [TIMEOUT]:
            with self.subTest(name), self.assertRaises(cls) as raised:
                self.run_sync(scenario, commands)
            # Raised by the step that met the failure, not later.
            self.assertEqual(self.step, commands[-1], name)
            if issubclass(cls, za.HelperError):
                self.assertEqual(raised.exception.code, cls.code)
            self.assertNothingLeft(self.pid)
        for name, scenario, commands, cls in FAILURES:
            with self.subTest(name, api="asyncio"), self.assertRaises(cls):
                asyncio.run(self.run_async(scenario, commands))
            self.assertEqual(self.step, commands[-1], name)
        self.assertEqual(children(), [])

    def test_helper_missing_or_not_runnable(self):
        with self.assertRaises(za.HelperNotFoundError):
            za.Session(os.path.join(SCRATCH, "no-such-helper"))
        with self.assertRaises(za.HelperNotFoundError):
            za.AsyncSession(__file__)  # not executable
        # A helper whose library is missing exits with 127, like this one.
        broken = os.path.join(SCRATCH, "broken-helper")
        with open(broken, "w") as f:
            f.write("#!/bin/sh\necho 'cannot open shared object file' >&2\nexit 127\n")
        os.chmod(broken, 0o755)
        with self.assertRaises(za.HelperNotRunnableError) as raised:
            with za.Session(broken) as session:
                session.prepare()
        self.assertIn("cannot open shared object file", str(raised.exception))
        with self.assertRaises(za.HelperNotRunnableError):
            asyncio.run(self.run_async_path(broken))
        self.assertEqual(children(), [])

    async def run_async_path(self, path):
        async with za.AsyncSession(path) as session:
            await session.prepare()

    def test_every_code_maps_to_its_class(self):
        # The guide's table of error codes is the list to cover.
        with open(os.environ["ZT_GUIDE"]) as f:
            table = f.read().split("## Error codes", 1)[1].split("\n## ", 1)[0]
        codes = re.findall(r"\n\| `([A-Z_]+)` \|", table)
        self.assertEqual(len(codes), 15)
        core = _core.Core(SIM)
        for code in codes + ["SOMETHING_NEW"]:
            core.feed(json.dumps({"code": code, "event": "error"}).encode() + b"\n")
        classes = [type(e) for e in core.errors]
        self.assertEqual(len(set(classes[:-1])), len(codes))
        for code, cls, error in zip(codes, classes, core.errors):
            with self.subTest(code):
                self.assertIs(getattr(za, cls.__name__), cls)
                self.assertEqual((cls.code, error.code), (code, code))
                self.assertIn(code, str(error))
                self.assertGreater(len(error.sentence), 20)
        self.assertIs(classes[-1], za.HelperError)
        self.assertEqual(core.errors[-1].code, "SOMETHING_NEW")


class Backlog(unittest.TestCase):
    def test_keeps_up_with_a_helper_far_faster_than_real_time(self):
        # More output than one read per rest could take: the reader must
        # read on while a backlog waits, or the helper overflows.
        scenario = known_signal_scenario()
        scenario["streams"][0]["audio"]["speed"] = 25
        scenario["engines"][0]["audio"]["speed"] = 6

        async def record():
            async with za.AsyncSession(SIM, env=sim_env(scenario)) as session:
                await session.prepare()
                await session.start()
                await asyncio.sleep(2)
                await session.stop()
                return session.counts

        for counts in (self.record_sync(scenario), asyncio.run(record())):
            self.assertGreater(counts["system"], 30 * za.SAMPLE_RATE)

    def record_sync(self, scenario):
        with za.Session(SIM, env=sim_env(scenario)) as session:
            session.prepare()
            session.start()
            time.sleep(2)
            session.stop()
            return session.counts


class Cleanup(Leftovers):
    """Break, raise and cancel all leave no helper and no thread."""

    def test_break_raise_and_cancel(self):
        env = sim_env(known_signal_scenario())
        with za.Session(SIM, env=env) as session:
            session.prepare()
            session.start()
            for chunk in session:
                break
        self.assertEqual(session.returncode, 0)
        self.assertNothingLeft(session.pid)

        with self.assertRaises(KeyError):
            with za.Session(SIM, env=env) as session:
                session.prepare()
                session.start()
                for chunk in session:
                    raise KeyError("host fault")
        self.assertNothingLeft(session.pid)

        async def cancelled():
            task = asyncio.current_task()
            async with za.AsyncSession(SIM, env=env) as session:
                await session.prepare()
                await session.start()
                async for chunk in session:
                    asyncio.get_running_loop().call_soon(task.cancel)
                    await asyncio.sleep(1)
            return session  # not reached

        async def broken():
            async with za.AsyncSession(SIM, env=env) as session:
                await session.prepare()
                await session.start()
                async for chunk in session:
                    break
            return session.pid

        with self.assertRaises(asyncio.CancelledError):
            asyncio.run(cancelled())
        self.assertNothingLeft(0)
        self.assertNothingLeft(asyncio.run(broken()))


if __name__ == "__main__":
    unittest.main()
