#!/usr/bin/env python3
"""CPU of the Python and Node.js clients per second of audio, on top of the
helper's own.

Runs the scripted helper faster than real time, with both sources in the
buffer sizes a PulseAudio server hands over (10 ms of system sound, the
1024-frame microphone tap), through the installed packages that the client
tests build (build/tests/clients; `ctest -R clients_packages` makes them).
Each client takes every chunk and sums its PCM length, as a host writing
files would touch every chunk. Reports, per client (Python blocking and
asyncio, Node.js): its CPU milliseconds per audio-second (both sources
together make one audio-second), the helper's for comparison, and the event
rate. On a virtual machine a wake-up after idling costs 0.1-0.2 ms, so the
read interval, not the decoding, sets most of the figure. Not a test: it measures and prints.

    python3 bench/bench_clients.py [BUILD_DIR]
    (BENCH_SECONDS, BENCH_SPEED, BENCH_READ_INTERVAL_MS: the clients' batching)
"""
import json
import os
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
CLIENTS = os.path.join(BUILD, "tests", "clients")
SIM = os.path.join(BUILD, "zentrell-audio-helper-sim")
SECONDS = float(os.environ.get("BENCH_SECONDS", "20"))
SPEED = float(os.environ.get("BENCH_SPEED", "1"))
READ_INTERVAL_MS = float(os.environ.get("BENCH_READ_INTERVAL_MS", "100"))
TICK = os.sysconf("SC_CLK_TCK")

SCENARIO = {
    "streams": [{"audio": {"format": {"type": "float32", "rate": 48000, "channels": 2},
                           "frames": 480, "frequency": 1000, "speed": SPEED}}],
    "engines": [{"inputFormat": {"type": "float32", "rate": 48000, "channels": 1},
                 "audio": {"frequency": 440, "speed": SPEED}}],
}

# Each host prints {"cpu": seconds of its own CPU from "recording" to its
# last chunk, "helper": the helper's CPU seconds then, "events": chunks}.
# What both Python hosts share: the target count and the helper's CPU.
PYTHON_PRELUDE = r"""
import asyncio, json, sys, time
import zentrell_audio as za
target = float(sys.argv[2]) * za.SAMPLE_RATE
def helper_cpu(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / %d
""" % TICK

PYTHON_HOST = PYTHON_PRELUDE + r"""
with za.Session(sys.argv[1], read_interval=float(sys.argv[3]) / 1000) as s:
    s.prepare(); s.start()
    cpu0, helper0, events, size = time.process_time(), helper_cpu(s.pid), 0, 0
    for chunk in s:
        events += 1
        size += len(chunk.pcm)
        if chunk.total >= target and min(s.counts.values()) >= target:
            break
    cpu, helper = time.process_time() - cpu0, helper_cpu(s.pid) - helper0
print(json.dumps({"cpu": cpu, "helper": helper, "events": events}))
"""

ASYNCIO_HOST = PYTHON_PRELUDE + r"""
async def main():
    async with za.AsyncSession(sys.argv[1], read_interval=float(sys.argv[3]) / 1000) as s:
        await s.prepare(); await s.start()
        cpu0, helper0, events, size = time.process_time(), helper_cpu(s.pid), 0, 0
        async for chunk in s:
            events += 1
            size += len(chunk.pcm)
            if chunk.total >= target and min(s.counts.values()) >= target:
                break
        cpu, helper = time.process_time() - cpu0, helper_cpu(s.pid) - helper0
    print(json.dumps({"cpu": cpu, "helper": helper, "events": events}))
asyncio.run(main())
"""

NODE_HOST = r"""
import { readFileSync } from 'node:fs';
import { Session, SAMPLE_RATE } from 'zentrell-audio';
const target = Number(process.argv[3]) * SAMPLE_RATE;
const helperCpu = (pid) => {
  const stat = readFileSync(`/proc/${pid}/stat`, 'utf8');
  const f = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return (Number(f[11]) + Number(f[12])) / %d;
};
const s = new Session({ helperPath: process.argv[2], readIntervalMs: Number(process.argv[4]) });
await s.prepare();
await s.start();
const cpu0 = process.cpuUsage();
const helper0 = helperCpu(s.pid);
let events = 0;
let size = 0;
let cpu;
let helper;
for await (const chunk of s) {
  events += 1;
  size += chunk.pcm.length;
  if (chunk.total >= target && Math.min(s.counts.system, s.counts.microphone) >= target) {
    const used = process.cpuUsage(cpu0);
    cpu = (used.user + used.system) / 1e6;
    helper = helperCpu(s.pid) - helper0;
    break;
  }
}
console.log(JSON.stringify({ cpu, helper, events }));
""" % TICK


def main():
    python = os.path.join(CLIENTS, "venv", "bin", "python")
    node_dir = os.path.join(CLIENTS, "node")
    if not os.path.exists(python) or not os.path.isdir(os.path.join(node_dir, "node_modules")):
        sys.exit(f"no installed clients in {CLIENTS}: run `ctest -R clients_packages` in {BUILD} first")
    with tempfile.TemporaryDirectory() as tmp:
        scenario = os.path.join(tmp, "scenario.json")
        with open(scenario, "w") as f:
            json.dump(SCENARIO, f)
        env = dict(os.environ, ZT_SIM_SCENARIO=scenario)
        node_host = os.path.join(node_dir, f"bench-host-{os.getpid()}.mjs")
        with open(node_host, "w") as f:
            f.write(NODE_HOST)
        try:
            runs = {
                "python": [python, "-c", PYTHON_HOST, SIM, str(SECONDS), str(READ_INTERVAL_MS)],
                "asyncio": [python, "-c", ASYNCIO_HOST, SIM, str(SECONDS), str(READ_INTERVAL_MS)],
                "node": ["node", node_host, SIM, str(SECONDS), str(READ_INTERVAL_MS)],
            }
            print(f"{SECONDS:g} audio-seconds per source at {SPEED:g}x real time, "
                  f"reading every {READ_INTERVAL_MS:g} ms")
            print(f"{'client':8} {'client ms/audio-s':>18} {'helper ms/audio-s':>18} {'events/audio-s':>15}")
            for name, argv in runs.items():
                out = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=600)
                if out.returncode != 0:
                    sys.exit(f"{name} host failed:\n{out.stderr}")
                r = json.loads(out.stdout)
                print(f"{name:8} {1000 * r['cpu'] / SECONDS:18.2f} {1000 * r['helper'] / SECONDS:18.2f} "
                      f"{r['events'] / SECONDS:15.0f}")
        finally:
            os.unlink(node_host)


if __name__ == "__main__":
    main()
