// Types of zentrell-audio, kept by hand next to index.js.
/// <reference types="node" />
import { EventEmitter } from 'node:events';

export const SAMPLE_RATE: 16000;
export const HELPER_NAME: 'zentrell-audio-helper';

export type Source = 'system' | 'microphone';
export type StateWord = 'recording' | 'paused' | 'ended';
export type ErrorCode =
  | 'PROTOCOL_ERROR' | 'INVALID_STATE' | 'CAPTURE_TIMEOUT' | 'MICROPHONE_UNAVAILABLE'
  | 'SCREEN_PERMISSION_DENIED' | 'SYSTEM_AUDIO_UNAVAILABLE' | 'NO_DISPLAY'
  | 'MICROPHONE_PERMISSION_DENIED' | 'CAPTURE_START_FAILED' | 'INTERNAL_ERROR'
  | 'CAPTURE_STOP_FAILED' | 'AUDIO_CONVERSION_FAILED' | 'AUDIO_BACKPRESSURE'
  | 'OUTPUT_BACKPRESSURE' | 'OUTPUT_CLOSED';

/** A piece of audio of one source: 16 kHz mono signed 16-bit little-endian PCM. */
export interface Chunk {
  source: Source;
  pcm: Buffer;
  /** Samples this source delivered before this chunk (its position at 16 kHz). */
  offset: number;
  /** The source's running sample count, this chunk included. */
  total: number;
}

export class ZentrellAudioError extends Error {}

/** The helper reported an error event; the session is over. */
export class HelperError extends ZentrellAudioError {
  constructor(code: string, sentence?: string, hostFault?: boolean);
  readonly code: string;
  /** A sentence for people. */
  readonly sentence: string;
  /** The host program, not the user, has to be fixed. */
  readonly hostFault: boolean;
}

interface HelperErrorClass<C extends ErrorCode> {
  new (): HelperError & { readonly code: C };
  readonly code: C;
}

export const ProtocolError: HelperErrorClass<'PROTOCOL_ERROR'>;
export const InvalidStateError: HelperErrorClass<'INVALID_STATE'>;
export const CaptureTimeoutError: HelperErrorClass<'CAPTURE_TIMEOUT'>;
export const MicrophoneUnavailableError: HelperErrorClass<'MICROPHONE_UNAVAILABLE'>;
export const ScreenPermissionDeniedError: HelperErrorClass<'SCREEN_PERMISSION_DENIED'>;
export const SystemAudioUnavailableError: HelperErrorClass<'SYSTEM_AUDIO_UNAVAILABLE'>;
export const NoDisplayError: HelperErrorClass<'NO_DISPLAY'>;
export const MicrophonePermissionDeniedError: HelperErrorClass<'MICROPHONE_PERMISSION_DENIED'>;
export const CaptureStartFailedError: HelperErrorClass<'CAPTURE_START_FAILED'>;
export const InternalError: HelperErrorClass<'INTERNAL_ERROR'>;
export const CaptureStopFailedError: HelperErrorClass<'CAPTURE_STOP_FAILED'>;
export const AudioConversionFailedError: HelperErrorClass<'AUDIO_CONVERSION_FAILED'>;
export const AudioBackpressureError: HelperErrorClass<'AUDIO_BACKPRESSURE'>;
export const OutputBackpressureError: HelperErrorClass<'OUTPUT_BACKPRESSURE'>;
export const OutputClosedError: HelperErrorClass<'OUTPUT_CLOSED'>;

export const ERRORS_BY_CODE: Readonly<{ [C in ErrorCode]: HelperErrorClass<C> }>;
export function errorForCode(code: string): HelperError;

/** No helper at the path used, or it may not be run. */
export class HelperNotFoundError extends ZentrellAudioError {
  readonly path: string;
}
/** Exit status 127: the helper could not run at all (most often a missing library). */
export class HelperNotRunnableError extends ZentrellAudioError {
  readonly path: string;
  /** What the system's loader said. */
  readonly stderr: string;
}
/** The helper ended without finishing the session (a signal, or an exit without its final events). */
export class HelperDiedError extends ZentrellAudioError {
  readonly exitStatus: number | null;
  readonly signal: NodeJS.Signals | null;
  readonly stderr: string;
}

export interface SessionOptions {
  /** The helper executable; by default `zentrell-audio-helper` on PATH. */
  helperPath?: string;
  /** The helper's environment; by default this process's. */
  env?: NodeJS.ProcessEnv;
  /** Rest between reads of the helper's output, to take it in batches (default 100); audio comes up to two rests late. */
  readIntervalMs?: number;
}

/**
 * One recording with the helper. Commands settle once the helper has
 * answered and reject with the matching error class. Without a 'chunk'
 * listener, chunks queue for the async iterator; leaving a `for await` loop
 * early stops the helper and waits for it.
 */
export class Session extends EventEmitter implements AsyncIterable<Chunk> {
  constructor(options?: SessionOptions);
  readonly path: string;
  readonly pid: number | undefined;
  /** Samples received so far per source. */
  readonly counts: Readonly<Record<Source, number>>;
  readonly exitStatus?: number | null;
  readonly signal?: NodeJS.Signals | null;
  /** The first failure of the session, once it has finished. */
  readonly failure: ZentrellAudioError | null;
  /** Starts the helper; the commands do it when needed. */
  open(): this;
  prepare(): Promise<void>;
  start(): Promise<void>;
  pause(): Promise<void>;
  resume(): Promise<void>;
  /** Stops and waits for the helper to exit; rejects with a failure not reported before. */
  stop(): Promise<void>;
  /** Stops the helper if it runs and waits for it, killing it after `timeoutMs`. Never rejects. */
  close(timeoutMs?: number): Promise<void>;
  /** Ends the helper at once, without its last audio. */
  kill(): Promise<void>;
  [Symbol.asyncIterator](): AsyncIterator<Chunk>;
  [Symbol.asyncDispose](): Promise<void>;

  on(event: 'chunk', listener: (chunk: Chunk) => void): this;
  on(event: 'prepared', listener: () => void): this;
  on(event: 'state', listener: (state: StateWord) => void): this;
  on(event: 'error', listener: (error: ZentrellAudioError) => void): this;
  on(event: 'exit', listener: (exitStatus: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: 'chunk', listener: (chunk: Chunk) => void): this;
  once(event: 'prepared', listener: () => void): this;
  once(event: 'state', listener: (state: StateWord) => void): this;
  once(event: 'error', listener: (error: ZentrellAudioError) => void): this;
  once(event: 'exit', listener: (exitStatus: number | null, signal: NodeJS.Signals | null) => void): this;
}
