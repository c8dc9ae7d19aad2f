// Two servers on one PostgreSQL behind a real nginx, round robin, and a fleet of simulated agents each on its own
// loopback address: the devices are the agents, not the proxy, and killing a server loses nothing acknowledged.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import { createServer } from 'node:net';
import { once } from 'node:events';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { cleanUp, expectCleanExit, fetchText, sleep, startServer, stopProcess, waitUntil } from './harness.mjs';
import { checkFleet, runFleet } from './fleet.mjs';

const fixture = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', 'support', 'postgres-fixture');
const nginxBinary = ['/usr/sbin/nginx', '/usr/bin/nginx'].find((candidate) => existsSync(candidate));
const [agents, seconds] = [100, 60];
let directory, nginx;

before(async () => { directory = await mkdtemp(path.join(tmpdir(), 'perfagent-proxy-')); });
after(async () => {
  nginx?.kill('SIGKILL');
  await cleanUp();
  spawnSync(fixture, ['stop', directory], { stdio: 'inherit' });
  await rm(directory, { recursive: true, force: true });
});

const freePort = async () => {
  const probe = createServer().listen(0, '127.0.0.1');
  await once(probe, 'listening');
  const { port } = probe.address();
  await new Promise((resolve) => probe.close(resolve));
  return port;
};

/// nginx in `directory` with nothing of the system's configuration, round robin over `servers`; it names the
/// upstream that answered in X-Upstream, and adds the client's address to X-Forwarded-For. One process, as the
/// test's user: no worker outlives it.
async function startNginx(servers) {
  assert.ok(nginxBinary, 'nginx is not installed: run scripts/setup');
  const port = await freePort();
  const temp = (name) => `${name}_temp_path ${path.join(directory, name)};`;
  await writeFile(path.join(directory, 'nginx.conf'), `
daemon off;
master_process off;
pid ${path.join(directory, 'nginx.pid')};
error_log ${path.join(directory, 'nginx-error.log')} warn;
events { worker_connections 1024; }
http {
  access_log off;
  ${['client_body', 'proxy', 'fastcgi', 'uwsgi', 'scgi'].map(temp).join('\n  ')}
  client_max_body_size 64m;
  upstream servers {
    ${servers.map((server) => `server 127.0.0.1:${server.port} max_fails=1 fail_timeout=60s;`).join('\n    ')}
    keepalive 32;
  }
  server {
    listen 127.0.0.1:${port};
    location / {
      proxy_pass http://servers;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      add_header X-Upstream $upstream_addr always;
    }
  }
}`);
  nginx = spawn(nginxBinary, ['-p', directory, '-c', path.join(directory, 'nginx.conf'), '-e', path.join(directory, 'nginx-error.log')],
    { stdio: 'ignore' });
  const log = () => readFile(path.join(directory, 'nginx-error.log'), 'utf8').catch(() => '');
  await waitUntil(async () => nginx.exitCode === null && (await fetchText(port, '/entry-point/test')).status === 200, 'nginx', () => 'see its log');
  assert.equal(nginx.exitCode, null, await log());
  return port;
}

test(`${agents} agents through nginx onto two servers on one PostgreSQL, one killed halfway: each run whole, nothing lost`, async () => {
  const started = spawnSync(fixture, ['start', directory], { encoding: 'utf8' });
  assert.equal(started.status, 0, started.stderr);
  const database = (await readFile(path.join(directory, 'postgres-url'), 'utf8')).trim();
  const servers = [];
  for (let n = 0; n < 2; ++n) servers.push(await startServer(directory, { database, args: ['--trusted-proxy', '127.0.0.1'] }));
  const port = await startNginx(servers);

  // Each agent claims another address in its own X-Forwarded-For: nginx appends the real one, which is the
  // nearest hop that is not a trusted proxy.
  const running = runFleet({ target: { host: '127.0.0.1', port }, agents, samples: seconds, headers: { 'X-Forwarded-For': '203.0.113.9' } });
  await sleep((seconds / 2) * 1000);
  servers[0].child.kill('SIGKILL');
  const killedAt = performance.now();
  const { records, answers } = await running;

  const survivor = servers[1].port;
  const getJson = async (target) => {
    const answer = await fetchText(survivor, target);
    assert.equal(answer.status, 200, `${target}: ${answer.body}`);
    return JSON.parse(answer.body);
  };
  const { lost, problems } = await checkFleet(records, getJson);
  assert.deepEqual({ lost, problems: problems.slice(0, 10) }, { lost: 0, problems: [] });
  assert.deepEqual(records.filter((r) => !r.finalAcknowledged).map((r) => r.address), []);

  // Round robin: until the kill every run was taken by both servers, and consecutive reports changed server
  // about half the time.
  const [first, second] = servers.map((server) => `127.0.0.1:${server.port}`);
  const beforeKill = records.map((r) => r.upstreams.filter((u) => u.at < killedAt).map((u) => u.upstream));
  assert.deepEqual(records.filter((r, k) => !beforeKill[k].includes(first) || !beforeKill[k].includes(second)).map((r) => r.address), []);
  const pairs = beforeKill.flatMap((upstreams) => upstreams.slice(1).map((u, k) => u !== upstreams[k]));
  const switched = pairs.filter(Boolean).length / pairs.length;
  assert.ok(switched > 0.25 && switched < 0.75, `consecutive reports changed server ${Math.round(switched * 100)} % of the time`);
  // A report in flight to the killed server may go unanswered (a later report carries its samples); the rest are 200.
  const failed = answers.filter((a) => a.status !== 200);
  assert.ok(failed.length <= 20, JSON.stringify(failed.slice(0, 5)));

  await expectCleanExit(servers[1], await stopProcess(servers[1]));
});
