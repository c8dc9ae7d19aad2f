// perfagent-server on its own: the names its pages answer to and what /metrics counts.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { cleanUp, expectCleanExit, fetchText, newHome, startServer, stopProcess, waitUntil } from './harness.mjs';
import { runFleet } from './fleet.mjs';

after(cleanUp);

test('--allow-host names the pages answer to; /metrics counts reports, refusals, store times and runs in progress', async () => {
  const server = await startServer(await newHome(), { args: ['--allow-host', 'perf.lan', '--allow-host', 'Runs.Example.org'] });
  const get = (target, headers) => fetchText(server.port, target, { headers });
  assert.equal((await get('/api/runs', { Host: `perf.lan:${server.port}` })).status, 200);
  // Behind a proxy on another port, and in another letter case, and as a browser's same-origin request.
  assert.equal((await get('/', { Host: 'runs.example.ORG', Origin: 'http://runs.example.org' })).status, 200);
  const refused = await get('/api/runs', { Host: `other.lan:${server.port}` });
  assert.deepEqual([refused.status, /--allow-host NAME/.test(refused.body)], [403, true], refused.body);
  assert.equal((await get('/api/runs', { Host: 'perf.lan', Origin: 'http://other.lan' })).status, 403);

  // Two agents' measurements of 3 samples, and one report that is not one.
  const { records, answers } = await runFleet({ target: { host: '127.0.0.1', port: server.port }, agents: 2, samples: 3, intervalMs: 100 });
  assert.ok(records.every((r) => r.finalAcknowledged) && answers.every((a) => a.status === 200));
  const stored = answers.length;
  const bad = await fetchText(server.port, '/entry-point/json', { method: 'POST', body: '{"CPU": 1}', headers: { 'Content-Type': 'application/json' } });
  assert.equal(bad.status, 400);
  const metrics = await waitUntil(async () => {
    const { body } = await get('/metrics');
    return body.includes(`perfagent_report_store_seconds_count ${stored}\n`) && body;
  }, 'the reports stored');
  const value = (name) => Number(metrics.split('\n').find((line) => line.startsWith(`${name} `))?.slice(name.length + 1));
  assert.deepEqual(['perfagent_reports_accepted_total', 'perfagent_reports_refused_total{reason="invalid"}',
    'perfagent_reports_refused_total{reason="queue_full"}', 'perfagent_store_queue_limit', 'perfagent_runs_in_progress',
    'perfagent_report_store_seconds_bucket{le="+Inf"}', 'perfagent_database_errors_total'].map(value), [stored, 1, 0, 4096, 2, stored, 0]);
  assert.ok(value('perfagent_report_store_seconds_sum') > 0 && value('perfagent_store_queue_depth') >= 0, metrics);
  assert.equal((await get('/metrics', { Host: 'other.lan' })).status, 403);
  await expectCleanExit(server, await stopProcess(server));
});
