#!/usr/bin/env python3
"""Capture cost and click delay of the helper next to ffmpeg and parec|sox.

Starts a private PulseAudio server, plays a tone into the virtual
microphone and clicks into the default output for DURATION seconds per
tool, and reports for each tool: CPU seconds per second of captured audio,
peak resident memory, and the median delay from a click being written to
the server to the output chunk (the event line, for the helper) carrying it.
Not a test: it measures and prints.
"""
import base64, json, os, select, shutil, signal, subprocess, sys, tempfile, threading, time, struct, math, statistics

HELPER = sys.argv[1] if len(sys.argv) > 1 else "build/zentrell-audio-helper"
DURATION = float(os.environ.get("BENCH_SECONDS", "20"))
CLICK_EVERY = 0.5
TICK = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        parts = f.read().rsplit(")", 1)[1].split()
    return (int(parts[11]) + int(parts[12])) / TICK

def peak_rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0

class Server:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zt-bench-")
        env = os.environ
        for k in ("PULSE_RUNTIME_PATH", "XDG_RUNTIME_DIR", "HOME"):
            env[k] = self.dir
        env["PULSE_SERVER"] = f"unix:{self.dir}/native"
        with open(f"{self.dir}/server.pa", "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={self.dir}/native\n"
                    "load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
                    "load-module module-null-sink sink_name=micsink rate=48000 channels=2\n"
                    "load-module module-remap-source source_name=virtualmic master=micsink.monitor rate=48000 channels=2\n"
                    "set-default-sink speakers\nset-default-source virtualmic\n")
        self.proc = subprocess.Popen(["pulseaudio", "-n", "-F", f"{self.dir}/server.pa", "--exit-idle-time=-1",
                                      "--daemonize=no", "--system=no", "--disallow-exit", "--use-pid-file=no"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if subprocess.call(["pactl", "info"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) == 0:
                break
            time.sleep(0.05)
        tone = b"".join(struct.pack("<f", 0.3 * math.sin(2 * math.pi * 440 * i / 48000)) for i in range(48000))
        with open(f"{self.dir}/tone.raw", "wb") as f:
            f.write(tone * int(DURATION * 3 + 10))

    def close(self):
        self.proc.terminate()
        self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

class Sources:
    """The microphone tone and the clicks, written in real time through a
    low-latency player; remembers when each click was handed to the server."""
    def __init__(self, server):
        self.mic = subprocess.Popen(["pacat", "--playback", "-d", "micsink", "--raw", "--format=float32le",
                                     "--rate=48000", "--channels=1", f"{server.dir}/tone.raw"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.clicker = subprocess.Popen(["pacat", "--playback", "-d", "speakers", "--raw", "--format=s16le",
                                         "--rate=48000", "--channels=1", "--latency-msec=10"],
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.clicks = []
        self.stop = False
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        block = 480  # 10 ms
        silence = b"\0\0" * block
        click = struct.pack("<h", 30000) * 48 + b"\0\0" * (block - 48)
        start = time.monotonic()
        n = 0
        while not self.stop:
            t = start + n * 0.01
            delay = t - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            is_click = n % int(CLICK_EVERY / 0.01) == 25
            self.clicker.stdin.write(click if is_click else silence)
            self.clicker.stdin.flush()
            if is_click:
                self.clicks.append(time.monotonic())
            n += 1

    def start(self):
        self.thread.start()

    def close(self):
        self.stop = True
        self.thread.join()
        for p in (self.mic, self.clicker):
            p.kill()
            p.wait()

def click_delays(chunks, clicks):
    """chunks: (arrival time, samples as int list at 16 kHz). Each click's
    delay is the arrival of the first chunk whose samples cross the
    threshold after the click was written."""
    arrivals = []
    previous = False
    for t, samples in chunks:
        loud = any(abs(s) > 8000 for s in samples)
        if loud and not previous:
            arrivals.append(t)
        previous = loud
    delays = []
    for c in clicks:
        later = [a - c for a in arrivals if 0 <= a - c < 0.45]
        if later:
            delays.append(later[0])
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

def bench_helper(server, sources):
    p = subprocess.Popen([HELPER], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
    cpu, rss = cpu_seconds(p.pid), peak_rss_kb(p.pid)
    p.stdin.write(b'{"command":"stop"}\n'); p.stdin.flush()
    p.communicate(timeout=10)
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
    cpu = sum(cpu_seconds(p.pid) for p in procs)
    rss = sum(peak_rss_kb(p.pid) for p in procs)
    for p in procs:
        p.kill(); p.wait()
    return cpu, rss, total[0], chunks

def main():
    server = Server()
    results = []
    try:
        tools = [
            ("zentrell-audio-helper", lambda: bench_helper(server, None)),
            ("ffmpeg -f pulse", lambda: bench_pipes(server, None, [
                [["ffmpeg", "-nostdin", "-loglevel", "quiet", "-f", "pulse", "-fragment_size", "3840", "-i",
                  "speakers.monitor", "-ar", "16000", "-ac", "1", "-f", "s16le", "-flush_packets", "1", "pipe:1"]],
                [["ffmpeg", "-nostdin", "-loglevel", "quiet", "-f", "pulse", "-fragment_size", "3840", "-i",
                  "virtualmic", "-ar", "16000", "-ac", "1", "-f", "s16le", "-flush_packets", "1", "pipe:1"]]])),
            ("parec | sox", lambda: bench_pipes(server, None, [
                [["parec", "-d", src, "--latency-msec=20", "--raw", "--format=float32le", "--rate=48000",
                  "--channels=2"],
                 ["sox", "--buffer", "640", "-t", "raw", "-e", "floating-point", "-b", "32", "-c", "2", "-r", "48000",
                  "-", "-t", "raw", "-e", "signed", "-b", "16", "-c", "1", "-r", "16000", "-"]]
                for src in ("speakers.monitor", "virtualmic")])),
        ]
        for name, run in tools:
            sources = Sources(server)
            sources.start()
            time.sleep(0.5)
            cpu, rss, captured, chunks = run()
            sources.close()
            delays = click_delays(chunks, sources.clicks)
            med = statistics.median(delays) * 1000 if delays else float("nan")
            results.append((name, cpu, rss, captured, med, len(delays), len(sources.clicks)))
    finally:
        server.close()
    print(f"{'tool':24} {'CPU s per s of audio':>20} {'peak RSS kB':>12} {'audio s':>8} {'median click delay ms':>22} {'clicks':>8}")
    for name, cpu, rss, captured, med, found, sent in results:
        per = cpu / captured if captured else float("nan")
        print(f"{name:24} {per:20.4f} {rss:12d} {captured:8.1f} {med:22.1f} {found:>4}/{sent}")

if __name__ == "__main__":
    main()
