// A run's verdict end to end: the real agent measures a busy target for the real server, and the server's
// verdict command judges each run against the one before it.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { createServer } from 'node:http';
import { cleanUp, deviceToken, fetchText, launched, measure, newHome, serverBinary, startAgent, startServer } from './harness.mjs';

const targets = [];
after(() => { targets.forEach((t) => t.kill('SIGKILL')); return cleanUp(); });

/// A process that uses `percent` % of one core: in every 100 ms it spins until its own CPU time has grown by
/// `percent` ms, then sleeps out the period; so its share holds however busy the machine is.
function busyTarget(percent) {
  const child = spawn(process.execPath, ['-e', `
    const period = () => { const start = process.cpuUsage(), began = Date.now();
      while ((process.cpuUsage(start).user + process.cpuUsage(start).system) < ${percent} * 1000) {}
      setTimeout(period, Math.max(0, 100 - (Date.now() - began))); };
    period();`], { stdio: 'ignore' });
  targets.push(child);
  return child;
}

/// perfagent-server verdict with `args`: its exit code and output.
async function verdict(args) {
  const child = spawn(serverBinary, ['verdict', ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.setEncoding('utf8').on('data', (chunk) => { output += chunk; });
  child.stderr.setEncoding('utf8').on('data', (chunk) => { output += chunk; });
  const [code] = await once(child, 'exit');
  return { code, output };
}

test('a target whose CPU doubles regresses on AppCPU, the same load passes, a short run is inconclusive', async () => {
  const directory = await newHome();
  const server = await startServer(directory);
  const agent = await launched(await startAgent({ home: await newHome(), collectionPort: server.port }));
  const token = await deviceToken(agent.home);
  const url = `http://127.0.0.1:${server.port}`;
  // Other processes share this machine: the system series get a budget no load can break.
  const judge = () => verdict(['--server', url, '--usecase', 'checkout', '--latest', '--wait', '60',
    '--budget', 'AppCPU:+10%,+1000%']);
  const run = (target, reports) => measure(agent, token, reports, { usecase: 'checkout', target: String(target.pid), build: `b${target.pid}` });

  const light = busyTarget(6), heavy = busyTarget(12);
  const first = await run(light, 14);
  assert.equal(first.build, `b${light.pid}`);
  assert.equal((await judge()).code, 3, 'the first run has no baseline');
  const { body } = await fetchText(server.port, `/api/runs?build=B${light.pid}`);
  assert.deepEqual(JSON.parse(body).runs.map((r) => r.labels.build), [`b${light.pid}`]);
  await run(heavy, 14);
  const doubled = await judge();
  assert.equal(doubled.code, 1, doubled.output);
  assert.match(doubled.output, /^AppCPU .* regressed$/m);
  await run(heavy, 14);
  const same = await judge();
  assert.equal(same.code, 0, same.output);
  assert.match(same.output, /^AppCPU .* unchanged$/m);
  await run(heavy, 5);
  const short = await judge();
  assert.equal(short.code, 3, short.output);
  assert.match(short.output, /^AppCPU .* inconclusive$/m);
});

test('a refusal of the read API is reported with its reason, exit 4', async () => {
  // A server opened by a name it was not told of refuses with this advice; the command must pass it on.
  const refusing = createServer((request, response) => {
    response.writeHead(403, { 'Content-Type': 'text/plain' });
    response.end('foreign host: start it with --allow-host NAME\nsecond line');
  }).listen(0, '127.0.0.1');
  await once(refusing, 'listening');
  const refused = await verdict(['--server', `http://127.0.0.1:${refusing.address().port}`, '--usecase', 'checkout', '--latest']);
  refusing.close();
  assert.equal(refused.code, 4, refused.output);
  assert.match(refused.output, /HTTP 403: foreign host: start it with --allow-host NAME$/m);
  assert.doesNotMatch(refused.output, /second line/);
});
