// perfagent-server under faults: a 200 means the report is stored, whatever happens to the disk, the database or
// the process afterwards; while the store cannot write, reports are answered 503 with Retry-After.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { once } from 'node:events';
import { closeSync, openSync, readFileSync, rmSync, writeSync } from 'node:fs';
import { request } from 'node:http';
import path from 'node:path';
import { text } from 'node:stream/consumers';
import { fileURLToPath } from 'node:url';
import { cleanUp, fetchText, newHome, serverBinary, sleep, startServer, stopProcess, waitLimitMs } from './harness.mjs';

const root = process.getuid() === 0;
const fixture = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', 'support', 'postgres-fixture');
const mounts = [];
after(() => {
  mounts.forEach((dir) => spawnSync('umount', ['-l', dir]));  // lazily, under a server that may still run
  return cleanUp();
});
const mountTmpfs = (dir, options) => { execFileSync('mount', ['-t', 'tmpfs', '-o', options, 'tmpfs', dir]); mounts.push(dir); };

/// Simulated agents, device d on 127.0.0.(10+d): report of measurement m with samples 1..count, its CPU series by device.
const cpu = (device, n) => device * 1000 + n / 4;
function report(device, m, count) {
  const series = (f) => Object.fromEntries(Array.from({ length: count }, (_, i) => [`${i + 1}s`, f(i + 1)]));
  return JSON.stringify({ UsecaseName: `m${m}`, CPU: series((n) => cpu(device, n)), MemoryUsed: series((n) => n),
    MemoryFree: series((n) => 2 * n), MemoryCompressed: series(() => 0), averagecpu: count, averagememoryfree: 0,
    averagememorycompressed: 0, averagememoryused: 0, maxmemoryfree: 0, maxmemorycompressed: 0, maxmemoryused: 0, maxcpu: 0,
    totalduration: count * 1000 });
}

/// Posts a report; `{ status, retryAfter }`, status 0 when no answer came. Acknowledged ones are noted in `acked`.
const post = (port, acked, device, m, count) => new Promise((resolve) => {
  const req = request({ host: '127.0.0.1', port, method: 'POST', path: '/entry-point/json', agent: false, timeout: waitLimitMs,
    localAddress: `127.0.0.${10 + device}`, headers: { 'Content-Type': 'application/json' } }, (res) => text(res).then(() => {
    const key = `${device}/${m}`;
    if (res.statusCode === 200) acked.set(key, Math.max(acked.get(key) ?? 0, count));
    resolve({ status: res.statusCode, retryAfter: res.headers['retry-after'] });
  }, () => resolve({ status: 0 })));
  req.on('error', () => resolve({ status: 0 })).on('timeout', () => req.destroy()).end(report(device, m, count));
});

/// Posts until a report is acknowledged, as an agent keeping its final report would.
async function postUntilStored(port, acked, device, m, count) {
  for (const until = Date.now() + waitLimitMs; Date.now() < until; await sleep(250))
    if ((await post(port, acked, device, m, count)).status === 200) return;
  assert.fail(`report ${device}/${m} never stored`);
}

/// The acknowledged reports whose samples or summary the read API does not give back.
async function lost(port, acked) {
  const runs = new Map();
  for (const device of new Set([...acked.keys()].map((key) => key.split('/')[0]))) {
    const { body } = await fetchText(port, `/api/runs?device=127.0.0.${10 + Number(device)}&limit=1000`);
    for (const run of JSON.parse(body).runs) runs.set(`${device}/${run.usecase.slice(1)}`, run);
  }
  return [...acked].filter(([key, count]) => !(runs.get(key)?.samples >= count && runs.get(key).figures.averagecpu >= count))
    .map(([key, count]) => `${key}: ${count} samples acknowledged`);
}

/// Every report in `refused` answered 503 with Retry-After, at least one refused (else the fault was not met).
const expectRefusals = (answers) => {
  const refused = answers.filter((a) => a.status !== 200);
  assert.ok(refused.length > 0, 'no report was refused while the store could not write');
  assert.deepEqual(refused.map((a) => [a.status, Number(a.retryAfter) > 0]), refused.map(() => [503, true]));
};

/// Another process holding the database's write lock, as a second server or a backup would; ended by `release()`.
function holdLock(database) {
  const holder = spawn('sqlite3', [database], { stdio: ['pipe', 'ignore', 'inherit'] });
  holder.stdin.write(".timeout 5000\nBEGIN IMMEDIATE; INSERT INTO devices(address) VALUES('lock');\n");
  return { release: () => (holder.stdin.end(), once(holder, 'exit')) };
}

test('kill -9 under load while the store is slow: every acknowledged report is found after a restart', async () => {
  const dir = await newHome();
  let server = await startServer(dir);
  const acked = new Map();
  let running = true;
  // Each report a measurement of its own: all its samples are new to the store.
  const agent = async (device) => { for (let m = 1; running && m <= 1000; ++m) await post(server.port, acked, device, m, 300); };
  const agents = Array.from({ length: 30 }, (_, device) => agent(device));
  await sleep(500);
  const lock = holdLock(path.join(dir, 'runs.sqlite3'));
  await sleep(1500);
  server.child.kill('SIGKILL');
  running = false;
  await Promise.all([...agents, server.exited, lock.release()]);
  server = await startServer(dir);
  assert.ok(acked.size > 0);
  assert.deepEqual(await lost(server.port, acked), []);
});

/// Reports acknowledged before `fault()`, refused with 503 and Retry-After while it lasts (`alongside()` runs
/// meanwhile), stored once `recover()` has ended it; none acknowledged lost.
async function throughOutage(server, size, fault, recover, alongside = () => {}) {
  const [acked, devices] = [new Map(), [0, 1]];
  for (const device of devices) assert.equal((await post(server.port, acked, device, 1, 50)).status, 200);
  await fault();
  const [answers] = await Promise.all([Promise.all(devices.map((device) => post(server.port, acked, device, 2, size))), alongside()]);
  expectRefusals(answers);
  await recover();
  for (const device of devices) await postUntilStored(server.port, acked, device, 2, size);
  assert.deepEqual(await lost(server.port, acked), []);
  await stopProcess(server);
}

test('a full disk: reports are refused with 503 and Retry-After, then stored once there is room', { skip: !root &&
  'needs root to mount a small filesystem' }, async () => {
  const dir = await newHome();
  mountTmpfs(dir, 'size=8m');
  const filler = path.join(dir, 'filler');
  await throughOutage(await startServer(dir), 3000, () => {
    const fd = openSync(filler, 'w');
    try { for (const chunk = Buffer.alloc(1 << 16); ;) writeSync(fd, chunk); } catch { closeSync(fd); }
  }, () => rmSync(filler));
});

test('PostgreSQL stopped: reports are refused with 503 and Retry-After until it is back, then stored', async () => {
  const state = await newHome();
  execFileSync(fixture, ['start', state]);
  try {
    const server = await startServer(state, { database: readFileSync(path.join(state, 'postgres-url'), 'utf8').trim() });
    await throughOutage(server, 500, () => execFileSync(fixture, ['halt', state]), () => execFileSync(fixture, ['resume', state]));
  } finally {
    execFileSync(fixture, ['stop', state]);
  }
});

test('a lock held by another process: reports are answered 503 and a read is answered, within the request deadline', async () => {
  const dir = await newHome();
  const server = await startServer(dir);
  let lock;
  await throughOutage(server, 10, () => { lock = holdLock(path.join(dir, 'runs.sqlite3')); return sleep(300); },
    () => lock.release(), async () => {
      const read = await sleep(100).then(() => fetchText(server.port, '/api/runs'));
      assert.notEqual(read.status, 0, 'the read went unanswered');
    });
});

test('a database that cannot be opened says why', async () => {
  const dir = await newHome();
  const start = (database) => spawnSync(serverBinary, ['--listen', '127.0.0.1:1', '--database', database], { encoding: 'utf8' });
  const postgres = start('postgresql://postgres@%2Fno-such-directory/runs');
  assert.equal(postgres.status, 1);
  assert.match(postgres.stderr, /cannot open the database PostgreSQL: (?!PostgreSQL)/);
  if (root) mountTmpfs(dir, 'ro,size=1m');
  else execFileSync('chmod', ['555', dir]);
  const sqlite = start(`sqlite://${dir}/runs.sqlite3`);
  assert.equal(sqlite.status, 1);
  assert.match(sqlite.stderr, /unable to open database file.*the directory \S+ is not writable \((Read-only file system|Permission denied)\)/);
});
