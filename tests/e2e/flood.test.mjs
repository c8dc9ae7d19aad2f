// Slow and half-sent requests flooding each listener past its connection cap: well-behaved requests keep being answered.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { connect } from 'node:net';
import { cleanUp, deviceToken, expectCleanExit, fetchText, launched, newHome, push, sleep, startAgent, startRecorder, startServer,
  stopProcess, waitUntil } from './harness.mjs';

let recorder;
after(() => { recorder?.close(); return cleanUp(); });

/// `count` connections to `host:port` that stall in their header (or, with `bodies`, every other one in a declared
/// 1 MB body), adding a byte a second, each reopened 250 ms after the listener closes it. Resolves, once all have
/// connected, to what stops it.
async function flood(host, port, count, target, bodies = false) {
  const sockets = new Set();
  let [on, connected] = [true, 0];
  const open = (i) => {
    if (!on) return;
    const socket = connect(port, host, () => ++connected);
    const head = `POST ${target} HTTP/1.1\r\nHost: ${host}:${port}\r\nContent-Type: application/json\r\n`;
    socket.write(bodies && i % 2 ? `${head}Content-Length: 1000000\r\n\r\n{` : `${head}X-Slow: `);
    const drip = setInterval(() => socket.write('a'), 1000);
    sockets.add(socket);
    socket.on('error', () => {}).on('close', () => { clearInterval(drip); sockets.delete(socket); setTimeout(open, 250, i); });
  };
  for (let i = 0; i < count; ++i) open(i);
  await waitUntil(() => connected >= count, `${count} connections`);
  await sleep(200);  // their first bytes read
  return () => { on = false; sockets.forEach((socket) => socket.destroy()); };
}

const report = (usecase, samples) => {
  const series = Object.fromEntries(Array.from({ length: samples }, (_, i) => [`${i + 1}s`, i + 1]));
  return JSON.stringify({ CPU: series, MemoryUsed: series, MemoryFree: series, MemoryCompressed: series, averagecpu: 1,
    averagememoryfree: 1, averagememorycompressed: 1, averagememoryused: 1, maxcpu: 1, maxmemoryfree: 1,
    maxmemorycompressed: 1, maxmemoryused: 1, totalduration: samples * 1000, UsecaseName: usecase });
};

test('the agent answers pushes beside 80 stalled connections (64 at most are kept)', async () => {
  recorder = await startRecorder();
  const agent = await launched(await startAgent({ home: await newHome(), collectionPort: recorder.port }));
  const token = await deviceToken(agent.home);
  const stop = await flood('127.0.0.1', agent.port, 80, '/remote-notification');
  const statuses = [];
  for (let i = 0; i < 10; ++i) statuses.push((await push(agent, token, i % 2 ? 'stop' : 'start')).status);
  stop();
  assert.deepEqual(statuses, Array(10).fill(202));
  await expectCleanExit(agent, await stopProcess(agent));
});

test('the server stores every report of 20 agents beside 4,100 slow connections, and --ui answers reads beside 70', async () => {
  const server = await startServer(await newHome(), { args: (port) => ['--ui', `127.0.0.2:${port}`] });
  const stops = [await flood('127.0.0.1', server.port, 4100, '/entry-point/json', true), await flood('127.0.0.2', server.port, 70, '/api/runs')];
  const agents = Array.from({ length: 20 }, async (_, agent) => {
    const statuses = [];
    for (let n = 1; n <= 3; ++n) {
      statuses.push((await fetchText(server.port, '/entry-point/json', { method: 'POST', body: report(`agent${agent}`, n),
        headers: { 'Content-Type': 'application/json' } })).status);
    }
    return statuses;
  });
  const reads = [];
  for (let i = 0; i < 20; ++i) reads.push((await fetchText(server.port, '/api/runs', { host: '127.0.0.2' })).status);
  const reports = await Promise.all(agents);
  stops.forEach((stop) => stop());
  assert.deepEqual(reports, Array(20).fill([200, 200, 200]));
  assert.deepEqual(reads, Array(20).fill(200));
  await expectCleanExit(server, await stopProcess(server));
});
