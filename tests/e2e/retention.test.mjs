// Removing old runs: `perfagent-server prune` by hand, and --keep-days at the server's start.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import path from 'node:path';
import { promisify } from 'node:util';
import { cleanUp, expectCleanExit, fetchText, newHome, serverBinary, startServer, stopProcess, waitUntil } from './harness.mjs';
import { runFleet } from './fleet.mjs';

after(cleanUp);
const run = promisify(execFile);
const day = 86_400_000;

test('prune removes the runs last reported before its date; --keep-days removes older ones at start', async () => {
  const home = await newHome();
  const file = path.join(home, 'runs.sqlite3');
  const database = `sqlite://${file}`;
  let server = await startServer(home);
  const { records } = await runFleet({ target: { host: '127.0.0.1', port: server.port }, agents: 3, samples: 3, intervalMs: 100 });
  assert.ok(records.every((r) => r.finalAcknowledged));
  await expectCleanExit(server, await stopProcess(server));

  // Runs 1 and 2 as if reported 10 and 3 days ago.
  await run('sqlite3', [file, `UPDATE runs SET last_report_ms = last_report_ms - ${10 * day} WHERE id = 1;
    UPDATE runs SET last_report_ms = last_report_ms - ${3 * day} WHERE id = 2;`]);
  const before = new Date(Date.now() - 5 * day).toISOString().slice(0, 10);
  const pruned = await run(serverBinary, ['prune', '--database', database, '--before', before]);
  assert.match(pruned.stdout, new RegExp(`^perfagent-server prune: removed 1 runs and 3 samples last reported before ${before}T00:00:00.000Z\n$`));
  for (const bad of [['--before', '2026-13-01'], ['--database', database]]) {
    const refused = await run(serverBinary, ['prune', ...bad]).catch((e) => e);
    assert.deepEqual([refused.code, /--before/.test(refused.stderr)], [2, true], refused.stderr);
  }

  server = await startServer(home, { database, args: ['--keep-days', '2'] });
  await waitUntil(() => server.stderr.includes('retention: removed 1 runs and 3 samples last reported more than 2 days ago'),
    'the retention line', () => server.stderr);
  const { runs } = JSON.parse((await fetchText(server.port, '/api/runs')).body);
  assert.deepEqual(runs.map((r) => r.id), [3]);
  await expectCleanExit(server, await stopProcess(server));
});
