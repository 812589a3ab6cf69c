// The Node client driving the real helper (QUORVEL_BINARY, with
// QUORVEL_PRIVACY_BINARY) on a recording, through every way it ends; and
// its declarations held to the event schema.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { existsSync, mkdtempSync, readFileSync, rmSync, statSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import { after, test } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { FatalError, QuorvelError, UnexpectedExit, start } from '../../../clients/node/index.js';

const source = new URL('../../../', import.meta.url).pathname;
const read = (file) => readFileSync(join(source, file), 'utf8');
const folders = [];
after(() => folders.forEach((folder) => rmSync(folder, { recursive: true, force: true })));

// A helper on the recording, with a privacy store of its own granted `grants`.
function helper(grants, options = {}) {
  const folder = mkdtempSync(join(tmpdir(), 'quorvel-node-'));
  folders.push(folder);
  const store = { QUORVEL_PRIVACY_FILE: join(folder, 'privacy') };
  execFileSync(process.env.QUORVEL_PRIVACY_BINARY, grants.split(' '), { env: store, timeout: 10000 });
  return start({ path: process.env.QUORVEL_BINARY, stderr: 'ignore', stopTimeout: 10000, ...options,
    env: { ...store, QUORVEL_MODEL_DIR: null, LANGUAGE: 'en_US', LC_ALL: null, LANG: 'C.UTF-8',
      PULSE_SERVER: `unix:${folder}/none`, QUORVEL_AUDIO_INPUT: '/usr/share/pocketsphinx/test/' +
        'data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav' } });
}

// The events up to the first that `until` holds for, that one included.
async function take(quorvel, until = () => false) {
  const seen = [];
  for await (const event of quorvel) if (seen.push(event) && until(event)) break;
  return seen;
}
const failure = (type, key, value) => (error) => error instanceof type && error[key] === value;

test('events in order, a final heard, a stop that ends with stopped', { timeout: 60000 }, async () => {
  const quorvel = helper('grant all');
  const emitted = [];
  quorvel.on('event', (event) => emitted.push(event));
  const finals = [];
  quorvel.on('final', (event) => finals.push(event));
  const seen = await take(quorvel, (event) => event.type === 'final');
  assert.deepEqual(seen.slice(0, 5).map((event) => event.phase ?? event.type),
                   ['bundle', 'checking', 'speechResult', 'ready', 'listening']);
  // "and mister john dashwood ...": a busy machine may end it early.
  assert.match(seen.at(-1).text, /john/);
  assert.equal(await quorvel.stop(), 0);
  const rest = await take(quorvel);
  assert.equal(rest.at(-1).type, 'stopped');
  assert.deepEqual([...seen, ...rest], emitted);
  assert.deepEqual(finals, emitted.filter((event) => event.type === 'final'));
});

test('pause, resume, and phrases in a private file replaced while running', { timeout: 60000 }, async () => {
  const quorvel = helper('grant all', { phrases: ['Dashwood'], stderr: 'pipe' });
  const stderr = quorvel.stderr.setEncoding('utf8').toArray();
  const args = readFileSync(`/proc/${quorvel.pid}/cmdline`, 'utf8').split('\0');
  const file = args[args.indexOf('--phrases') + 1];
  assert.equal(statSync(dirname(file)).mode & 0o777, 0o700);
  for (const wrong of ['Dashwood', ['john\ndashwood']]) assert.throws(() => quorvel.setPhrases(wrong), TypeError);
  const types = [];
  for await (const { type } of quorvel) {
    types.push(type);
    if (type === 'listening' && !types.includes('paused')) quorvel.pause();
    else if (type === 'paused') {
      quorvel.setPhrases(['john dashwood', 'leisure']);
      quorvel.resume();
    } else if (type === 'listening') break;
  }
  assert.deepEqual(types.filter((type) => type !== 'level').slice(-2), ['paused', 'listening']);
  assert.equal(await quorvel.stop(), 0);
  assert.match((await stderr).join(''), new RegExp(`read 1 phrase from ${file}\n[^]*read 2 phrases from ${file}\n`));
  assert.equal(existsSync(dirname(file)), false);
});

test('a fatal record, a helper killed, a line that is no record', { timeout: 60000 }, async () => {
  const denied = helper('deny speech');
  await assert.rejects(take(denied), failure(FatalError, 'status', 1));
  await assert.rejects(denied.stop(), (error) => error.message.endsWith('status=denied'));
  const killed = helper('grant all');
  await take(killed, (event) => event.type === 'listening');
  process.kill(killed.pid, 'SIGKILL');
  await assert.rejects(take(killed), failure(UnexpectedExit, 'signal', 'SIGKILL'));
  await assert.rejects(take(start({ path: 'echo', args: ['hello'] })),
                       failure(QuorvelError, 'message', 'not an event record: "hello"'));
});

test('an abort stops in order, or with SIGTERM when no command is read', { timeout: 60000 }, async () => {
  const controller = new AbortController();
  const listening = helper('grant all', { signal: controller.signal });
  await take(listening, (event) => event.type === 'listening');
  controller.abort();
  assert.equal((await take(listening)).at(-1).type, 'stopped');
  assert.equal(listening.exitCode, 0);
  // Speech undecided: the helper waits for a grant, reading no command.
  const waiting = helper('grant microphone', { signal: AbortSignal.timeout(100) });
  await assert.rejects(take(waiting), failure(UnexpectedExit, 'signal', 'SIGTERM'));
});

test('the helper does not outlive its parent', { timeout: 20000 }, async () => {
  const client = JSON.stringify(new URL('../../../clients/node/index.js', import.meta.url).href);
  const pid = Number(execFileSync(process.execPath, ['--input-type=module', '-e',
    `import { start } from ${client}; console.log(start({ path: 'sleep', args: ['60'], stderr: 'ignore' }).pid); process.exit();`]));
  const alive = () => {
    try {
      return !/\) Z /.test(readFileSync(`/proc/${pid}/stat`, 'utf8')); // a zombie where nobody reaps
    } catch {
      return false;
    }
  };
  for (let i = 0; i < 100 && alive(); i++) await sleep(20);
  assert.equal(alive(), false);
});

test('index.d.ts declares every record of the schema, field by field', () => {
  const schema = JSON.parse(read('schema/quorvel-event.schema.json'));
  const refs = { '#/$defs/statusLabel': 'StatusLabel', '#/$defs/transcript': 'string' };
  const typeOf = (p) => 'const' in p ? JSON.stringify(p.const) : p.enum?.map((v) => JSON.stringify(v)).join(' | ') ?? refs[p.$ref] ?? p.type;
  const expected = Object.fromEntries(Object.entries(schema.$defs).filter(([, def]) => def.properties?.type?.const)
    .map(([name, def]) => [`${name[0].toUpperCase()}${name.slice(1)}Record`, Object.fromEntries(Object.entries(def.properties)
      .map(([key, p]) => [def.required.includes(key) ? key : `${key}?`, typeOf(p)]))]));
  const declarations = read('clients/node/index.d.ts');
  const declared = Object.fromEntries([...declarations.matchAll(/export interface (\w+Record) \{([^}]*)\}/g)]
    .map(([, name, body]) => [name, Object.fromEntries([...body.matchAll(/(\w+\??): ([^;]+);/g)].map((m) => m.slice(1)))]));
  assert.deepEqual(declared, expected);
  const union = /export type QuorvelEvent =([^;]*);/.exec(declarations)[1].split('|').map((name) => name.trim());
  assert.deepEqual(union.sort(), Object.keys(expected).sort());
  const version = /CFBundleShortVersionString<\/key>\s*<string>([^<]*)/.exec(read('bundle/Info.plist'))[1];
  assert.equal(JSON.parse(read('clients/node/package.json')).version, version);
});
