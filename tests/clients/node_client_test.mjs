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
const load = (name) => JSON.parse(readFileSync(new URL(`./${name}`, import.meta.url)));
const KNOWN = load('known_signal.json');
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// The known signal without an end: plays until stopped.
function endless(changes = {}) {
  const scenario = structuredClone(KNOWN);
  delete scenario.streams[0].audio.buffers;
  delete scenario.engines[0].audio.buffers;
  return { ...scenario, ...changes };
}

let scenarios = 0;
function session(scenario, options = {}) {
  const { endless: open, ...rest } = scenario;
  const path = join(SCRATCH, `node-scenario-${process.pid}-${scenarios++}.json`);
  writeFileSync(path, JSON.stringify(open ? endless(rest) : rest));
  return new za.Session({ helperPath: SIM, env: { ...process.env, ZT_SIM_SCENARIO: path }, ...options });
}

function assertNothingLeft(pid) {
  assert.ok(pid > 0);
  assert.equal(existsSync(`/proc/${pid}`), false, 'the helper is still there (or unreaped)');
  const children = readdirSync('/proc').filter((entry) => {
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]) === process.pid;
    } catch {
      return false; // not a process, or gone
    }
  });
  assert.deepEqual(children, []);
}

// Amplitude of the best-fitting sine and the worst 10 ms residual relative
// to it (as client_checks.py).
function sineFit(pcm, frequency, skip = 64) {
  const x = [];
  for (let i = 2 * skip; i + 1 < pcm.length - 2 * skip; i += 2) x.push(pcm.readInt16LE(i) / 32768);
  const w = (2 * Math.PI * frequency) / 16000;
  const [sin, cos] = [(i) => Math.sin(w * i), (i) => Math.cos(w * i)];
  const a = (2 * x.reduce((sum, v, i) => sum + v * sin(i), 0)) / x.length;
  const b = (2 * x.reduce((sum, v, i) => sum + v * cos(i), 0)) / x.length;
  let worst = 0;
  for (let i = 0; i + 160 <= x.length; i += 160) {
    let sum = 0;
    for (let j = i; j < i + 160; ++j) sum += (x[j] - a * sin(j) - b * cos(j)) ** 2;
    worst = Math.max(worst, Math.sqrt(sum / 160));
  }
  return { amplitude: Math.hypot(a, b), worst: worst / Math.hypot(a, b) };
}

function checkCounts(chunks, source) {
  const mine = chunks.filter((c) => c.source === source);
  mine.forEach((c, i) => {
    assert.equal(c.offset, i === 0 ? 0 : mine[i - 1].total, `${source} count runs on`);
    assert.equal(c.total - c.offset, c.pcm.length / 2);
  });
  return Buffer.concat(mine.map((c) => c.pcm));
}

test('a known signal by iterator, and by events over a pause', async () => {
  // The iterator: the sources end by themselves; stop once they are quiet.
  let s = session(KNOWN);
  await s.prepare();
  await s.start();
  let chunks = [];
  let quiet;
  const stopWhenQuiet = () => {
    clearTimeout(quiet);
    quiet = setTimeout(() => s.stop(), 600);
  };
  stopWhenQuiet();
  for await (const chunk of s) chunks.push(chunk), stopWhenQuiet();
  clearTimeout(quiet);
  assert.equal(s.exitStatus, 0);
  assertNothingLeft(s.pid);
  for (const [source, frames, audio] of [
    ['system', KNOWN.streams[0].audio.frames, KNOWN.streams[0].audio],
    ['microphone', 1024, KNOWN.engines[0].audio],
  ]) {
    const pcm = checkCounts(chunks, source);
    const played = frames * audio.buffers;
    const samples = pcm.length / 2;
    assert.ok(samples >= (played - frames) / 3 && samples <= played / 3 + 1, `${source}: ${samples} samples`);
    const { amplitude, worst } = sineFit(pcm, audio.frequency);
    assert.ok(Math.abs(amplitude - 0.5) < 0.01, `${source} amplitude ${amplitude}`);
    assert.ok(worst < 0.003, `${source} residual ${worst}`);
  }

  s = session(endless());
  chunks = [];
  const states = [];
  s.on('chunk', (chunk) => chunks.push(chunk));
  s.on('state', (state) => states.push(state));
  await s.prepare();
  await s.start();
  await sleep(500);
  await s.pause();
  await s.resume();
  await sleep(500);
  await s.stop();
  await assert.rejects(s.start(), /session has ended/);
  assert.deepEqual(states, ['recording', 'paused', 'recording', 'ended']);
  for (const source of ['system', 'microphone']) assert.ok(checkCounts(chunks, source).length > 0, source);
  assertNothingLeft(s.pid);
});

test('every error path rejects with its class, once', async () => {
  for (const [name, scenario, steps, className] of load('failures.json')) {
    const cls = za[className];
    const s = session(scenario);
    const emitted = [];
    s.on('error', (error) => emitted.push(error));
    await assert.rejects(async () => {
      for (const step of steps) {
        if (step === 'iterate') for await (const chunk of s) void chunk;
        else if (step === 'kill') process.kill(s.pid, 'SIGKILL');
        else await s[step]();
      }
    }, cls, name);
    await s.close();
    assert.ok(s.failure instanceof cls, name);
    assert.deepEqual(emitted, [s.failure], name);
    assertNothingLeft(s.pid);
  }
});

test('a missing helper, and one that cannot run', async () => {
  const notExecutable = new URL(import.meta.url).pathname;
  for (const options of [{ helperPath: join(SCRATCH, 'none') }, { helperPath: notExecutable }, { env: { PATH: SCRATCH } }])
    assert.throws(() => new za.Session(options), za.HelperNotFoundError);
  const broken = join(SCRATCH, 'broken-helper-node');
  writeFileSync(broken, "#!/bin/sh\necho 'cannot open shared object file' >&2\nexit 127\n");
  chmodSync(broken, 0o755);
  const s = new za.Session({ helperPath: broken });
  const notRunnable = (error) => error instanceof za.HelperNotRunnableError && /cannot open shared object/.test(error.message);
  await assert.rejects(s.prepare(), notRunnable);
  assertNothingLeft(s.pid);
});

test('every code maps to its class', () => {
  // The guide's table of error codes is the list to cover.
  const table = readFileSync(process.env.ZT_GUIDE, 'utf8').split('## Error codes')[1].split('\n## ')[0];
  const codes = [...table.matchAll(/\n\| `([A-Z_]+)` \|/g)].map((m) => m[1]);
  assert.equal(codes.length, 15);
  const classes = new Set();
  for (const code of codes) {
    const error = za.errorForCode(code);
    classes.add(error.constructor);
    assert.equal(za[error.constructor.name], error.constructor, code);
    assert.ok(error instanceof za.HelperError && error instanceof za.ZentrellAudioError);
    assert.deepEqual([error.code, error.constructor.code], [code, code]);
    assert.ok(error.sentence.length > 20 && error.message.includes(code));
  }
  assert.equal(classes.size, codes.length);
  assert.equal(za.errorForCode('SOMETHING_NEW').constructor, za.HelperError);
});

test('leaving the loop by break or throw stops the helper', async () => {
  for (const leave of ['break', 'throw']) {
    const s = session(endless());
    await s.prepare();
    await s.start();
    const loop = async () => {
      for await (const chunk of s) {
        if (leave === 'break') break;
        throw new RangeError(`host fault at ${chunk.offset}`);
      }
    };
    await (leave === 'throw' ? assert.rejects(loop, RangeError) : loop());
    assert.equal(s.exitStatus, 0, leave);
    assertNothingLeft(s.pid);
  }
});

test('keeps up with a helper far faster than real time, and answers at once', async () => {
  // More output than one read per rest could take: reading must go on while
  // a backlog waits, or the helper overflows.
  const fast = endless();
  fast.streams[0].audio.speed = 25;
  fast.engines[0].audio.speed = 6;
  let s = session(fast);
  await s.prepare();
  await s.start();
  await sleep(2000);
  await s.stop();
  assert.ok(s.counts.system > 30 * za.SAMPLE_RATE, `${s.counts.system}`);
  // Answers to commands do not wait for the next batch of reads.
  s = session(endless(), { readIntervalMs: 3000 });
  await s.prepare();
  await s.start();
  await sleep(300); // a batch is pending
  try {
    for (const command of ['pause', 'resume', 'stop']) {
      const begun = Date.now();
      await s[command]();
      assert.ok(Date.now() - begun < 1500, `${command} took ${Date.now() - begun} ms`);
    }
  } finally {
    await s.kill();
  }
  assertNothingLeft(s.pid);
});
