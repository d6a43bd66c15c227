// Record the computer's sound and the microphone through
// zentrell-audio-helper: process handling, line splitting, base64 decoding,
// sample counting and error mapping, with Node.js's own modules only.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { accessSync, constants, statSync } from 'node:fs';
import { delimiter, join } from 'node:path';
import * as stream from 'node:stream';

export const SAMPLE_RATE = 16000;
export const HELPER_NAME = 'zentrell-audio-helper';
// The helper's stop deadline (10 s) plus its exit grace (3 s), and a margin.
const STOP_TIMEOUT_MS = 15000;
// How long reading rests after each read of the helper's output. Audio
// arrives as ~150 events a second; waking for each costs far more CPU than
// decoding it, so the output is taken in batches. The helper buffers far more
// than two intervals (its pipe and 512 KiB); audio comes at most two
// intervals late, answers to commands without delay.
const READ_INTERVAL_MS = 100;
// libuv reads a pipe 64 KiB at a time: a read that size means more waits.
const FULL_READ = 65536;

export class ZentrellAudioError extends Error {
  get name() {
    return this.constructor.name;
  }
}

/** The helper reported an error event; the session is over. */
export class HelperError extends ZentrellAudioError {
  constructor(code, sentence = 'The helper reported an error.', hostFault = false) {
    super(`${sentence} (${code})`);
    this.code = code;
    this.sentence = sentence;
    this.hostFault = hostFault;
  }
}

const define = (name, code, sentence, hostFault = false) => {
  const cls = {
    [name]: class extends HelperError {
      constructor() {
        super(code, sentence, hostFault);
      }
    },
  }[name];
  cls.code = code;
  return cls;
};

export const ProtocolError = define('ProtocolError', 'PROTOCOL_ERROR',
  'The helper could not understand a command line from this program.', true);
export const InvalidStateError = define('InvalidStateError', 'INVALID_STATE',
  'A command came at a moment the helper does not take it (prepare, start, pause/resume, stop).', true);
export const CaptureTimeoutError = define('CaptureTimeoutError', 'CAPTURE_TIMEOUT',
  'The sound system did not answer within 10 seconds when starting or stopping the capture.');
export const MicrophoneUnavailableError = define('MicrophoneUnavailableError', 'MICROPHONE_UNAVAILABLE',
  'No usable microphone: connect or select one, then record again.');
export const ScreenPermissionDeniedError = define('ScreenPermissionDeniedError', 'SCREEN_PERMISSION_DENIED',
  'Screen and audio recording is not allowed: allow it in the system settings, then record again.');
export const SystemAudioUnavailableError = define('SystemAudioUnavailableError', 'SYSTEM_AUDIO_UNAVAILABLE',
  "The computer's sound cannot be captured: check the sound system and the output device.");
export const NoDisplayError = define('NoDisplayError', 'NO_DISPLAY',
  "There is no output device (or display) to capture the computer's sound from.");
export const MicrophonePermissionDeniedError = define('MicrophonePermissionDeniedError',
  'MICROPHONE_PERMISSION_DENIED',
  'Microphone access is not allowed: allow it in the system settings, then record again.');
export const CaptureStartFailedError = define('CaptureStartFailedError', 'CAPTURE_START_FAILED',
  "The capture of the computer's sound failed to start; try again.");
export const InternalError = define('InternalError', 'INTERNAL_ERROR',
  'The helper could not write an event (a fault in the helper); try again.');
export const CaptureStopFailedError = define('CaptureStopFailedError', 'CAPTURE_STOP_FAILED',
  'The capture did not stop cleanly; the audio received until then is good.');
export const AudioConversionFailedError = define('AudioConversionFailedError', 'AUDIO_CONVERSION_FAILED',
  'Captured audio could not be converted; try again, perhaps with another device.');
export const AudioBackpressureError = define('AudioBackpressureError', 'AUDIO_BACKPRESSURE',
  'The computer could not convert audio fast enough; it is overloaded.');
export const OutputBackpressureError = define('OutputBackpressureError', 'OUTPUT_BACKPRESSURE',
  "This program did not read the helper's output fast enough.", true);
export const OutputClosedError = define('OutputClosedError', 'OUTPUT_CLOSED',
  'The helper could not write to this program any more.', true);

export const ERRORS_BY_CODE = Object.freeze(Object.fromEntries([
  ProtocolError, InvalidStateError, CaptureTimeoutError, MicrophoneUnavailableError,
  ScreenPermissionDeniedError, SystemAudioUnavailableError, NoDisplayError,
  MicrophonePermissionDeniedError, CaptureStartFailedError, InternalError, CaptureStopFailedError,
  AudioConversionFailedError, AudioBackpressureError, OutputBackpressureError, OutputClosedError,
].map((cls) => [cls.code, cls])));

/** The error for an error event's code; an unknown code still gives a HelperError. */
export function errorForCode(code) {
  const cls = ERRORS_BY_CODE[code];
  return cls ? new cls() : new HelperError(String(code));
}

/** No helper at the path used, or it may not be run. */
export class HelperNotFoundError extends ZentrellAudioError {
  constructor(path, reason) {
    super(`Cannot run the audio helper ${path}: ${reason}`);
    this.path = path;
  }
}

/** Exit status 127: the helper could not run at all (most often a missing library). */
export class HelperNotRunnableError extends ZentrellAudioError {
  constructor(path, stderr) {
    super(`The audio helper ${path} could not be run (exit status 127)${stderr.trim() ? ': ' + stderr.trim() : ''}`);
    this.path = path;
    this.stderr = stderr;
  }
}

/** The helper ended without finishing the session. */
export class HelperDiedError extends ZentrellAudioError {
  constructor(exitStatus, signal, stderr) {
    super(signal ? `The audio helper was killed by ${signal}`
      : `The audio helper exited with status ${exitStatus} before the end of the session`);
    this.exitStatus = exitStatus;
    this.signal = signal;
    this.stderr = stderr;
  }
}

// The pipes' streams take the default buffer size of the moment they are
// made, and a stream reads its pipe until that much waits in its buffer: one
// byte lets the output wait in the pipe between batches. Without
// setDefaultHighWaterMark (Node.js before 18.17) it is read as it comes.
function spawnWithSmallBuffers(path, env) {
  const { getDefaultHighWaterMark, setDefaultHighWaterMark } = stream;
  if (typeof setDefaultHighWaterMark !== 'function') {
    return spawn(path, [], { stdio: ['pipe', 'pipe', 'pipe'], env });
  }
  const usual = getDefaultHighWaterMark(false);
  setDefaultHighWaterMark(false, 1);
  try {
    return spawn(path, [], { stdio: ['pipe', 'pipe', 'pipe'], env });
  } finally {
    setDefaultHighWaterMark(false, usual);
  }
}

function findHelper(helperPath) {
  if (helperPath !== undefined) return helperPath;
  for (const dir of (process.env.PATH || '').split(delimiter)) {
    const candidate = join(dir || '.', HELPER_NAME);
    try {
      accessSync(candidate, constants.X_OK);
      return candidate;
    } catch {
      // not in this folder
    }
  }
  throw new HelperNotFoundError(HELPER_NAME, 'not found on PATH; pass helperPath');
}

function checkHelper(path) {
  let stat;
  try {
    stat = statSync(path);
  } catch {
    throw new HelperNotFoundError(path, 'no such file');
  }
  try {
    if (!stat.isFile()) throw new Error();
    accessSync(path, constants.X_OK);
  } catch {
    throw new HelperNotFoundError(path, 'not executable');
  }
}

const AUDIO_KEY = '"audio":"';

/**
 * One recording with the helper. Commands return promises that settle once
 * the helper has answered; events: 'chunk', 'prepared', 'state', 'exit', and
 * 'error' when a listener for it is attached. Without a 'chunk' listener,
 * chunks queue for the async iterator (`for await (const chunk of session)`);
 * leaving that loop early stops the helper and waits for it.
 */
export class Session extends EventEmitter {
  constructor({ helperPath, env, readIntervalMs = READ_INTERVAL_MS } = {}) {
    super();
    this.readIntervalMs = readIntervalMs;
    this.path = findHelper(helperPath);
    checkHelper(this.path);
    this.env = env;
    this.child = null;
    this.counts = { system: 0, microphone: 0 };
    this.states = { recording: 0, paused: 0, ended: 0 };
    this.prepared = false;
    this.errors = [];
    this.finished = false;
    this.failure = null;
    this.failureReported = false;
    this._queue = [];
    this._pending = '';
    this._stderr = '';
    this._waiters = new Set();
    this._batch = null;
    this._backlog = false;
    this._commandsWaiting = 0;
  }

  get pid() {
    return this.child ? this.child.pid : undefined;
  }

  /** Starts the helper; the commands do it when needed. */
  open() {
    if (this.child) return this;
    const child = spawnWithSmallBuffers(this.path, this.env);
    this.child = child;
    child.stdin.on('error', () => {}); // the helper may be gone; its end is told by 'close'
    const stdout = child.stdout;
    stdout.setEncoding('latin1'); // events are ASCII: base64, words, codes
    if (this.readIntervalMs > 0 && stdout.readableHighWaterMark <= 1) {
      stdout.on('readable', () => this._schedule(stdout));
    } else {
      stdout.on('data', (text) => this._feed(text));
    }
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      if (this._stderr.length < 65536) this._stderr += text;
    });
    child.on('error', (err) => {
      if (child.pid === undefined) this._finish(new HelperNotFoundError(this.path, err.message), null, null);
    });
    child.on('close', (status, signal) => this._finish(null, status, signal));
    return this;
  }

  prepare() {
    return this._command('prepare', () => this.prepared);
  }

  start() {
    return this._command('start', this._nextState('recording'));
  }

  resume() {
    return this._command('resume', this._nextState('recording'));
  }

  pause() {
    return this._command('pause', this._nextState('paused'));
  }

  /** Stops and waits for the helper to exit; queued chunks stay for iteration. */
  async stop() {
    await this._command('stop', null);
  }

  /** Stops the helper if it runs and waits for it, killing it after `timeoutMs`. Never rejects. */
  async close(timeoutMs = STOP_TIMEOUT_MS) {
    if (!this.child) return;
    this._write('stop', true);
    if (this.finished) return;
    const timer = setTimeout(() => this.child.kill('SIGKILL'), timeoutMs);
    await this._until(() => this.finished);
    clearTimeout(timer);
  }

  /** Ends the helper at once, without its last audio. */
  async kill() {
    if (this.child && !this.finished) this.child.kill('SIGKILL');
    await this.close();
  }

  async [Symbol.asyncDispose]() {
    await this.close();
  }

  [Symbol.asyncIterator]() {
    if (!this.child) throw new ZentrellAudioError('the session is not open');
    return {
      next: async () => {
        await this._until(() => this._queue.length > 0 || this.finished);
        if (this._queue.length > 0) return { value: this._queue.shift(), done: false };
        const failure = this._takeFailure();
        if (failure) throw failure;
        return { value: undefined, done: true };
      },
      return: async () => {
        await this.close();
        return { value: undefined, done: true };
      },
      [Symbol.asyncIterator]() {
        return this;
      },
    };
  }

  // -- internals ---------------------------------------------------------------

  // Output is taken in batches: with its buffer of one byte the stream
  // reads the pipe once and stops until the buffer is taken, so between
  // batches the output waits in the pipe and the helper instead of waking
  // this process. Taking a batch reads the pipe again at once; that read is
  // the next batch (or comes soon, with a command waiting for its answer or
  // a backlog in the pipe).
  _schedule(stdout) {
    if (this._batch !== null) return;
    const soon = this._backlog || this._commandsWaiting > 0;
    this._batch = setTimeout(() => this._take(stdout), soon ? 0 : this.readIntervalMs);
  }

  _take(stdout) {
    this._batch = null;
    let text;
    let last = 0;
    while ((text = stdout.read()) !== null) {
      last = text.length;
      this._feed(text);
    }
    this._backlog = last >= FULL_READ;
  }

  _nextState(word) {
    const before = this.states[word];
    return () => this.states[word] > before;
  }

  _write(word, end = false) {
    const stdin = this.child.stdin;
    if (stdin.writableEnded || stdin.destroyed) return;
    stdin.write(`{"command":"${word}"}\n`);
    if (end) stdin.end();
  }

  async _command(word, answered) {
    this.open();
    this._write(word);
    this._commandsWaiting += 1;
    if (this._batch !== null) {
      clearTimeout(this._batch);
      this._batch = null;
      this._schedule(this.child.stdout);
    }
    try {
      await this._until(() => this.finished || (answered && (answered() || this.errors.length > 0)));
    } finally {
      this._commandsWaiting -= 1;
    }
    let failure = null;
    if (answered === null) {
      failure = this.failureReported ? null : this._failure();
      this.failureReported = true;
    } else if (!answered()) {
      // A later error comes through the chunks or stop(); a session that
      // ended cleanly before the command came carries nothing out.
      failure = this._takeFailure() ?? new ZentrellAudioError(`the session has ended; '${word}' was not carried out`);
    }
    if (failure) throw failure;
  }

  _until(done) {
    if (done()) return Promise.resolve();
    return new Promise((resolve) => {
      const waiter = () => {
        if (!done()) return;
        this._waiters.delete(waiter);
        resolve();
      };
      this._waiters.add(waiter);
    });
  }

  _changed() {
    for (const waiter of [...this._waiters]) waiter();
  }

  _failure() {
    return this.errors.length > 0 ? this.errors[0] : this.failure;
  }

  _takeFailure() {
    const failure = this._failure();
    if (failure) this.failureReported = true;
    return failure;
  }

  _feed(text) {
    const lines = (this._pending + text).split('\n');
    this._pending = lines.pop();
    for (const line of lines) this._line(line);
    this._changed();
  }

  _line(line) {
    // Audio lines are nearly all the traffic: take them apart without a JSON
    // parser when they have the plain shape the helper writes.
    const at = line.indexOf(AUDIO_KEY);
    if (at >= 0 && line.includes('"event":"audio"')) {
      const end = line.indexOf('"', at + AUDIO_KEY.length);
      const source = line.includes('"source":"system"') ? 'system'
        : line.includes('"source":"microphone"') ? 'microphone' : null;
      const payload = line.slice(at + AUDIO_KEY.length, end);
      if (source && end > 0 && !payload.includes('\\')) {
        this._audio(source, payload);
        return;
      }
    }
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      return; // not an event; the helper writes nothing else
    }
    if (event === null || typeof event !== 'object') return;
    if (event.event === 'audio' && event.source in this.counts) {
      this._audio(event.source, String(event.audio));
    } else if (event.event === 'prepared') {
      this.prepared = true;
      this.emit('prepared');
    } else if (event.event === 'state' && event.state in this.states) {
      this.states[event.state] += 1;
      this.emit('state', event.state);
    } else if (event.event === 'error') {
      const error = errorForCode(event.code);
      this.errors.push(error);
      if (this.listenerCount('error') > 0) this.emit('error', error);
    }
  }

  _audio(source, payload) {
    const pcm = Buffer.from(payload, 'base64');
    const offset = this.counts[source];
    const total = offset + (pcm.length >> 1);
    this.counts[source] = total;
    const chunk = { source, pcm, offset, total };
    if (this.listenerCount('chunk') > 0) this.emit('chunk', chunk);
    else this._queue.push(chunk);
  }

  _finish(failure, status, signal) {
    if (this.finished) return;
    this.finished = true;
    this.exitStatus = status;
    this.signal = signal;
    if (failure) this.failure = failure;
    else if (this.errors.length > 0) this.failure = this.errors[0];
    else if (status === 127 && !this.states.ended) this.failure = new HelperNotRunnableError(this.path, this._stderr);
    else if (status !== 0 || !this.states.ended) this.failure = new HelperDiedError(status, signal, this._stderr);
    this.emit('exit', status, signal);
    // An error event was emitted as it came; the helper's own fate only now.
    if (this.failure && this.errors.length === 0 && this.listenerCount('error') > 0) {
      this.emit('error', this.failure);
    }
    this._changed();
  }
}
