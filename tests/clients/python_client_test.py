"""The installed zentrell_audio wheel against the scripted helper: a known
signal, every error path, and cleanup on every way out of a session.

Run with the Python of a virtual environment that holds the wheel;
ZT_SIM_HELPER names the scripted helper, ZT_SCRATCH a folder for scripts.
"""
import asyncio
import inspect
import json
import os
import re
import signal
import subprocess
import sys
import threading
import unittest

import zentrell_audio as za
from zentrell_audio import _core

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from client_checks import FAILURES, KNOWN, endless, known_samples, sim_env, sine_fit  # noqa: E402

SIM = os.environ["ZT_SIM_HELPER"]


def children():
    """Processes whose parent is this test."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                found += [int(entry)] if int(f.read().rsplit(")", 1)[1].split()[1]) == os.getpid() else []
        except OSError:
            pass
    return found


async def steps(session, words, chunks, done):
    """The steps on a session of either API (its commands awaited when
    they are coroutines); `done` gets each step as it begins."""
    async def take(chunk_iterator):
        try:
            if hasattr(chunk_iterator, "__aiter__"):
                async for chunk in chunk_iterator:
                    chunks.append(chunk)
            else:
                for chunk in chunk_iterator:
                    chunks.append(chunk)
        except TimeoutError:  # the scripted sources are quiet
            pass

    for word in words:
        done.append(word)
        if word in ("iterate", "drain"):
            await take(session if word == "iterate" else session.chunks(timeout=0.6))
        elif word == "kill":
            os.kill(session.pid, signal.SIGKILL)
        elif word == "sleep":
            await asyncio.sleep(2)
        elif word == "again":  # a command after the end
            with unittest.TestCase().assertRaisesRegex(za.ZentrellAudioError, "ended"):
                await call(session.resume)
        else:
            await call(getattr(session, word))


async def call(command):
    result = command()
    return await result if inspect.isawaitable(result) else result


def run(api, scenario, words, path=SIM, done=None):
    """Runs `words` on a session of `api` ("sync" or "async"); answers the
    session and its chunks. `done` gets "end" once the block ended."""
    chunks, done = [], [] if done is None else done

    async def record():
        if api == "sync":
            with za.Session(path, env=sim_env(scenario)) as session:
                await steps(session, words, chunks, done)
                done.append("end")
        else:
            async with za.AsyncSession(path, env=sim_env(scenario)) as session:
                await steps(session, words, chunks, done)
                done.append("end")
        return session
    return asyncio.run(record()), chunks


class Sessions(unittest.TestCase):
    def assertNothingLeft(self, pid):
        self.assertFalse(os.path.exists(f"/proc/{pid}"), "the helper is still there (or unreaped)")
        self.assertEqual(children(), [])
        self.assertEqual([t.name for t in threading.enumerate()], ["MainThread"])

    def test_a_known_signal_whole_and_in_order(self):
        for api in ("sync", "async"):
            session, chunks = run(api, KNOWN, ["prepare", "start", "drain", "stop", "iterate", "again"])
            self.assertEqual(session.returncode, 0)
            self.assertNothingLeft(session.pid)
            for source in ("system", "microphone"):
                with self.subTest(api=api, source=source):
                    mine = [c for c in chunks if c.source == source]
                    # The running count: each chunk starts where the last ended.
                    self.assertEqual([c.offset for c in mine], [0] + [c.total for c in mine[:-1]])
                    self.assertEqual([list(c.samples) for c in mine[:3]], [
                        [int.from_bytes(c.pcm[i:i + 2], "little", signed=True) for i in range(0, len(c.pcm), 2)]
                        for c in mine[:3]])
                    pcm = b"".join(c.pcm for c in mine)
                    frequency, low, high = known_samples(source)
                    self.assertTrue(low <= len(pcm) // 2 == mine[-1].total <= high, (len(pcm) // 2, low, high))
                    amplitude, worst = sine_fit(pcm, frequency)
                    self.assertAlmostEqual(amplitude, 0.5, delta=0.01)
                    self.assertLess(worst, 0.003)

    def test_pause_resume_without_numpy(self):
        # NumPy blocked: samples come as array.array; the count runs on over
        # the pause.
        script = (
            "import sys; sys.modules['numpy'] = None\nimport zentrell_audio as za\n"
            "def some(s):\n    for c in s:\n        chunks.append(c)\n        if c.total > 3200: return\n"
            "chunks = []\nwith za.Session(sys.argv[1]) as s:\n"
            "    s.prepare(); s.start(); some(s); s.pause(); s.resume(); some(s); s.stop(); chunks += s\n"
            "o = {c.source: [] for c in chunks}\nfor c in chunks: o[c.source].append((c.offset, c.total))\n"
            "print(type(chunks[0].samples).__name__, all(x[i][1] == x[i + 1][0] for x in o.values()"
            " for i in range(len(x) - 1)), sorted(o))\n")
        out = subprocess.run([sys.executable, "-c", script, SIM], env=sim_env(endless()), capture_output=True,
                             text=True, timeout=60)
        self.assertEqual(out.stderr, "")
        self.assertEqual(out.stdout.split(None, 2), ["array", "True", "['microphone', 'system']\n"])

    def test_every_path_raises_its_class(self):
        for (name, scenario, words, cls), api in [(f, a) for f in FAILURES for a in ("sync", "async")]:
            cls, done = getattr(za, cls), []
            with self.subTest(name, api=api), self.assertRaises(cls) as raised:
                run(api, scenario, words, done=done)
            # Raised by the step that met the failure, not later.
            self.assertEqual(done, words, name)
            self.assertEqual(getattr(raised.exception, "code", None), getattr(cls, "code", None))
            self.assertEqual(children(), [])

    def test_helper_missing_or_not_runnable(self):
        with self.assertRaises(za.HelperNotFoundError):
            za.Session(os.path.join(os.environ["ZT_SCRATCH"], "no-such-helper"))
        with self.assertRaises(za.HelperNotFoundError):
            za.AsyncSession(__file__)  # not executable
        # A helper whose library is missing exits with 127, like this one.
        broken = os.path.join(os.environ["ZT_SCRATCH"], "broken-helper")
        with open(broken, "w") as f:
            f.write("#!/bin/sh\necho 'cannot open shared object file' >&2\nexit 127\n")
        os.chmod(broken, 0o755)
        for api in ("sync", "async"):
            with self.assertRaisesRegex(za.HelperNotRunnableError, "cannot open shared object file"):
                run(api, {}, ["prepare"], broken)
        self.assertEqual(children(), [])

    def test_every_code_maps_to_its_class(self):
        # The guide's table of error codes is the list to cover.
        with open(os.environ["ZT_GUIDE"]) as f:
            codes = re.findall(r"\n\| `([A-Z_]+)` \|", f.read().split("## Error codes", 1)[1].split("\n## ", 1)[0])
        self.assertEqual(len(codes), 15)
        core = _core.Core(SIM)
        for code in codes + ["SOMETHING_NEW"]:
            core.feed(json.dumps({"code": code, "event": "error"}).encode() + b"\n")
        classes = [type(e) for e in core.errors]
        self.assertEqual(len(set(classes[:-1])), len(codes))
        for code, cls, error in zip(codes, classes, core.errors):
            self.assertIs(getattr(za, cls.__name__), cls)
            self.assertEqual((cls.code, error.code), (code, code))
            self.assertTrue(code in str(error) and len(error.sentence) > 20, code)
        self.assertEqual((classes[-1], core.errors[-1].code), (za.HelperError, "SOMETHING_NEW"))

    def test_keeps_up_with_a_helper_far_faster_than_real_time(self):
        # More output than one read per rest could take: the reader must
        # read on while a backlog waits, or the helper overflows.
        scenario = endless()
        scenario["streams"][0]["audio"]["speed"] = 25
        scenario["engines"][0]["audio"]["speed"] = 6
        for api in ("sync", "async"):
            self.assertGreater(run(api, scenario, ["prepare", "start", "sleep", "stop"])[0].counts["system"],
                               30 * za.SAMPLE_RATE, api)

    def test_break_raise_and_cancel_leave_nothing(self):
        env = sim_env(endless())
        for leave in ("break", "raise"):
            with self.assertRaises(KeyError) if leave == "raise" else self.subTest(leave):
                with za.Session(SIM, env=env) as session:
                    session.prepare()
                    session.start()
                    for chunk in session:
                        if leave == "raise":
                            raise KeyError("host fault")
                        break
            if leave == "break":
                self.assertEqual(session.returncode, 0)
            self.assertNothingLeft(session.pid)

        async def leave_async(cancel):
            task = asyncio.current_task()
            async with za.AsyncSession(SIM, env=env) as session:
                await session.prepare()
                await session.start()
                async for chunk in session:
                    if cancel:
                        asyncio.get_running_loop().call_soon(task.cancel)
                        await asyncio.sleep(1)
                    break
            return session.pid

        with self.assertRaises(asyncio.CancelledError):
            asyncio.run(leave_async(True))
        self.assertNothingLeft(0)
        self.assertNothingLeft(asyncio.run(leave_async(False)))


if __name__ == "__main__":
    unittest.main()
