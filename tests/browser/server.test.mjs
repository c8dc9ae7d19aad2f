// perfagent-server end to end: the built agent's measurements stored, read back by API and pages; foreign requests refused.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { chromiumPath, cleanUp, deviceToken, expectCleanExit, fetchText, launched, measure, newHome, startAgent,
  startServer, stopProcess } from '../e2e/harness.mjs';

let directory, server, browser, token, finals;
const api = (target) => fetchText(server.port, target).then(({ status, body }) => {
  assert.equal(status, 200, `${target}: ${body}`);
  return target.endsWith('.csv') ? body : JSON.parse(body);
});

before(async () => {
  assert.ok(existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup`);
  const { chromium } = await import('playwright-core');
  directory = await newHome();
  server = await startServer(directory);
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--headless', '--no-sandbox', '--disable-gpu'] });
  const agent = await launched(await startAgent({ home: directory, collectionPort: server.port }));
  token = await deviceToken(agent.home);
  finals = [await measure(agent, token, 3), await measure(agent, token, 5)];
  await expectCleanExit(agent, await stopProcess(agent));
});
after(async () => { await browser?.close(); await cleanUp(); });

test('the API gives back the runs the agent measured: the series and figures it printed, as JSON and CSV', async () => {
  const { runs, next } = await api('/api/runs?usecase=login');
  assert.deepEqual([runs.length, next], [2, null], JSON.stringify(runs));
  const run = await api(`/api/runs/${runs[1].id}`);  // newest first
  const final = finals[0];
  // The token drives the agent's pushes: the API shows its fingerprint only.
  assert.deepEqual([run.usecase, run.srnumber, run.pagename, run.device, run.deviceTokenFingerprint], ['login', '42', 'home', '127.0.0.1', token.slice(0, 8)]);
  assert.ok(![JSON.stringify(runs), JSON.stringify(run)].some((text) => text.includes(token.slice(0, 9))));
  for (const key of ['averagecpu', 'maxcpu', 'averagememoryused', 'maxmemoryfree', 'totalduration']) assert.equal(run[key], final[key], key);
  for (const name of ['CPU', 'MemoryUsed', 'MemoryFree', 'MemoryCompressed'])
    assert.deepEqual(run.series[name], Object.keys(final[name]).map((_, i) => final[name][`${i + 1}s`]), name);
  const csv = (await api(`/api/runs/${run.id}/samples.csv`)).trim().split('\n').slice(1);
  assert.deepEqual(csv.map((row) => row.split(',').map(Number)),
    run.series.CPU.map((cpu, i) => [i + 1, cpu, run.series.MemoryUsed[i], run.series.MemoryFree[i], run.series.MemoryCompressed[i]]));
  assert.equal((await fetchText(server.port, '/api/runs/999999')).status, 404);
});

test('runs list, run page and comparison show what the agent measured', async () => {
  const origin = `http://127.0.0.1:${server.port}`;
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 }, locale: 'en-US' })).newPage();
  // The pages format in the browser's locale, which the context sets.
  const format = (value, digits) => value.toLocaleString('en-US', { minimumFractionDigits: digits, maximumFractionDigits: digits });
  const cells = () => page.locator('#figures tbody tr').evaluateAll((trs) =>
    trs.map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent)));

  // Newest first: the second measurement heads the list.
  await page.goto(origin + '/');
  await page.locator('#runs tbody tr').nth(1).waitFor();
  const rows = await page.locator('#runs tbody tr').evaluateAll((trs) => trs.map((tr) =>
    Object.fromEntries([...tr.cells].map((td) => [td.dataset.label, td.textContent]))));
  assert.deepEqual(rows.map((r) => [r['Use case'], r['SR number'], r.Samples, r['Max CPU']]),
    [1, 0].map((i) => ['login', '42', String(Object.keys(finals[i].CPU).length), format(finals[i].maxcpu, 1) + ' %']));

  // The run page of the first measurement: its figures and one chart per series.
  await page.locator('#runs tbody tr').nth(1).locator('a').click();
  await page.waitForURL(/run\.html\?id=/);
  await page.locator('#figures tbody tr').nth(3).waitFor();
  assert.deepEqual((await cells()).slice(0, 2), [[format(finals[0].averagecpu, 1), format(finals[0].maxcpu, 1)],
    [format(finals[0].averagememoryused, 0), format(finals[0].maxmemoryused, 0)]]);
  assert.equal(await page.locator('#charts .uplot').count(), 4);
  assert.ok((await page.locator('#facts').textContent()).includes(`Token${token.slice(0, 8)}Started`));

  // The comparison: both runs in every chart and the differences against the first chosen.
  await page.goto(origin + '/');
  const boxes = page.locator('#runs tbody input[type=checkbox]');
  for (const i of [1, 0]) await boxes.nth(i).check();  // the first measurement first
  await page.locator('#compare').click();
  await page.waitForURL(/compare\.html\?runs=/);
  await page.locator('#figures tbody tr').first().waitFor();
  assert.equal(await page.locator('#charts .uplot').first().locator('.u-legend .u-series').count(), 3, 'x and the two runs');
  // Rows: CPU average and maximum, then memory used average: its difference has a sign either way.
  const [base, other] = finals.map((f) => f.averagememoryused);
  const sign = other > base ? '+' : other < base ? '−' : '±';
  assert.deepEqual((await cells())[2], [format(base, 0), `${format(other, 0)}${sign}${format(Math.abs(other - base), 0)} MB`]);
  await page.context().close();

});

test('refuses what is not a report, and requests of foreign pages; serves its own with a strict policy', async () => {
  const before = (await api('/api/runs')).runs.length;
  // Too long a body is refused on its length, before it is read.
  for (const [options, status] of [[{ body: '{"CPU": [1, 2' }, 400], [{ headers: { 'Content-Length': String(32 * 1024 * 1024 + 1) } }, 413],
    [{ body: '' }, 204]]) assert.equal((await fetchText(server.port, '/entry-point/json', { method: 'POST', ...options })).status, status);
  assert.equal((await api('/api/runs')).runs.length, before);

  const own = `127.0.0.1:${server.port}`;
  assert.equal((await fetchText(server.port, '/api/runs', { headers: { Origin: `http://${own}`, 'Sec-Fetch-Site': 'same-origin' } })).status, 200);
  for (const headers of [{ Origin: 'http://elsewhere.example' }, { 'Sec-Fetch-Site': 'cross-site' }, { Host: `rebound.example:${server.port}` }]) {
    const { status, body } = await fetchText(server.port, '/api/runs', { headers });
    assert.deepEqual([status, body.includes('"runs"')], [403, false], JSON.stringify(headers));
  }
  assert.match((await fetchText(server.port, '/')).headers['content-security-policy'], /^default-src 'none'; script-src 'self'/);
});

test('ends cleanly on SIGTERM', async () => expectCleanExit(server, await stopProcess(server)));
