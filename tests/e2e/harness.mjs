// Drives the built programs from outside: loopback listeners, a stand-in collection server, live console lines.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync } from 'node:fs';
import { mkdtemp, readFile, readdir, rm } from 'node:fs/promises';
import { createServer, request } from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { text } from 'node:stream/consumers';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';

export { sleep };
const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const agentBinary = process.env.PERFAGENT_BIN || path.join(repo, 'build', 'perfagent');
export const serverBinary = process.env.PERFAGENT_SERVER_BIN || path.join(repo, 'build', 'perfagent-server');
export const chromiumPath = '/usr/bin/chromium';
export const screenshotPath = (name) => path.join(repo, 'tests', 'browser', 'screenshots', `${name}.png`);
// Only decides when a wait counts as hung (a sanitizer build is several times slower).
export const waitLimitMs = 30_000;
// What the agent waits for uploads in flight at termination, and the margin for a slow build to exit.
export const endLimitMs = 2_000 + 3_000;

export async function waitUntil(check, what, detail = () => '') {
  for (const deadline = Date.now() + waitLimitMs; ; await sleep(50)) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) assert.fail(`timed out waiting for ${what}\n${detail()}`);
  }
}

const [running, homes] = [new Set(), []];
/// Ends every program still running and removes every home made: a failed test leaves nothing behind.
export const cleanUp = () => {
  running.forEach((child) => child.kill('SIGKILL'));
  return Promise.all(homes.map((home) => rm(home, { recursive: true, force: true })));
};
export const newHome = async () => { const home = await mkdtemp(path.join(tmpdir(), 'perfagent-e2e-')); homes.push(home); return home; };

/// A collection server that keeps what it is sent and answers 200, or, while `silent`, never answers.
export async function startRecorder() {
  const recorder = { requests: [], silent: false };
  recorder.server = createServer((req, res) => text(req).then((body) => {
    recorder.requests.push({ method: req.method, url: req.url, headers: req.headers, body });
    if (!recorder.silent) res.writeHead(200, { 'Content-Type': 'text/plain' }).end('ok');
  }, () => {})).listen(0, '127.0.0.1');  // a request cut short by an ending agent is not kept
  await once(recorder.server, 'listening');
  recorder.port = recorder.server.address().port;
  recorder.reports = () => recorder.requests.filter((r) => r.method === 'POST' && r.url === '/entry-point/json');
  recorder.close = () => { recorder.server.closeAllConnections(); recorder.server.close(); };
  return recorder;
}

/// Spawns `binary` with `args(port)` on a free loopback port until it prints `ready(port)` on standard error, again on
/// another port if that one was taken meanwhile. stdout: 'ignore', 'read' (lines kept), 'stall' (never read) or 'closed'.
/// With `closedStderr` a shell starts it with standard error closed (`2>&-`) and `ready` is looked for in its log.
async function spawnListening(binary, args, ready, stdout = 'ignore', home = undefined, closedStderr = false) {
  assert.ok(existsSync(binary), `no ${binary}: build it (targets perfagent, perfagent-server) or set PERFAGENT_BIN, PERFAGENT_SERVER_BIN`);
  for (let attempt = 1; ; ++attempt) {
    const probe = createServer().listen(0, '127.0.0.1');
    await once(probe, 'listening');
    const { port } = probe.address();
    await new Promise((resolve) => probe.close(resolve));
    const [file, argv] = closedStderr ? ['/bin/sh', ['-c', 'exec "$0" "$@" 2>&-', binary, ...args(port)]] : [binary, args(port)];
    const child = spawn(file, argv, { stdio: ['ignore', stdout === 'ignore' ? 'ignore' : 'pipe', 'pipe'] });
    const run = { child, port, home, lines: [], stderr: '', exit: null };
    running.add(child);
    child.on('exit', () => running.delete(child));
    if (stdout === 'read') readline.createInterface({ input: child.stdout }).on('line', (line) => run.lines.push(line));
    else if (stdout === 'stall') child.stdout.pause();
    else if (stdout === 'closed') child.stdout.destroy();
    child.stderr.setEncoding('utf8').on('data', (chunk) => { run.stderr += chunk; });
    run.exited = once(child, 'exit').then(([code, signal]) => { run.exit = { code, signal, at: Date.now() }; });
    const said = async () => (closedStderr ? await logText(home) : run.stderr).includes(ready(port));
    await waitUntil(async () => run.exit || await said(), `${binary} to listen`, () => run.stderr);
    if (!run.exit) return run;
    if (attempt < 3 && run.stderr.includes('cannot listen')) continue;
    assert.fail(`${binary} did not start: ${JSON.stringify(run.exit)}\n${run.stderr}`);
  }
}

export const startAgent = ({ home, collectionPort, args = [], stdout = 'read', listenHost = '127.0.0.1', closedStderr = false }) =>
  spawnListening(agentBinary,
    (port) => ['--home', home, '--collection-server', `127.0.0.1:${collectionPort}`, '--listen', `${listenHost}:${port}`, ...args],
    (port) => `listening on http://127.0.0.1:${port}`, stdout, home, closedStderr);

/// `args` adds options, or `args(port)`: `--ui` on a port of its own can use `port` on another loopback address.
export const startServer = (directory, { database = `sqlite://${path.join(directory, 'runs.sqlite3')}`, args = [] } = {}) =>
  spawnListening(serverBinary, (port) => ['--listen', `127.0.0.1:${port}`, '--database', database, ...(typeof args === 'function' ? args(port) : args)],
    (port) => `listening for agents on http://127.0.0.1:${port}`);

/// A request on a connection of its own: `{ status, headers, body }` (status 0 when no answer came).
export const fetchText = (port, target, { method = 'GET', headers = {}, body, host = '127.0.0.1' } = {}) => new Promise((resolve) => {
  const none = () => resolve({ status: 0, headers: {}, body: '' });
  const req = request({ host, port, method, path: target, agent: false, timeout: waitLimitMs, headers },
    (res) => text(res).then((body) => resolve({ status: res.statusCode, headers: res.headers, body }), none));
  req.on('error', none).on('timeout', () => req.destroy()).end(body);
});

/// Pushes `command` for use case "login", SR number 42, page "home" (plus `extra` keys); the answer.
export const push = (agent, token, command, extra = {}) => fetchText(agent.port, '/remote-notification', {
  method: 'POST', body: JSON.stringify({ aps: { alert: command }, srNumber: '42', usecase: 'login', pagename: 'home', ...extra }),
  headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${token}` } });

/// The JSON texts of the reports the agent printed as sent since line `from`. A printed report is its JSON
/// with [ ] around maps: brackets outside strings turn back into braces.
export const printedReports = (agent, from = 0) => agent.lines.slice(from).flatMap((line, i, all) => (line === '-------final JSon--------'
  && i + 1 < all.length ? [all[i + 1].replace(/"(?:\\.|[^"\\])*"|[[\]]/g, (s) => ({ '[': '{', ']': '}' })[s] ?? s)] : []));

/// Waits until the agent has printed a line matching `pattern` (a string: that exact line) after index `from`.
export function waitForLine(agent, pattern, from = 0) {
  const matches = typeof pattern === 'string' ? (line) => line === pattern : (line) => pattern.test(line);
  return waitUntil(() => agent.lines.findIndex((line, n) => n >= from && matches(line)) + 1,
    `the line ${pattern}`, () => agent.lines.slice(-30).join('\n')).then((n) => n - 1);
}

/// One measurement by push (`extra` keys in both pushes), `reports` running reports long; the final report the agent printed for it.
export async function measure(agent, token, reports, extra = {}) {
  const from = agent.lines.length;
  assert.equal((await push(agent, token, 'start', extra)).status, 202);
  await waitUntil(() => printedReports(agent, from).length >= reports, 'reports');
  assert.equal((await push(agent, token, 'stop', extra)).status, 202);
  await waitForLine(agent, 'valid object : true', await waitForLine(agent, /^stop time : /, from));
  return printedReports(agent, from).map((text) => JSON.parse(text))
    .reduce((a, b) => (Object.keys(b.CPU).length >= Object.keys(a.CPU).length ? b : a));
}

/// Waits until the launch is over: the token handed to the upload and the notification permission answered.
export const launched = async (agent) => (await waitForLine(agent, /^Vellimora = /), await waitForLine(agent, /^Notification Settings:/), agent);

/// Sends `signal` and waits for the program to end: its exit, with how long it took in `ms`.
export async function stopProcess(agent, signal = 'SIGTERM') {
  const sentAt = Date.now();
  if (!agent.exit) agent.child.kill(signal);
  if (!await Promise.race([agent.exited.then(() => true), sleep(waitLimitMs, false, { ref: false })])) {
    agent.child.kill('SIGKILL');
    assert.fail(`it did not end within ${waitLimitMs} ms of ${signal}\n${agent.stderr}`);
  }
  return { code: agent.exit.code, signal: agent.exit.signal, ms: agent.exit.at - sentAt };
}

/// Expects a clean end: status 0 and no sanitizer report in standard error or the log.
export async function expectCleanExit(agent, exit) {
  const errors = agent.stderr + (agent.home ? await logText(agent.home) : '');
  assert.deepEqual([exit.code, exit.signal], [0, null], `it did not end cleanly\n${errors}`);
  assert.doesNotMatch(errors, /Sanitizer|runtime error:/);
}

/// The log files in `<home>/Documents`, concatenated.
export const logText = async (home, documents = path.join(home, 'Documents')) => (await Promise.all((await readdir(documents)
  .catch(() => [])).filter((n) => n.endsWith('.log')).map((n) => readFile(path.join(documents, n), 'utf8')))).join('');

export const deviceToken = (home) => readFile(path.join(home, 'Library', 'device-token'), 'utf8').then((t) => t.trim());
