// A client for quorvel, the speech-recognition helper: starts it, hands
// over its events as objects, steers it and stops it. Node's own modules
// only. The records are typed in index.d.ts and described by the JSON
// Schema installed as /usr/share/quorvel/schema/quorvel-event.schema.json.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { mkdtempSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { createInterface } from 'node:readline';

// The message of the line that replaces a record the helper could not
// encode. It says fatal, yet the helper goes on.
const encodingFallback = 'json encode failed';
// A stop lets the recogniser finish for up to 1.6 s. SIGTERM follows after
// a margin: it reaches a helper that reads no command (one waiting for a
// permission), and changes nothing in a stop under way.
const termAfterMs = 1600 + 1400;
// What ends each running helper when this process exits: nothing may
// outlive the parent, and an exit handler cannot wait.
const atExit = new Set();
process.on('exit', () => atExit.forEach((abandon) => abandon()));
let phraseFiles = 0;

export class QuorvelError extends Error {
  name = 'QuorvelError';
}

// The helper wrote a fatal "error" record (a permission is missing, no
// recogniser, no audio input); message is the record's, status the exit
// status (null, with signal, for a death by a signal).
export class FatalError extends QuorvelError {
  name = 'FatalError';
  constructor(message, status, signal) {
    super(message);
    Object.assign(this, { status, signal });
  }
}

// The helper's output ended without "stopped" or a fatal record.
export class UnexpectedExit extends QuorvelError {
  name = 'UnexpectedExit';
  constructor(status, signal) {
    super(`quorvel exited unexpectedly ${signal ? `by ${signal}` : `with status ${status}`}`);
    Object.assign(this, { status, signal });
  }
}

// The phrases file's text; throws TypeError for anything but an array of
// one-line strings (a string would be one phrase per letter).
function phraseText(phrases) {
  if (!Array.isArray(phrases)) throw new TypeError('phrases must be an array of strings');
  for (const phrase of phrases) {
    if (typeof phrase !== 'string' || /[\r\n]/.test(phrase)) {
      throw new TypeError(`not a phrase of one line: ${JSON.stringify(phrase)}`);
    }
  }
  return phrases.map((phrase) => `${phrase}\n`).join('');
}

export class Quorvel extends EventEmitter {
  #child;
  #folder = null; // the phrases file's private folder, while it runs
  #stopTimeout;
  #queue = null; // what iteration has not taken yet, once it has begun
  #wakers = [];
  #fatal = null;
  #stopped = false;
  #ended = false;
  #failure = null;
  #stopAwaited = false;
  #stopping = null;
  #timers = [];
  #signal;
  #onAbort = () => this.#shutdown().catch(() => {});
  #abandon = () => {
    this.#child.kill('SIGKILL');
    this.#removeFolder();
  };
  #endSeen;
  #done = new Promise((resolve) => (this.#endSeen = resolve));
  exitCode = null;
  signalCode = null;

  constructor({ path = 'quorvel', args = [], env = {}, stderr = 'inherit', phrases,
                signal, stopTimeout = 5000 } = {}) {
    super();
    const environment = { ...process.env };
    for (const [name, value] of Object.entries(env)) {
      if (value == null) delete environment[name];
      else environment[name] = value;
    }
    args = [...args];
    this.#stopTimeout = stopTimeout;
    if (phrases !== undefined) {
      const text = phraseText(phrases);
      this.#folder = mkdtempSync(join(tmpdir(), 'quorvel-phrases-'));
      args.push('--phrases', join(this.#folder, 'phrases'));
      this.#writePhrases(text);
    }
    try {
      this.#child = spawn(path, args, { stdio: ['pipe', 'pipe', stderr], env: environment });
    } catch (error) {
      this.#removeFolder();
      throw error;
    }
    atExit.add(this.#abandon);
    let exit = null;
    let closed = false;
    // The end is both the last line read and the exit status known.
    const settle = () => exit && closed && this.#end(...exit);
    this.#child.on('exit', (code, signalName) => {
      exit = [code, signalName];
      settle();
    });
    this.#child.on('error', (error) => {
      if (this.#child.pid !== undefined) return; // a failed kill() after the exit
      this.#failure = error; // it never started (ENOENT, EACCES)
      exit = [null, null];
      settle();
    });
    this.#child.stdin.on('error', () => {}); // gone: its end tells how
    createInterface({ input: this.#child.stdout, crlfDelay: Infinity })
      .on('line', (line) => this.#line(line))
      .on('close', () => {
        closed = true;
        settle();
      });
    this.#signal = signal;
    if (signal?.aborted) this.#onAbort();
    else signal?.addEventListener('abort', this.#onAbort, { once: true });
  }

  get pid() {
    return this.#child.pid;
  }

  // The helper's standard error when started with stderr 'pipe', else null.
  get stderr() {
    return this.#child.stderr;
  }

  // Asks the helper to release the microphone; it answers "paused".
  pause() {
    this.#send('pause');
  }

  // Asks a paused helper to listen again; it answers "listening".
  resume() {
    this.#send('resume');
  }

  // Replaces the phrases of a helper started with phrases; it reads them
  // when its next segment starts (after the next "listening").
  setPhrases(phrases) {
    if (this.#folder === null) throw new QuorvelError('quorvel was started without phrases');
    this.#writePhrases(phraseText(phrases));
  }

  // An orderly stop: resolves with the exit status (0) once "stopped" and
  // the exit are seen, rejects with FatalError or UnexpectedExit when it
  // ended otherwise. SIGTERM follows after 3 s, SIGKILL after stopTimeout.
  stop() {
    this.#stopAwaited = true;
    return this.#shutdown();
  }

  // The events in order, from when iteration first begins; leaving a loop
  // keeps the helper running and the events for the next loop. Ends after
  // "stopped"; throws FatalError or UnexpectedExit where the stream ends,
  // and a QuorvelError in place of a line that is not an event record.
  async *[Symbol.asyncIterator]() {
    this.#queue ??= [];
    for (;;) {
      if (this.#queue.length > 0) {
        const item = this.#queue.shift();
        if (item instanceof Error) throw item;
        yield item;
      } else if (this.#ended) {
        if (this.#failure) throw this.#failure;
        return;
      } else {
        await new Promise((resolve) => this.#wakers.push(resolve));
      }
    }
  }

  #shutdown() {
    if (this.#stopping === null) {
      if (!this.#ended) {
        this.#send('stop', false);
        this.#child.stdin.end();
        this.#timers.push(
          setTimeout(() => this.#child.kill('SIGTERM'), Math.min(termAfterMs, this.#stopTimeout)),
          setTimeout(() => this.#child.kill('SIGKILL'), this.#stopTimeout));
      }
      this.#stopping = this.#done.then(() => {
        if (this.#failure) throw this.#failure;
        return this.exitCode;
      });
    }
    return this.#stopping;
  }

  #send(command, mustArrive = true) {
    if (this.#child.stdin.writable) this.#child.stdin.write(`${command}\n`);
    else if (mustArrive) throw new QuorvelError('quorvel no longer reads commands');
  }

  // Written whole under another name, then put in place at once: the
  // helper never reads half a list.
  #writePhrases(text) {
    const file = join(this.#folder, `new-${++phraseFiles}`);
    writeFileSync(file, text, { mode: 0o600 });
    renameSync(file, join(this.#folder, 'phrases'));
  }

  #removeFolder() {
    if (this.#folder !== null) rmSync(this.#folder, { recursive: true, force: true });
  }

  #line(line) {
    let record;
    try {
      record = JSON.parse(line);
    } catch {}
    if (typeof record !== 'object' || record === null || Array.isArray(record) ||
        typeof record.type !== 'string') {
      const error = new QuorvelError(`not an event record: ${JSON.stringify(line.slice(0, 200))}`);
      this.#deliver(error);
      return this.#report(error);
    }
    if (record.type === 'error' && record.fatal === true && record.message !== encodingFallback) {
      this.#fatal = record; // reported as FatalError once the exit status is known
      return;
    }
    this.#stopped ||= record.type === 'stopped';
    this.#deliver(record);
    this.emit('event', record);
    if (record.type === 'final' || record.type === 'partial') this.emit(record.type, record);
  }

  #deliver(item) {
    this.#queue?.push(item);
    this.#wake();
  }

  #wake() {
    this.#wakers.splice(0).forEach((wake) => wake());
  }

  // "error" with no listener throws, as Node's emitters do, unless the
  // failure reaches the parent through iteration or stop().
  #report(error) {
    if (this.listenerCount('error') > 0 || !(this.#queue || this.#stopAwaited)) {
      this.emit('error', error);
    }
  }

  #end(code, signal) {
    if (this.#ended) return;
    this.#ended = true;
    Object.assign(this, { exitCode: code, signalCode: signal });
    if (this.#fatal) this.#failure = new FatalError(String(this.#fatal.message), code, signal);
    else if (!this.#stopped) this.#failure ??= new UnexpectedExit(code, signal);
    this.#timers.forEach(clearTimeout);
    this.#signal?.removeEventListener('abort', this.#onAbort);
    atExit.delete(this.#abandon);
    this.#removeFolder();
    this.#wake();
    this.#endSeen();
    this.emit('exit', code, signal);
    if (this.#failure) this.#report(this.#failure);
  }
}

// Starts the helper: options.path (searched in PATH without a "/"), args,
// env (added to this process's environment; null removes a variable),
// stderr (as stdio[2] of child_process.spawn), phrases (an array: the
// helper expects them, setPhrases() changes them), signal (an AbortSignal
// that stops it in order) and stopTimeout (ms before SIGKILL, 5000).
export function start(options) {
  return new Quorvel(options);
}
