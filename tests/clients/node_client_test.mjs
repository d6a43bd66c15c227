// The packed zentrell-audio module, installed in a scratch project, against
// the scripted helper: a known signal, every error path, and cleanup on
// every way out of a session. ZT_SIM_HELPER names the scripted helper,
// ZT_SCRATCH a folder for scenarios.
import assert from 'node:assert/strict';
import { chmodSync, existsSync, readdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import * as za from 'zentrell-audio';

const SIM = process.env.ZT_SIM_HELPER;
const SCRATCH = process.env.ZT_SCRATCH;
const KNOWN = JSON.parse(readFileSync(new URL('./known_signal.json', import.meta.url)));
const TAP_FRAMES = 1024;

let scenarios = 0;
function simEnv(scenario) {
  const path = join(SCRATCH, `node-scenario-${process.pid}-${scenarios++}.json`);
  writeFileSync(path, JSON.stringify(scenario));
  return { ...process.env, ZT_SIM_SCENARIO: path };
}

// The known signal without an end: plays until stopped.
function endless() {
  const scenario = structuredClone(KNOWN);
  delete scenario.streams[0].audio.buffers;
  delete scenario.engines[0].audio.buffers;
  return scenario;
}

function children() {
  const found = [];
  for (const entry of readdirSync('/proc')) {
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      if (Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]) === process.pid) found.push(Number(entry));
    } catch {
      // not a process, or gone
    }
  }
  return found;
}

function assertNothingLeft(pid) {
  assert.ok(pid > 0);
  assert.equal(existsSync(`/proc/${pid}`), false, 'the helper is still there (or unreaped)');
  assert.deepEqual(children(), []);
}

// Amplitude of the best-fitting sine and the worst 10 ms residual relative
// to it (see client_checks.py).
function sineFit(pcm, frequency, skip = 64) {
  const x = [];
  for (let i = 2 * skip; i + 1 < pcm.length - 2 * skip; i += 2) x.push(pcm.readInt16LE(i) / 32768);
  const w = (2 * Math.PI * frequency) / 16000;
  let a = 0;
  let b = 0;
  x.forEach((v, i) => {
    a += v * Math.sin(w * (i + skip));
    b += v * Math.cos(w * (i + skip));
  });
  a = (2 * a) / x.length;
  b = (2 * b) / x.length;
  const amplitude = Math.hypot(a, b);
  let worst = 0;
  for (let i = 0; i + 160 <= x.length; i += 160) {
    let sum = 0;
    for (let j = i; j < i + 160; ++j) {
      const r = x[j] - a * Math.sin(w * (j + skip)) - b * Math.cos(w * (j + skip));
      sum += r * r;
    }
    worst = Math.max(worst, Math.sqrt(sum / 160));
  }
  return { amplitude, worst: worst / amplitude };
}

function checkKnownSignal(chunks) {
  const sources = {
    system: { frequency: 1000, frames: KNOWN.streams[0].audio.frames, buffers: KNOWN.streams[0].audio.buffers },
    microphone: { frequency: 440, frames: TAP_FRAMES, buffers: KNOWN.engines[0].audio.buffers },
  };
  for (const [source, { frequency, frames, buffers }] of Object.entries(sources)) {
    const mine = chunks.filter((c) => c.source === source);
    mine.forEach((c, i) => {
      assert.equal(c.offset, i === 0 ? 0 : mine[i - 1].total, `${source} count runs on`);
      assert.equal(c.total - c.offset, c.pcm.length / 2);
    });
    const pcm = Buffer.concat(mine.map((c) => c.pcm));
    const samples = pcm.length / 2;
    const played = frames * buffers;
    assert.ok(samples >= (played - frames) / 3 && samples <= played / 3 + 1, `${source}: ${samples} samples`);
    const { amplitude, worst } = sineFit(pcm, frequency);
    assert.ok(Math.abs(amplitude - 0.5) < 0.01, `${source} amplitude ${amplitude}`);
    assert.ok(worst < 0.003, `${source} residual ${worst}`);
  }
}

test('three seconds of a known signal, by iterator and by events', async () => {
  // The iterator: the sources end by themselves; stop once they are quiet.
  let session = new za.Session({ helperPath: SIM, env: simEnv(KNOWN) });
  await session.prepare();
  await session.start();
  let chunks = [];
  let quiet;
  const stopWhenQuiet = () => {
    clearTimeout(quiet);
    quiet = setTimeout(() => session.stop(), 600);
  };
  stopWhenQuiet();
  for await (const chunk of session) {
    chunks.push(chunk);
    stopWhenQuiet();
  }
  clearTimeout(quiet);
  assert.equal(session.exitStatus, 0);
  checkKnownSignal(chunks);
  assertNothingLeft(session.pid);

  // The events, with a pause in the middle: the count runs on over it.
  session = new za.Session({ helperPath: SIM, env: simEnv(endless()) });
  chunks = [];
  const states = [];
  session.on('chunk', (chunk) => chunks.push(chunk));
  session.on('state', (state) => states.push(state));
  await session.prepare();
  await session.start();
  await new Promise((resolve) => setTimeout(resolve, 500));
  await session.pause();
  await session.resume();
  await new Promise((resolve) => setTimeout(resolve, 500));
  await session.stop();
  await assert.rejects(session.start(), /session has ended/);
  assert.deepEqual(states, ['recording', 'paused', 'recording', 'ended']);
  for (const source of ['system', 'microphone']) {
    const mine = chunks.filter((c) => c.source === source);
    assert.ok(mine.length > 2, source);
    mine.forEach((c, i) => assert.equal(c.offset, i === 0 ? 0 : mine[i - 1].total, source));
  }
  assertNothingLeft(session.pid);
});

const STREAM_ERROR = { error: { domain: 'OtherDomain', code: 5 } };
// [name, scenario, steps, class]: the steps run in order; the class is what
// the session rejects with, from a command or from the iteration after them.
const FAILURES = [
  ['microphone refused', { microphoneStatus: 2 }, ['prepare'], za.MicrophonePermissionDeniedError],
  ['screen refused', { screenPreflight: false, screenRequest: false }, ['prepare'], za.ScreenPermissionDeniedError],
  ['no microphone', { microphonePresent: false }, ['prepare'], za.MicrophoneUnavailableError],
  ['no display', { displays: 0 }, ['prepare'], za.NoDisplayError],
  ['content query fails', { content: STREAM_ERROR }, ['prepare'], za.SystemAudioUnavailableError],
  ['start before prepare', {}, ['start'], za.InvalidStateError],
  ['stream does not start', { streams: [{ start: STREAM_ERROR }] }, ['prepare', 'start'], za.CaptureStartFailedError],
  ['conversion fails', { ...endless(), converter: { failConvertAfter: 3 } }, ['prepare', 'start', 'iterate'],
    za.AudioConversionFailedError],
  ['conversion stalls', { ...endless(), converter: { stallMs: 80 } }, ['prepare', 'start', 'iterate'],
    za.AudioBackpressureError],
  ['stream stops by itself', { streams: [{ stopsByItselfAfterMs: 200 }] }, ['prepare', 'start', 'iterate'],
    za.SystemAudioUnavailableError],
  ['stop fails', { streams: [{ stop: STREAM_ERROR }] }, ['prepare', 'start', 'stop'], za.CaptureStopFailedError],
  ['stream never starts', { streams: [{ start: 'never' }] }, ['prepare', 'start'], za.CaptureTimeoutError],
  ['killed', {}, ['prepare', 'start', 'kill', 'iterate'], za.HelperDiedError],
];

test('every error path rejects with its class', async () => {
  for (const [name, scenario, steps, cls] of FAILURES) {
    const session = new za.Session({ helperPath: SIM, env: simEnv(scenario) });
    const emitted = [];
    session.on('error', (error) => emitted.push(error));
    await assert.rejects(async () => {
      for (const step of steps) {
        if (step === 'iterate') for await (const chunk of session) void chunk;
        else if (step === 'kill') process.kill(session.pid, 'SIGKILL');
        else await session[step]();
      }
    }, cls, name);
    await session.close();
    assert.ok(session.failure instanceof cls, name);
    assert.deepEqual(emitted, [session.failure], name); // once, as it came
    assertNothingLeft(session.pid);
  }
});

test('a missing helper, and one that cannot run', async () => {
  assert.throws(() => new za.Session({ helperPath: join(SCRATCH, 'no-such-helper') }), za.HelperNotFoundError);
  assert.throws(() => new za.Session({ helperPath: new URL(import.meta.url).pathname }), za.HelperNotFoundError);
  assert.throws(() => new za.Session({ env: { PATH: SCRATCH } }), za.HelperNotFoundError);
  const broken = join(SCRATCH, 'broken-helper-node');
  writeFileSync(broken, "#!/bin/sh\necho 'cannot open shared object file' >&2\nexit 127\n");
  chmodSync(broken, 0o755);
  const session = new za.Session({ helperPath: broken });
  await assert.rejects(session.prepare(), (error) => {
    assert.ok(error instanceof za.HelperNotRunnableError);
    assert.match(error.message, /cannot open shared object file/);
    return true;
  });
  assertNothingLeft(session.pid);
});

test('every code maps to its class', () => {
  // The guide's table of error codes is the list to cover.
  const table = readFileSync(process.env.ZT_GUIDE, 'utf8').split('## Error codes')[1].split('\n## ')[0];
  const codes = [...table.matchAll(/\n\| `([A-Z_]+)` \|/g)].map((m) => m[1]);
  assert.equal(codes.length, 15);
  const classes = new Set();
  for (const code of codes) {
    const error = za.errorForCode(code);
    const cls = error.constructor;
    classes.add(cls);
    assert.equal(za[cls.name], cls, code);
    assert.ok(error instanceof za.HelperError && error instanceof za.ZentrellAudioError);
    assert.equal(error.code, code);
    assert.equal(cls.code, code);
    assert.ok(error.sentence.length > 20 && error.message.includes(code));
  }
  assert.equal(classes.size, codes.length);
  assert.equal(za.errorForCode('SOMETHING_NEW').constructor, za.HelperError);
});

test('leaving the loop by break or throw stops the helper', async () => {
  for (const leave of ['break', 'throw']) {
    const session = new za.Session({ helperPath: SIM, env: simEnv(endless()) });
    await session.prepare();
    await session.start();
    const loop = async () => {
      for await (const chunk of session) {
        if (leave === 'break') break;
        throw new RangeError(`host fault at ${chunk.offset}`);
      }
    };
    if (leave === 'throw') await assert.rejects(loop, RangeError);
    else await loop();
    assert.equal(session.exitStatus, 0, leave);
    assertNothingLeft(session.pid);
  }
});

test('keeps up with a helper far faster than real time', async () => {
  // More output than one read per rest could take: reading must go on while
  // a backlog waits, or the helper overflows.
  const scenario = endless();
  scenario.streams[0].audio.speed = 25;
  scenario.engines[0].audio.speed = 6;
  const session = new za.Session({ helperPath: SIM, env: simEnv(scenario) });
  await session.prepare();
  await session.start();
  await new Promise((resolve) => setTimeout(resolve, 2000));
  await session.stop();
  assert.ok(session.counts.system > 30 * za.SAMPLE_RATE, `${session.counts.system}`);
});

test('answers to commands do not wait for the next batch', async () => {
  const session = new za.Session({ helperPath: SIM, env: simEnv(endless()), readIntervalMs: 3000 });
  await session.prepare();
  await session.start();
  await new Promise((resolve) => setTimeout(resolve, 300)); // a batch is pending
  try {
    for (const command of ['pause', 'resume', 'stop']) {
      const begun = Date.now();
      await session[command]();
      assert.ok(Date.now() - begun < 1500, `${command} took ${Date.now() - begun} ms`);
    }
  } finally {
    await session.kill();
  }
  assertNothingLeft(session.pid);
});
