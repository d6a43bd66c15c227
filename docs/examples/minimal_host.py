#!/usr/bin/env python3
"""A minimal host for zentrell-audio-helper, with nothing but Python:
records a few seconds of each source, counting their samples.

    python3 minimal_host.py [SECONDS]
"""
import base64
import json
import os
import subprocess
import sys
import threading

# ZENTRELL_HELPER when set (development), else the helper beside this
# script (as a packaged app keeps it), else the one on PATH (installed).
beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), "zentrell-audio-helper")
helper_path = os.environ.get("ZENTRELL_HELPER") or (
    beside if os.path.exists(beside) else "zentrell-audio-helper")
seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0

# No arguments; the helper's standard error is left to ours.
try:
    helper = subprocess.Popen([helper_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
except FileNotFoundError:
    sys.exit(f"zentrell-audio-helper not found ({helper_path}): install it or set ZENTRELL_HELPER")
lock = threading.Lock()


def send(command):
    with lock:
        try:
            helper.stdin.write((json.dumps({"command": command}) + "\n").encode())
            helper.stdin.flush()
        except BrokenPipeError:
            pass  # the helper is gone already


def stop():
    global stopped
    if not stopped:
        stopped = True
        send("stop")


# 16000 samples a second; the counts, not a clock, say when to stop.
wanted = seconds * 16000
samples = {"system": 0, "microphone": 0}
ended, error, timer, stopped = False, None, None, False
send("prepare")
for line in helper.stdout:  # one event per line, to the end of output
    event = json.loads(line)
    if event["event"] == "prepared":
        send("start")
    elif event["event"] == "state":
        # Audio can begin a while after "recording"; the timer only guards
        # against a source that never delivers.
        if event["state"] == "recording":
            timer = threading.Timer(seconds + 10, stop)
            timer.start()
        elif event["state"] == "ended":
            ended = True
    elif event["event"] == "audio":
        # No timestamps: a source's position is its sample count at 16 kHz.
        samples[event["source"]] += len(base64.b64decode(event["audio"])) // 2
        if samples["system"] >= wanted and samples["microphone"] >= wanted:
            stop()
    elif event["event"] == "error":
        error = event["code"]
        print("helper error:", error, file=sys.stderr)

if timer:
    timer.cancel()
status = helper.wait()
print(json.dumps({"ended": ended, "error": error, "exitStatus": status, "samples": samples}))
sys.exit(0 if ended and status == 0 else 1)
