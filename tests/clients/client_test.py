"""The installed client packages (the wheel, blocking and async, and the npm
module through client_steps.mjs) run the same steps against the scripted
helper ZT_SIM_HELPER, with the Python of a virtual environment holding the wheel."""
import asyncio
import cmath
import contextlib
import json
import os
import signal
import subprocess
import threading
import time
import unittest
from types import SimpleNamespace

import zentrell_audio as za

HERE = os.path.dirname(os.path.abspath(__file__))
SIM, SCRATCH = os.environ["ZT_SIM_HELPER"], os.environ["ZT_SCRATCH"]
APIS = ("sync", "async", "node")
# About 3 s of a sine at half of full scale on each source: 1000 Hz from the
# system in 100 ms buffers, 440 Hz from the microphone through 1024-frame taps.
KNOWN = json.load(open(os.path.join(HERE, "known_signal.json")))
ENDLESS = json.loads(json.dumps(KNOWN))  # the known signal, playing until stopped
for part in ("streams", "engines"):
    del ENDLESS[part][0]["audio"]["buffers"]
# (name, scenario, steps, error class raised by the last step); "helper" swaps the helper.
FAILURES = json.load(open(os.path.join(HERE, "failures.json")))
HostFault = type("HostFault", (Exception,), {})
# The scripted helper, or one missing, not executable, or exiting 127 as one missing a library does.
HELPERS = {None: SIM, "missing": SCRATCH + "/none", "not executable": __file__, "broken": SCRATCH + "/broken"}
with open(os.open(HELPERS["broken"], os.O_CREAT | os.O_TRUNC | os.O_WRONLY, 0o755), "w") as f:
    f.write("#!/bin/sh\necho 'cannot open shared object file' >&2\nexit 127\n")


def run(api, scenario, words):
    """What running `words` on a session of `api` raised, took and left."""
    r = SimpleNamespace(done=[], chunks=[], error=None, emitted=None)
    helper, path = HELPERS[scenario.get("helper")], os.path.join(SCRATCH, f"scenario-{os.getpid()}.json")
    with open(path, "w") as f:
        json.dump({**ENDLESS, **scenario} if scenario.get("endless") else scenario, f)
    if api == "node":
        command = ["node", os.path.join(os.environ["ZT_NODE_DIR"], "client_steps.mjs"),
                   json.dumps({"helper": helper, "scenario": path, "steps": words})]
        out = json.loads(subprocess.run(command, capture_output=True, text=True, timeout=120, check=True).stdout)
        out["chunks"] = [SimpleNamespace(**{**c, "pcm": bytes(c["pcm"])}) for c in out["chunks"]]
        r.__dict__.update(out, constructed="ended" in out)
        return r

    async def each(chunks):  # a blocking session's chunks, for `async for`
        for chunk in chunks:
            yield chunk

    async def steps(session):
        for word in words:
            r.done.append(word)
            if word == "kill":
                os.kill(session.pid, signal.SIGKILL)
            elif word == "sleep":
                await asyncio.sleep(2)
            elif word in ("iterate", "break", "raise", "cancel"):
                async for chunk in session if hasattr(session, "__aiter__") else each(session):
                    r.chunks.append(chunk)
                    if word == "raise":
                        raise HostFault()
                    if word == "cancel":
                        asyncio.get_running_loop().call_soon(asyncio.current_task().cancel)
                        await asyncio.sleep(1)
                    if word == "break":
                        break
            elif asyncio.iscoroutine(result := getattr(session, word)()):
                await result

    async def record():
        env = dict(os.environ, ZT_SIM_SCENARIO=path)
        r.session = (za.Session if api == "sync" else za.AsyncSession)(helper, env=env)
        async with contextlib.AsyncExitStack() as stack:  # `with` or `async with` as the API wants
            stack.enter_context(r.session) if api == "sync" else await stack.enter_async_context(r.session)
            await steps(r.session)
    try:
        asyncio.run(record())
    except BaseException as e:
        r.error = type(e).__name__
    s = getattr(r, "session", None)
    r.constructed = s is not None
    r.pid, r.exit, r.counts = (s.pid, s.returncode, s.counts) if s else (None, None, {})
    # Left behind: the helper, a child or a thread still there after 2 s to settle.
    r.alive = True
    for _ in range(20):
        try:
            os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)  # raises once no child is left
        except ChildProcessError:
            if not (r.pid and os.path.exists(f"/proc/{r.pid}")) and threading.active_count() == 1:
                r.alive = False
                break
        time.sleep(0.1)
    return r


def sine_fit(pcm, frequency, rate=16000, skip=64):
    """Amplitude (of full scale) of the best-fitting sine, and the largest deviation
    from it relative to it: a lost, repeated or reordered piece makes that large."""
    x = [v / 32768 for v in memoryview(pcm).cast("h")][skip:-skip]  # native order: little-endian hosts
    turns = [cmath.exp(2j * cmath.pi * frequency * i / rate) for i in range(len(x))]
    c = 2 * sum(v / z for v, z in zip(x, turns)) / len(x)
    return abs(c), max(abs(v - (c * z).real) for v, z in zip(x, turns)) / abs(c)


class Sessions(unittest.TestCase):
    def test_a_known_signal_whole_and_in_order(self):
        self.assertTrue(os.access(za.packaged_helper() or "", os.X_OK), "the wheel carries no helper")
        for api in APIS:
            # The signal is over after 4 s; what came stays queued after "stop".
            r = run(api, KNOWN, ["prepare", "start", "sleep", "sleep", "stop", "iterate"])
            self.assertEqual((r.error, r.exit, r.alive), (None, 0, False), api)
            for source, audio, frames in (("system", KNOWN["streams"][0]["audio"], 4800),
                                          ("microphone", KNOWN["engines"][0]["audio"], 1024)):
                with self.subTest(api=api, source=source):
                    # Each chunk starts where the last one ended.
                    mine = [c for c in r.chunks if c.source == source]
                    self.assertEqual([c.offset for c in mine], [0] + [c.total for c in mine[:-1]])
                    pcm = b"".join(c.pcm for c in mine)
                    self.assertEqual(len(pcm) // 2, mine[-1].total)
                    # Every buffer played, or all but one when the first came before the capture was open.
                    self.assertLessEqual(frames * (audio["buffers"] - 1) // 3, len(pcm) // 2)
                    self.assertLessEqual(len(pcm) // 2, frames * audio["buffers"] // 3 + 1)
                    amplitude, worst = sine_fit(pcm, audio["frequency"])
                    self.assertAlmostEqual(amplitude, 0.5, delta=0.01)
                    self.assertLess(worst, 0.01)

    def test_every_path_raises_its_class_once(self):
        for (name, scenario, words, cls), api in [(f, a) for f in FAILURES for a in APIS]:
            with self.subTest(name, api=api):
                r = run(api, scenario, words)
                # Raised by the step that met the failure, not later; with no steps, by the constructor.
                self.assertEqual((r.error, r.done, r.alive, r.constructed), (cls, words, False, bool(words)))
                if api == "node" and words:
                    self.assertEqual((r.failure, r.emitted), (cls, [cls]))

    def test_leaving_the_loop_stops_the_helper(self):
        errors = {"break": None, "raise": "HostFault", "cancel": "CancelledError"}  # no tasks to cancel in Node
        for api, leave in [(a, e) for a in APIS for e in errors if a != "node" or e != "cancel"]:
            with self.subTest(api=api, leave=leave):
                r = run(api, {"endless": True}, ["prepare", "start", leave])
                self.assertEqual((r.error, r.alive, getattr(r, "ended", True)), (errors[leave], False, True))
                self.assertTrue(leave == "cancel" or r.exit == 0, r.exit)

    def test_keeps_up_with_a_helper_far_faster_than_real_time(self):
        # Far more than one read per rest takes: the reader must read on while a backlog waits.
        fast = json.loads(json.dumps(ENDLESS))
        fast["streams"][0]["audio"]["speed"], fast["engines"][0]["audio"]["speed"] = 25, 6
        for api in APIS:
            r = run(api, fast, ["prepare", "start", "sleep", "stop"])
            # A loaded machine may end it in AUDIO_BACKPRESSURE: the helper's converter, not the client.
            self.assertNotEqual(r.error, "OutputBackpressureError", api)
            self.assertTrue(r.error or r.counts["system"] > 30 * za.SAMPLE_RATE, (api, r.counts))


if __name__ == "__main__":
    unittest.main()
