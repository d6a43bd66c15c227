#!/usr/bin/env python3
"""Capture cost and click delay of the helper next to ffmpeg and parec|sox.

Starts a private PulseAudio server, plays a tone into the virtual
microphone and clicks into the default output for DURATION seconds per
tool, and reports for each tool: CPU milliseconds per second of captured
audio (both sources counted), peak resident memory, and the median delay
from a click being handed to the server to the output chunk (the event
line, for the helper) carrying it. Beside every tool, on the same clicks,
runs parec with a 10 ms fragment, raw: the least a PulseAudio client can
take to see a click. The tool's delay beyond it is its own share; the rest
belongs to the setup (the player's buffer and the null sink's blocks).

The clicks are written through libpulse with a small target length
(BENCH_PLAYER_MS, default 10): a pipe into pacat would let whatever was
written before pacat had connected sit in the pipe as a fixed backlog, which
once added about 130 ms to every figure.
BENCH_BASELINE names another build of the helper to measure in the same run,
beside this one (for a before/after comparison on the same server and
machine load). BENCH_SERVER=pipewire runs the same setup on a private
PipeWire with WirePlumber and its PulseAudio server instead of PulseAudio.
Not a test: it measures and prints.
"""
import base64, ctypes, json, os, select, shutil, signal, subprocess, sys, tempfile, threading, time, struct, math, statistics

HELPER = sys.argv[1] if len(sys.argv) > 1 else "build/zentrell-audio-helper"
BASELINE = os.environ.get("BENCH_BASELINE", "")
ON_PIPEWIRE = os.environ.get("BENCH_SERVER", "pulseaudio") == "pipewire"
DURATION = float(os.environ.get("BENCH_SECONDS", "20"))
CLICK_EVERY = 0.5
# The player's target length: the null sink renders (and so its monitor
# sends) blocks of about this size, which sets how often every capturing
# client wakes up.
PLAYER_MS = float(os.environ.get("BENCH_PLAYER_MS", "10"))

def reap(proc):
    """Waits for the process to end and answers the CPU seconds all its
    threads used, user and system, to the microsecond (the clock ticks of
    /proc/PID/stat are too coarse for a few hundred milliseconds)."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return usage.ru_utime + usage.ru_stime

def peak_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0

class Server:
    """The suite's private sound server (tools/private-sound-server.sh)."""
    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "private-sound-server.sh")

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zt-bench-")
        kind = "pipewire" if ON_PIPEWIRE else "pulseaudio"
        started = subprocess.run(["bash", self.SCRIPT, "start", self.dir, kind], capture_output=True, text=True,
                                 check=True)
        for line in started.stdout.splitlines():
            name, _, value = line.removeprefix("export ").partition("=")
            os.environ[name] = value
        tone = b"".join(struct.pack("<f", 0.3 * math.sin(2 * math.pi * 440 * i / 48000)) for i in range(48000))
        with open(f"{self.dir}/tone.raw", "wb") as f:
            f.write(tone * int(DURATION * 3 + 10))

    def close(self):
        subprocess.run(["bash", self.SCRIPT, "stop", self.dir])
        shutil.rmtree(self.dir, ignore_errors=True)

class Player:
    """A playback stream written through libpulse itself (pa_simple), with a
    small target length: pa_simple_write returns once the data is in the
    server's buffer, and blocks while that buffer is full, so the sink's
    clock paces the writer and no backlog can build up in between."""
    class SampleSpec(ctypes.Structure):
        _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]

    class Attr(ctypes.Structure):
        _fields_ = [(name, ctypes.c_uint32) for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]

    lib = None

    def __init__(self, sink, frames):
        if Player.lib is None:
            Player.lib = ctypes.CDLL("libpulse-simple.so.0")
            Player.lib.pa_simple_new.restype = ctypes.c_void_p
            Player.lib.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                                                 ctypes.c_char_p, ctypes.POINTER(Player.SampleSpec), ctypes.c_void_p,
                                                 ctypes.POINTER(Player.Attr), ctypes.POINTER(ctypes.c_int)]
            Player.lib.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                   ctypes.POINTER(ctypes.c_int)]
            Player.lib.pa_simple_get_latency.restype = ctypes.c_uint64
            Player.lib.pa_simple_get_latency.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
            Player.lib.pa_simple_free.argtypes = [ctypes.c_void_p]
        sample_spec = Player.SampleSpec(3, 48000, 1)  # PA_SAMPLE_S16LE, mono
        none = 0xFFFFFFFF
        attr = Player.Attr(none, frames * 2, none, none, none)
        error = ctypes.c_int(0)
        self.handle = Player.lib.pa_simple_new(None, b"bench", 1, sink.encode(), b"clicks", ctypes.byref(sample_spec), None,
                                               ctypes.byref(attr), ctypes.byref(error))  # 1: PA_STREAM_PLAYBACK
        if not self.handle:
            raise RuntimeError(f"pa_simple_new failed ({error.value})")

    def write(self, data):
        error = ctypes.c_int(0)
        if Player.lib.pa_simple_write(self.handle, data, len(data), ctypes.byref(error)) < 0:
            raise RuntimeError(f"pa_simple_write failed ({error.value})")

    def latency(self):
        error = ctypes.c_int(0)
        return Player.lib.pa_simple_get_latency(self.handle, ctypes.byref(error)) / 1e6

    def close(self):
        Player.lib.pa_simple_free(self.handle)

class Sources:
    """The microphone tone and the clicks; remembers when each click was
    handed to the server and how much audio the player then had queued
    ahead of it (its own share of every delay)."""
    BLOCK = 240  # 5 ms

    def __init__(self, server):
        self.mic = subprocess.Popen(["pacat", "--playback", "-d", "micsink", "--raw", "--format=float32le",
                                     "--rate=48000", "--channels=1", f"{server.dir}/tone.raw"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.player = Player("speakers", int(PLAYER_MS * 48))
        self.clicks = []
        self.queued = []
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        silence = b"\0\0" * self.BLOCK
        click = struct.pack("<h", 30000) * 48 + b"\0\0" * (self.BLOCK - 48)
        every = int(CLICK_EVERY * 48000 / self.BLOCK)
        n = 0
        while not self.stop:
            is_click = n % every == every // 2
            self.player.write(click if is_click else silence)
            if is_click:
                self.clicks.append(time.monotonic())
                self.queued.append(self.player.latency())
            n += 1

    def start(self):
        self.thread.start()

    def close(self):
        self.stop = True
        self.thread.join()
        self.player.close()
        self.mic.kill()
        self.mic.wait()

class Reference:
    """parec with a 10 ms fragment on the same monitor, raw, read as it
    arrives: the least any PulseAudio client can take to see a click, so a
    tool's own share is its delay minus this one's on the same clicks."""
    def __init__(self):
        self.proc = subprocess.Popen(["parec", "-d", "speakers.monitor", "--latency-msec=10", "--raw",
                                      "--format=s16le", "--rate=48000", "--channels=1"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.chunks = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        carry = b""
        fd = self.proc.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                return
            t = time.monotonic()
            data = carry + data
            even = len(data) - len(data) % 2
            carry = data[even:]
            self.chunks.append((t, struct.unpack(f"<{even//2}h", data[:even])))

    def close(self):
        self.proc.kill()
        self.proc.wait()
        self.thread.join()

def click_delays(chunks, clicks):
    """chunks: (arrival time, samples as int list). Each click's delay is
    the arrival of the first chunk whose samples cross the threshold after
    the click was written; answers {click number: delay in seconds}."""
    arrivals = []
    previous = False
    for t, samples in chunks:
        loud = any(abs(s) > 8000 for s in samples)
        if loud and not previous:
            arrivals.append(t)
        previous = loud
    delays = {}
    for i, c in enumerate(clicks):
        later = [a - c for a in arrivals if 0 <= a - c < 0.45]
        if later:
            delays[i] = later[0]
    return delays

def read_stream(fd, until, handle):
    buf = b""
    while time.monotonic() < until:
        r, _, _ = select.select([fd], [], [], 0.05)
        if not r:
            continue
        data = os.read(fd, 65536)
        if not data:
            break
        handle(time.monotonic(), data)

def bench_helper(server, sources, helper=HELPER):
    p = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdin.write(b'{"command":"prepare"}\n'); p.stdin.flush()
    assert b"prepared" in p.stdout.readline()
    p.stdin.write(b'{"command":"start"}\n'); p.stdin.flush()
    assert b"recording" in p.stdout.readline()
    chunks, seconds, partial = [], {"system": 0.0, "microphone": 0.0}, [b""]
    def handle(t, data):
        partial[0] += data
        *lines, partial[0] = partial[0].split(b"\n")
        for line in lines:
            e = json.loads(line)
            if e.get("event") != "audio":
                continue
            pcm = base64.b64decode(e["audio"])
            seconds[e["source"]] += len(pcm) / 32000
            if e["source"] == "system":
                chunks.append((t, struct.unpack(f"<{len(pcm)//2}h", pcm)))
    read_stream(p.stdout.fileno(), time.monotonic() + DURATION, handle)
    rss = peak_rss_kb(p.pid)
    p.stdin.write(b'{"command":"stop"}\n'); p.stdin.close()
    p.stdout.read(); p.stderr.read()
    cpu = reap(p)  # the stop's drain included
    return cpu, rss, seconds["system"] + seconds["microphone"], chunks

def bench_pipes(server, sources, commands):
    """commands: (system pipeline, microphone pipeline); each a list of argv;
    the system pipeline's last stage writes 16 kHz s16 to stdout."""
    procs, outs = [], []
    for pipeline in commands:
        prev = None
        for i, argv in enumerate(pipeline):
            last = i == len(pipeline) - 1
            proc = subprocess.Popen(argv, stdin=prev.stdout if prev else subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            if prev:
                prev.stdout.close()
            procs.append(proc)
            prev = proc
        outs.append(prev)
    chunks, total = [], [0.0]
    sys_fd, mic_fd = outs[0].stdout.fileno(), outs[1].stdout.fileno()
    carry = {sys_fd: b"", mic_fd: b""}
    until = time.monotonic() + DURATION
    while time.monotonic() < until:
        r, _, _ = select.select([sys_fd, mic_fd], [], [], 0.05)
        for fd in r:
            data = os.read(fd, 65536)
            t = time.monotonic()
            data = carry[fd] + data
            even = len(data) - len(data) % 2
            carry[fd] = data[even:]
            total[0] += even / 32000
            if fd == sys_fd:
                chunks.append((t, struct.unpack(f"<{even//2}h", data[:even])))
    rss = sum(peak_rss_kb(p.pid) for p in procs)
    for p in procs:
        p.kill()
    cpu = sum(reap(p) for p in procs)
    return cpu, rss, total[0], chunks

# parec | sox at the helper's own fragments (40 ms for the output's monitor,
# 50 ms for the microphone), then with sox's output unbuffered (stdbuf -o0;
# by default stdio holds 4096 bytes, 128 ms of its output) at those and at
# smaller fragments: the way to bring it nearest the helper's delay. Its
# resampler still holds back tens of milliseconds, so even 10 ms fragments
# do not reach the helper's delay.
PAREC_SOX = [(40, 50, False), (40, 50, True), (20, 25, True), (10, 10, True)]

def parec_sox(source, latency_ms, unbuffered):
    return [["parec", "-d", source, f"--latency-msec={latency_ms}", "--raw", "--format=float32le", "--rate=48000",
             "--channels=2"],
            (["stdbuf", "-o0"] if unbuffered else []) +
            ["sox", "--buffer", "640", "-t", "raw", "-e", "floating-point", "-b", "32", "-c", "2", "-r", "48000", "-",
             "-t", "raw", "-e", "signed", "-b", "16", "-c", "1", "-r", "16000", "-"]]

def ms(values):
    return statistics.median(values) * 1000 if values else float("nan")

def main():
    server = Server()
    results, reference, queued = [], [], []
    try:
        tools = [("zentrell-audio-helper", lambda: bench_helper(server, None))]
        if BASELINE:
            tools.append(("baseline helper", lambda: bench_helper(server, None, BASELINE)))
        tools += [
            ("ffmpeg -f pulse", lambda: bench_pipes(server, None, [
                [["ffmpeg", "-nostdin", "-loglevel", "quiet", "-f", "pulse", "-fragment_size", "3840", "-i",
                  "speakers.monitor", "-ar", "16000", "-ac", "1", "-f", "s16le", "-flush_packets", "1", "pipe:1"]],
                [["ffmpeg", "-nostdin", "-loglevel", "quiet", "-f", "pulse", "-fragment_size", "3840", "-i",
                  "virtualmic", "-ar", "16000", "-ac", "1", "-f", "s16le", "-flush_packets", "1", "pipe:1"]]])),
            *[(f"parec | sox {system}/{mic}" + (" -o0" if unbuffered else ""),
               lambda system=system, mic=mic, unbuffered=unbuffered: bench_pipes(server, None, [
                   parec_sox(src, latency, unbuffered)
                   for src, latency in (("speakers.monitor", system), ("virtualmic", mic))]))
              for system, mic, unbuffered in PAREC_SOX],
        ]
        for name, run in tools:
            sources = Sources(server)
            sources.start()
            ref = Reference()
            time.sleep(0.5)
            cpu, rss, captured, chunks = run()
            ref.close()
            sources.close()
            delays = click_delays(chunks, sources.clicks)
            ref_delays = click_delays(ref.chunks, sources.clicks)
            own = [delays[i] - ref_delays[i] for i in delays if i in ref_delays]
            reference += ref_delays.values()
            queued += sources.queued
            results.append((name, cpu, rss, captured, ms(list(delays.values())), ms(own), len(delays),
                            len(sources.clicks)))
    finally:
        server.close()
    print(f"{'tool':24} {'CPU ms per s of audio':>21} {'peak RSS kB':>12} {'audio s':>8} "
          f"{'click delay ms':>15} {'beyond parec ms':>16} {'clicks':>8}")
    for name, cpu, rss, captured, med, own, found, sent in results:
        per = cpu / captured * 1000 if captured else float("nan")
        print(f"{name:24} {per:21.2f} {rss:12d} {captured:8.1f} {med:15.1f} {own:16.1f} {found:>4}/{sent}")
    print(f"{'parec --latency-msec=10':24} {'':21} {'':12} {'':8} {ms(reference):15.1f} {'(reference)':>16}")
    server_name = "PipeWire" if ON_PIPEWIRE else "PulseAudio"
    print(f"server: private {server_name}" + (f"; baseline helper: {BASELINE}" if BASELINE else ""))
    print(f"delays: medians from a click handed to the server to the output carrying it; 'beyond parec': median "
          f"difference to the reference capture running beside the tool on the same clicks; player target "
          f"{PLAYER_MS:g} ms, latency it reported at the clicks {ms(queued):.1f} ms")

if __name__ == "__main__":
    main()
