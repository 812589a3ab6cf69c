// The event records of quorvel's standard output, one type per record of
// schema/quorvel-event.schema.json (a test holds them to it), and the
// client of index.js.
import { EventEmitter } from 'node:events';
import type { Readable, Stream } from 'node:stream';

/** A permission status: one of the four labels, or unknown(<raw value>). */
export type StatusLabel =
  'notDetermined' | 'denied' | 'restricted' | 'authorized' | `unknown(${number})`;

/** quorvel --check: ok is true exactly when the other three booleans are. */
export interface CheckRecord {
  type: "check";
  ok: boolean;
  speechAuthorized: boolean;
  micAuthorized: boolean;
  speechStatus: "SFSpeechRecognizerAuthorizationStatus";
  micStatus: "AVAuthorizationStatus";
  recognizerAvailable: boolean;
}

/** The application's facts: bundlePath=... id=... speechUsage=... micUsage=... */
export interface AuthBundleRecord {
  type: "auth";
  phase: "bundle";
  message: string;
}

/** The two permissions as read at the start. */
export interface AuthCheckingRecord {
  type: "auth";
  phase: "checking";
  speech: StatusLabel;
  mic: StatusLabel;
}

/** The speech permission, granted from the start or after the wait. */
export interface AuthSpeechResultRecord {
  type: "auth";
  phase: "speechResult";
  speech: StatusLabel;
  message: string;
}

/** The speech permission is undecided: the user is asked to switch it on. */
export interface AuthNeedsManualGrantRecord {
  type: "auth";
  phase: "needsManualGrant";
  speech: StatusLabel;
  mic: StatusLabel;
  message: "Enable Speech Recognition manually: System Settings → Privacy & Security → Speech Recognition → turn on Brixlane Speech / quorvel (use + to add the app if missing). Voice retries when you return.";
}

/** One look of the wait for a manual grant (one a second, up to 45 s). */
export interface AuthWaitingManualGrantRecord {
  type: "auth";
  phase: "waitingManualGrant";
  speech: StatusLabel;
  mic: StatusLabel;
}

/** The microphone permission is undecided and is being asked for. */
export interface AuthRequestingMicRecord {
  type: "auth";
  phase: "requestingMic";
  message: "Grant Microphone for quorvel if a prompt appears";
}

/** The answer to the microphone request. */
export interface AuthMicResultRecord {
  type: "auth";
  phase: "micResult";
  mic: "authorized" | "denied";
}

/** Both permissions are granted; the locale, "-" as separator ("en-US"). */
export interface ReadyRecord {
  type: "ready";
  locale: string;
}

/** A new segment has started: the first, after each restart and resume. */
export interface ListeningRecord {
  type: "listening";
}

/** Input level, 0 to 1; at most one every 0.08 s. */
export interface LevelRecord {
  type: "level";
  rms: number;
}

/** The segment's transcript so far (trimmed, never empty). */
export interface PartialRecord {
  type: "partial";
  text: string;
}

/** A segment's final transcript and why the segment ended. */
export interface FinalRecord {
  type: "final";
  text: string;
  reason: "isFinal" | "silence" | "max-segment" | "error-with-partial" | "stop";
}

/** Listening is paused; the microphone is released. */
export interface PausedRecord {
  type: "paused";
}

/** The orderly stop is complete; the helper exits with status 0. */
export interface StoppedRecord {
  type: "stopped";
}

/**
 * A failure. The client turns a fatal one into a FatalError; what the
 * iteration sees has fatal false, or is the encoding fallback "json encode
 * failed", after which the helper goes on.
 */
export interface ErrorRecord {
  type: "error";
  message: string;
  fatal: boolean;
}

export type AuthRecord =
  AuthBundleRecord | AuthCheckingRecord | AuthSpeechResultRecord | AuthNeedsManualGrantRecord |
  AuthWaitingManualGrantRecord | AuthRequestingMicRecord | AuthMicResultRecord;

/** One line of the event stream; "type" (and for "auth", "phase") narrows it. */
export type QuorvelEvent =
  CheckRecord | AuthBundleRecord | AuthCheckingRecord | AuthSpeechResultRecord |
  AuthNeedsManualGrantRecord | AuthWaitingManualGrantRecord | AuthRequestingMicRecord |
  AuthMicResultRecord | ReadyRecord | ListeningRecord | LevelRecord | PartialRecord |
  FinalRecord | PausedRecord | StoppedRecord | ErrorRecord;

export interface StartOptions {
  /** The helper; searched in PATH when it has no "/" (default "quorvel"). */
  path?: string;
  args?: readonly string[];
  /** Added to this process's environment; null or undefined removes one. */
  env?: Record<string, string | null | undefined>;
  /** The helper's diagnostics, as stdio[2] of spawn (default "inherit"). */
  stderr?: 'inherit' | 'ignore' | 'pipe' | Stream | number | null;
  /** The words and phrases users will say; setPhrases() changes them. */
  phrases?: readonly string[];
  /** Stops the helper in order when aborted. */
  signal?: AbortSignal;
  /** Milliseconds from a stop or an abort to SIGKILL (default 5000). */
  stopTimeout?: number;
}

export class QuorvelError extends Error {}

/** A fatal record: message is the record's, status the exit status. */
export class FatalError extends QuorvelError {
  readonly status: number | null;
  readonly signal: NodeJS.Signals | null;
}

/** The output ended without "stopped" or a fatal record. */
export class UnexpectedExit extends QuorvelError {
  readonly status: number | null;
  readonly signal: NodeJS.Signals | null;
}

export interface QuorvelEvents {
  event: [record: QuorvelEvent];
  final: [record: FinalRecord];
  partial: [record: PartialRecord];
  error: [error: Error];
  exit: [code: number | null, signal: NodeJS.Signals | null];
}

export class Quorvel extends EventEmitter implements AsyncIterable<QuorvelEvent> {
  readonly pid: number | undefined;
  readonly exitCode: number | null;
  readonly signalCode: NodeJS.Signals | null;
  /** The helper's standard error with stderr "pipe", else null. */
  readonly stderr: Readable | null;
  pause(): void;
  resume(): void;
  /** Throws TypeError for anything but an array of one-line strings. */
  setPhrases(phrases: readonly string[]): void;
  /** Resolves with 0 after "stopped" and the exit; else rejects. */
  stop(): Promise<number>;
  [Symbol.asyncIterator](): AsyncGenerator<QuorvelEvent, void, undefined>;
  on<K extends keyof QuorvelEvents>(event: K, listener: (...args: QuorvelEvents[K]) => void): this;
  once<K extends keyof QuorvelEvents>(event: K, listener: (...args: QuorvelEvents[K]) => void): this;
  off<K extends keyof QuorvelEvents>(event: K, listener: (...args: QuorvelEvents[K]) => void): this;
}

export function start(options?: StartOptions): Quorvel;
