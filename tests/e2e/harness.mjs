// Drives the built agent from outside: spawns it on a loopback listener with a home of its own, stands in
// for its collection server, reads its console lines live and checks how it ends.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtemp, readFile, readdir } from 'node:fs/promises';
import { createServer, request } from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import readline from 'node:readline';
import { fileURLToPath } from 'node:url';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const agentBinary = process.env.PERFAGENT_BIN || path.join(repo, 'build', 'perfagent');
export const serverBinary = process.env.PERFAGENT_SERVER_BIN || path.join(repo, 'build', 'perfagent-server');
// Only decides when a wait counts as hung (a sanitizer build is several times slower).
export const waitLimitMs = 30_000;
// What the agent waits for uploads in flight at termination.
export const uploadGraceMs = 2_000;

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function waitUntil(check, what, detail = () => '') {
  const deadline = Date.now() + waitLimitMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) assert.fail(`timed out waiting for ${what}${detail() ? '\n' + detail() : ''}`);
    await sleep(50);
  }
}

export const newHome = () => mkdtemp(path.join(tmpdir(), 'perfagent-e2e-'));

/// A collection server that keeps what it is sent and answers 200, or, while `silent`, never answers.
export async function startRecorder() {
  const recorder = { requests: [], silent: false };
  recorder.server = createServer((req, res) => {
    const chunks = [];
    req.on('data', (chunk) => chunks.push(chunk));
    req.on('end', () => {
      recorder.requests.push({ method: req.method, url: req.url, headers: req.headers,
        body: Buffer.concat(chunks).toString('utf8') });
      if (!recorder.silent) res.writeHead(200, { 'Content-Type': 'text/plain' }).end('ok');
    });
  });
  recorder.server.listen(0, '127.0.0.1');
  await once(recorder.server, 'listening');
  recorder.port = recorder.server.address().port;
  recorder.reports = () => recorder.requests.filter((r) => r.method === 'POST' && r.url === '/entry-point/json');
  recorder.close = () => { recorder.server.closeAllConnections(); recorder.server.close(); };
  return recorder;
}

async function freePort() {
  const probe = createServer();
  probe.listen(0, '127.0.0.1');
  await once(probe, 'listening');
  const { port } = probe.address();
  await new Promise((resolve) => probe.close(resolve));
  return port;
}

/// Starts the agent and, unless `waitForListener` is false, waits until it listens. stdout: 'read' (lines
/// collected), 'stall' (a pipe never read) or 'closed' (a pipe whose reading end is closed at once).
/// A free port can be taken between asking and binding, so a failed bind is tried again on another one.
export async function startAgent({ home, collectionPort, args = [], stdout = 'read', waitForListener = true,
  listenHost = '127.0.0.1' }) {
  for (let attempt = 1; ; ++attempt) {
    const port = await freePort();
    const child = spawn(agentBinary, ['--home', home, '--collection-server', `127.0.0.1:${collectionPort}`,
      '--listen', `${listenHost}:${port}`, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
    const agent = { child, home, port, lines: [], stderr: '', exit: null, startedAt: Date.now() };
    if (stdout === 'read') readline.createInterface({ input: child.stdout }).on('line', (line) => agent.lines.push(line));
    else if (stdout === 'stall') child.stdout.pause();
    else child.stdout.destroy();
    child.stderr.setEncoding('utf8').on('data', (text) => { agent.stderr += text; });
    agent.exited = once(child, 'exit').then(([code, signal]) => { agent.exit = { code, signal, at: Date.now() }; });
    child.on('error', (error) => { agent.exit = { error }; });
    if (!waitForListener) return agent;
    await waitUntil(() => agent.exit || agent.stderr.includes(`listening on http://127.0.0.1:${port}`),
      'the agent to listen', () => agent.stderr);
    if (!agent.exit) return agent;
    if (attempt < 3 && agent.stderr.includes('cannot listen')) continue;
    assert.fail(`the agent did not start: ${JSON.stringify(agent.exit)}\n${agent.stderr}`);
  }
}

/// Starts perfagent-server on a free loopback port with a SQLite database in `directory`; `agents` is its
/// listener's port, `stderr` its diagnostics so far.
export async function startServer(directory, args = []) {
  for (let attempt = 1; ; ++attempt) {
    const port = await freePort();
    const child = spawn(serverBinary, ['--listen', `127.0.0.1:${port}`,
      '--database', `sqlite://${path.join(directory, 'runs.sqlite3')}`, ...args], { stdio: ['ignore', 'ignore', 'pipe'] });
    const server = { child, port, stderr: '', exit: null };
    child.stderr.setEncoding('utf8').on('data', (text) => { server.stderr += text; });
    server.exited = once(child, 'exit').then(([code, signal]) => { server.exit = { code, signal }; });
    await waitUntil(() => server.exit || server.stderr.includes(`listening for agents on http://127.0.0.1:${port}`),
      'the server to listen', () => server.stderr);
    if (!server.exit) return server;
    if (attempt < 3 && server.stderr.includes('cannot listen')) continue;
    assert.fail(`the server did not start: ${JSON.stringify(server.exit)}\n${server.stderr}`);
  }
}

/// A request to a loopback port on a connection of its own: `{ status, headers, body }` (status 0 when none came).
export function fetchText(port, target, { method = 'GET', headers = {}, body } = {}) {
  return new Promise((resolve) => {
    const req = request({ host: '127.0.0.1', port, method, path: target, agent: false, timeout: waitLimitMs, headers },
      (res) => {
        let text = '';
        res.setEncoding('utf8').on('data', (chunk) => { text += chunk; });
        res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
      });
    req.on('error', () => resolve({ status: 0, headers: {}, body: '' }));
    req.on('timeout', () => req.destroy());
    req.end(body);
  });
}

/// Console descriptions are the report's JSON with [ ] around maps; this reads one back as a value.
export function printedReport(line) {
  let inString = false;
  let out = '';
  for (let i = 0; i < line.length; ++i) {
    const c = line[i];
    if (inString && c === '\\') { out += c + line[++i]; continue; }
    if (c === '"') inString = !inString;
    out += inString ? c : c === '[' ? '{' : c === ']' ? '}' : c;
  }
  return JSON.parse(out);
}

/// Waits until the agent has printed a line matching `pattern` (a string: that exact line) after index `from`.
export function waitForLine(agent, pattern, from = 0) {
  const matches = typeof pattern === 'string' ? (line) => line === pattern : (line) => pattern.test(line);
  return waitUntil(() => { const i = agent.lines.findIndex((line, n) => n >= from && matches(line)); return i >= 0 ? i + 1 : 0; },
    `the line ${pattern}`, () => agent.lines.slice(-30).join('\n')).then((n) => n - 1);
}

/// Waits until the launch is over: the token handed to the upload and the notification permission answered.
export async function launched(agent) {
  await waitForLine(agent, /^Vellimora = /);
  await waitForLine(agent, /^Notification Settings:/);
  return agent;
}

/// Sends `signal` (unless null) and waits for the agent to end; the exit, with how long it took in `ms`.
export async function stopAgent(agent, signal = 'SIGTERM', limitMs = waitLimitMs) {
  const sentAt = Date.now();
  if (!agent.exit && signal) agent.child.kill(signal);
  let timer;
  const ended = await Promise.race([agent.exited.then(() => true),
    new Promise((resolve) => { timer = setTimeout(resolve, limitMs, false); })]);
  clearTimeout(timer);
  if (!ended) {
    agent.child.kill('SIGKILL');
    await agent.exited;
    assert.fail(`the agent did not end within ${limitMs} ms of ${signal}\n${agent.lines.slice(-20).join('\n')}`);
  }
  return { code: agent.exit.code, signal: agent.exit.signal, ms: agent.exit.at - sentAt };
}

/// Expects a clean end: status 0 and no sanitizer report in standard error or the log.
export async function expectCleanExit(agent, exit) {
  const errors = agent.stderr + await logText(agent.home);
  assert.deepEqual([exit.code, exit.signal], [0, null], `the agent did not end cleanly\n${errors}`);
  assert.doesNotMatch(errors, /Sanitizer|runtime error:/);
}

/// The log files in `<home>/Documents`, concatenated.
export async function logText(home) {
  const documents = path.join(home, 'Documents');
  const names = await readdir(documents).catch(() => []);
  const texts = await Promise.all(names.filter((n) => n.endsWith('.log')).map((n) => readFile(path.join(documents, n), 'utf8')));
  return texts.join('');
}

export const deviceToken = (home) => readFile(path.join(home, 'Library', 'device-token'), 'utf8').then((t) => t.trim());

/// POSTs `body` to the agent's listener on a connection of its own; answers the status, 0 when none came.
export function post(port, target, body, headers = {}) {
  return new Promise((resolve) => {
    const req = request({ host: '127.0.0.1', port, method: 'POST', path: target, agent: false, timeout: waitLimitMs,
      headers: { 'Content-Type': 'application/json', ...headers } }, (res) => { res.resume(); res.on('end', () => resolve(res.statusCode)); });
    req.on('error', () => resolve(0));
    req.on('timeout', () => req.destroy());
    req.end(body);
  });
}

/// Pushes the command word `command` for use case "login", SR number 42, page "home".
export const push = (agent, token, command) => post(agent.port, '/remote-notification',
  JSON.stringify({ aps: { alert: command }, srNumber: '42', usecase: 'login', pagename: 'home' }),
  token ? { Authorization: `Bearer ${token}` } : {});
