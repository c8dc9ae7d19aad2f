// The built agent reporting to the built perfagent-server on loopback: what the agent printed is what the
// server's read API gives back; bodies that are not reports and foreign pages are refused.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { rm } from 'node:fs/promises';
import {
  deviceToken, expectCleanExit, fetchText, launched, newHome, printedReport, push, serverBinary, startAgent, startServer,
  stopAgent, waitForLine, waitUntil,
} from './harness.mjs';

let directory;
let server;
const api = async (target, headers = {}) => {
  const response = await fetchText(server.port, target, { headers });
  assert.equal(response.status, 200, `${target}: ${response.body}`);
  return target.endsWith('.csv') ? response.body : JSON.parse(response.body);
};

before(async () => {
  assert.ok(existsSync(serverBinary), `no server at ${serverBinary}: build perfagent-server or set PERFAGENT_SERVER_BIN`);
  directory = await newHome();
  server = await startServer(directory);
});
after(async () => {
  if (server && !server.exit) server.child.kill('SIGKILL');
  await rm(directory, { recursive: true, force: true });
});

describe('perfagent-server', () => {
  test('stores the run the agent measured: the series and figures it printed, as JSON and CSV', async () => {
    const agent = await launched(await startAgent({ home: directory, collectionPort: server.port }));
    const token = await deviceToken(agent.home);
    const from = agent.lines.length;
    assert.equal(await push(agent, token, 'start'), 202);
    await waitForLine(agent, /^start time : /, from);
    await waitUntil(() => agent.lines.slice(from).filter((line) => line === '-------final JSon--------').length >= 3, 'three reports');
    assert.equal(await push(agent, token, 'stop'), 202);
    const stopped = await waitForLine(agent, /^stop time : /, from);
    await waitForLine(agent, 'valid object : true', stopped);
    await expectCleanExit(agent, await stopAgent(agent));
    const printed = agent.lines.flatMap((line, i, all) => (line === '-------final JSon--------' ? [printedReport(all[i + 1])] : []));
    const final = printed.reduce((a, b) => (Object.keys(b.CPU).length >= Object.keys(a.CPU).length ? b : a));

    const { runs, next } = await api('/api/runs?usecase=login');
    assert.equal(runs.length, 1, JSON.stringify(runs));
    assert.equal(next, null);
    const run = await api(`/api/runs/${runs[0].id}`);
    assert.deepEqual([run.usecase, run.srnumber, run.pagename, run.device, run.deviceToken], ['login', '42', 'home', '127.0.0.1', token]);
    for (const key of ['averagecpu', 'maxcpu', 'averagememoryused', 'maxmemoryfree', 'totalduration']) assert.equal(run[key], final[key], key);
    const count = Object.keys(final.CPU).length;
    assert.equal(run.samples, count);
    for (const name of ['CPU', 'MemoryUsed', 'MemoryFree', 'MemoryCompressed']) {
      assert.deepEqual(run.series[name], Array.from({ length: count }, (_, i) => final[name][`${i + 1}s`]), name);
    }
    const csv = (await api(`/api/runs/${run.id}/samples.csv`)).trim().split('\n');
    assert.equal(csv[0], 'sample,CPU,MemoryUsed,MemoryFree,MemoryCompressed');
    assert.deepEqual(csv.slice(1).map((row) => row.split(',').map(Number)),
      run.series.CPU.map((cpu, i) => [i + 1, cpu, run.series.MemoryUsed[i], run.series.MemoryFree[i], run.series.MemoryCompressed[i]]));
    assert.equal((await fetchText(server.port, '/api/runs/999999')).status, 404);
    assert.equal((await fetchText(server.port, '/api/runs?limit=0')).status, 400);
  });

  test('bodies that are not reports are refused and store nothing', async () => {
    const report = { CPU: { '1s': 1 }, MemoryUsed: { '1s': 2 }, MemoryFree: { '1s': 3 }, MemoryCompressed: { '1s': 4 },
      averagecpu: 1, averagememoryfree: 3, averagememorycompressed: 4, averagememoryused: 2, maxmemoryfree: 3,
      maxmemorycompressed: 4, maxmemoryused: 2, maxcpu: 1, totalduration: 1000, UsecaseName: 'bad' };
    const cases = [
      ['garbage', '{"CPU": [1, 2', 400],
      ['a series of texts', JSON.stringify({ ...report, CPU: { '1s': 'high' } }), 400],
      ['a missing series', JSON.stringify({ ...report, MemoryFree: undefined }), 400],
      ['a name that is a number', JSON.stringify({ ...report, UsecaseName: 7 }), 400],
      ['a number too large for a double', JSON.stringify(report).replace('"maxcpu":1', '"maxcpu":1e999'), 400],
      ['100,000 nested brackets', '['.repeat(100_000), 400],
      ['a name in invalid UTF-8', Buffer.from(JSON.stringify(report).replace('"bad"', '"\xc3("'), 'latin1'), 400],
    ];
    const before = (await api('/api/runs')).runs.length;
    for (const [what, body, status] of cases) {
      const response = await fetchText(server.port, '/entry-point/json', { method: 'POST', body });
      assert.equal(response.status, status, `${what}: ${response.body}`);
    }
    // Refused on its length, before the body is read.
    const huge = await fetchText(server.port, '/entry-point/json', { method: 'POST', headers: { 'Content-Length': String(32 * 1024 * 1024 + 1) } });
    assert.equal(huge.status, 413);
    assert.equal((await api('/api/runs')).runs.length, before);
    assert.equal((await fetchText(server.port, '/entry-point/json', { method: 'POST', body: '' })).status, 204);
    const ok = await fetchText(server.port, '/entry-point/json', { method: 'POST', body: JSON.stringify(report) });
    assert.equal(ok.status, 200, 'the same report whole is stored');
    assert.equal((await api('/api/runs?usecase=bad')).runs.length, 1);
  });

  test('the read API answers only its own pages', async () => {
    const own = `127.0.0.1:${server.port}`;
    assert.equal((await fetchText(server.port, '/api/runs', { headers: { Origin: `http://${own}`, 'Sec-Fetch-Site': 'same-origin' } })).status, 200);
    for (const headers of [{ Origin: 'http://elsewhere.example' }, { 'Sec-Fetch-Site': 'cross-site' }, { Host: `rebound.example:${server.port}` }]) {
      const response = await fetchText(server.port, '/api/runs', { headers });
      assert.equal(response.status, 403, JSON.stringify(headers));
      assert.ok(!response.body.includes('"runs"'));
    }
    const page = await fetchText(server.port, '/');
    assert.match(page.headers['content-security-policy'], /^default-src 'none'; script-src 'self'/);
    assert.match(page.body, /<script src="app.js"/);
  });

  test('ends cleanly on SIGTERM', async () => {
    server.child.kill('SIGTERM');
    await server.exited;
    assert.deepEqual(server.exit, { code: 0, signal: null }, server.stderr);
    assert.doesNotMatch(server.stderr, /Sanitizer|runtime error:/);
  });
});
