// perfagent-server end to end: the built agent's measurements stored, read back by API and pages; foreign requests refused.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync } from 'node:fs';
import { createServer } from 'node:http';
import { chromiumPath, cleanUp, deviceToken, expectCleanExit, fetchText, launched, measure, newHome, screenshotPath, startAgent,
  startServer, stopProcess, waitUntil } from '../e2e/harness.mjs';

let directory, server, browser, token, finals, targeted, busy;
/// A report of one sample for use case `usecase`, as an agent would send it.
const report = (usecase) => JSON.stringify({ CPU: { '1s': 1 }, MemoryUsed: { '1s': 1 }, MemoryFree: { '1s': 1 },
  MemoryCompressed: { '1s': 1 }, averagecpu: 1, averagememoryfree: 1, averagememorycompressed: 1, averagememoryused: 1,
  maxcpu: 1, maxmemoryfree: 1, maxmemorycompressed: 1, maxmemoryused: 1, totalduration: 1000, UsecaseName: usecase });
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
  // Two measurements of a target process that works a fifth of each 100 ms.
  busy = spawn(process.execPath, ['-e', 'setInterval(() => { const t = Date.now(); while (Date.now() - t < 20); }, 100)']);
  const checkout = { usecase: 'checkout', target: String(busy.pid) };
  targeted = [await measure(agent, token, 3, checkout), await measure(agent, token, 4, checkout)];
  busy.kill();
  await expectCleanExit(agent, await stopProcess(agent));
});
after(async () => { busy?.kill(); await browser?.close(); await cleanUp(); });

test('the API gives back the runs the agent measured: the series and figures it printed, as JSON and CSV', async () => {
  const { runs, next } = await api('/api/runs?usecase=login');
  assert.deepEqual([runs.length, next], [2, null], JSON.stringify(runs));
  const run = await api(`/api/runs/${runs[1].id}`);  // newest first
  const final = finals[0];
  assert.deepEqual([run.usecase, run.srnumber, run.pagename, run.device, run.deviceTokenFingerprint], ['login', '42', 'home', '127.0.0.1', token.slice(0, 8)]);
  // The token drives the agent's pushes: the API shows its fingerprint only.
  assert.ok(![JSON.stringify(runs), JSON.stringify(run)].some((text) => text.includes(token.slice(0, 9))));
  assert.deepEqual([Object.keys(run.series), run.labels], [['CPU', 'MemoryUsed', 'MemoryFree', 'MemoryCompressed'], {}]);
  await expectAsReported(run, final);
  assert.equal((await fetchText(server.port, '/api/runs/999999')).status, 404);
});

/// The run as the API, the CSV and the comparison give it back holds what the final report held, and nothing else.
async function expectAsReported(run, final) {
  const series = Object.keys(final).filter((key) => typeof final[key] === 'object');
  const byIndex = (values) => Array.from({ length: run.samples }, (_, i) => values[`${i + 1}s`] ?? null);
  assert.deepEqual(Object.keys(run.series).sort(), series.sort());
  for (const name of series) assert.deepEqual(run.series[name], byIndex(final[name]), name);
  const figures = Object.keys(final).filter((key) => typeof final[key] === 'number' && key !== 'targetpid');
  assert.deepEqual(run.figures, Object.fromEntries(figures.map((key) => [key, final[key]])));
  const [header, ...rows] = (await api(`/api/runs/${run.id}/samples.csv`)).trim().split('\n');
  const columns = Object.keys(run.series);
  assert.equal(header, ['sample', 'time', 'elapsed_s', ...columns, 'marker'].join(','));
  assert.deepEqual(rows.map((row) => row.split(',').filter((_, k) => k !== 1).map((v) => (v === '' ? null : Number(v)))),
    run.series.CPU.map((_, i) => [i + 1, i, ...columns.map((name) => run.series[name][i]), null]));
}

test('a target run keeps its target, app series and app figures: API, CSV and comparison equal the final reports', async () => {
  const { runs } = await api('/api/runs?usecase=checkout');
  assert.equal(runs.length, 2);
  const [first, second] = await Promise.all([runs[1], runs[0]].map((r) => api(`/api/runs/${r.id}`)));
  for (const [run, final] of [[first, targeted[0]], [second, targeted[1]]]) {
    assert.deepEqual(run.labels, { target: final.target, targetpid: String(final.targetpid) });
    assert.ok(['AppCPU', 'AppMemory'].every((name) => name in run.series) && 'maxappmemory' in run.figures, JSON.stringify(run.figures));
    await expectAsReported(run, final);
  }
  const compared = await api(`/api/compare?runs=${first.id},${second.id}`);
  assert.deepEqual(compared.runs.map((r) => [r.series, r.figures, r.labels]), [first, second].map((r) => [r.series, r.figures, r.labels]));
  const { figures, series } = compared.differences[0];
  const mean = (values) => values.filter((v) => v !== null).reduce((a, b) => a + b, 0) / values.filter((v) => v !== null).length;
  for (const key of ['averageappcpu', 'maxappmemory']) {
    assert.ok(Math.abs(figures[key].absolute - (second.figures[key] - first.figures[key])) < 1e-9, key);
    if (first.figures[key] !== 0) assert.ok(Math.abs(figures[key].relative - figures[key].absolute / Math.abs(first.figures[key]) * 100) < 1e-9, key);
  }
  assert.deepEqual(Object.keys(series), ['CPU', 'MemoryUsed', 'MemoryFree', 'MemoryCompressed', 'AppCPU', 'AppMemory']);
  assert.ok(Math.abs(series.AppMemory.mean.absolute - (mean(second.series.AppMemory) - mean(first.series.AppMemory))) < 1e-9);
});

test('a series and a figure the server never saw are stored and served; 33 series or a NUL are refused', async () => {
  const post = (report) => fetchText(server.port, '/entry-point/json', { method: 'POST', body: JSON.stringify(report),
    headers: { 'Content-Type': 'application/json' } });
  const report = { ...finals[0], UsecaseName: 'sensors', Temperature: { '1s': 41.5, '2s': 42 }, averagetemperature: 41.75 };
  assert.equal((await post(report)).status, 200);
  const { runs } = await waitUntil(async () => { const page = await api('/api/runs?usecase=sensors'); return page.runs.length && page; }, 'the run');
  const run = await api(`/api/runs/${runs[0].id}`);
  assert.deepEqual([run.series.Temperature.slice(0, 3), run.figures.averagetemperature], [[41.5, 42, null], 41.75]);
  const many = Object.fromEntries(Array.from({ length: 29 }, (_, i) => [`S${i}`, { '1s': i }]));
  for (const bad of [{ ...report, ...many, UsecaseName: 'many' }, { ...report, UsecaseName: 'nul\u0000' }]) {
    const { status, body } = await post(bad);
    assert.deepEqual([status, /33 series|more than 32 series|NUL/.test(body)], [400, true], body);
  }
  assert.equal((await api('/api/runs?usecase=many')).runs.length, 0);
});

test('runs list, run page and comparison show what the agent measured', async () => {
  const origin = `http://127.0.0.1:${server.port}`;
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 }, locale: 'en-US' })).newPage();
  // The pages format in the browser's locale, which the context sets.
  const format = (value, digits) => value.toLocaleString('en-US', { minimumFractionDigits: digits, maximumFractionDigits: digits });
  const cells = () => page.locator('#figures tbody tr').evaluateAll((trs) =>
    trs.map((tr) => [...tr.querySelectorAll('td')].map((td) => td.textContent)));

  // Newest first: the second measurement heads the list.
  await page.goto(origin + '/?usecase=login');
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
  // Compressed memory that stayed 0 (no zswap) is a line of text, not a chart.
  const zero = Object.values(finals[0].MemoryCompressed).every((v) => v === 0);
  assert.equal(await page.locator('#charts .uplot').count(), zero ? 3 : 4);
  assert.equal(await page.locator('#notes .note').count(), zero ? 1 : 0);
  assert.ok((await page.locator('#facts').textContent()).includes(`Token${token.slice(0, 8)}Target`));

  // The comparison: both runs in every chart and the differences against the first chosen.
  await page.goto(origin + '/?usecase=login');
  const boxes = page.locator('#runs tbody input[type=checkbox]');
  for (const i of [1, 0]) await boxes.nth(i).check();  // the first measurement first
  await page.locator('#compare').click();
  await page.waitForURL(/compare\.html\?runs=/);
  await page.locator('#figures tbody tr').first().waitFor();
  assert.equal(await page.locator('#charts .uplot').first().locator('.u-legend .u-series').count(), 3, 'x and the two runs');
  // Rows: CPU average and maximum, then memory used average: its difference has a sign either way.
  const [base, other] = finals.map((f) => f.averagememoryused);
  const sign = other > base ? '+' : other < base ? '−' : '±';
  const relative = base ? ` (${sign}${format(Math.abs((other - base) / base * 100), 1)} %)` : '';
  const way = other > base ? ', worse' : other < base ? ', better' : '';
  assert.deepEqual((await cells())[2], [format(base, 0), `${format(other, 0)}${sign}${format(Math.abs(other - base), 0)} MB${relative}${way}`]);

  // A target run: the app's CPU on the CPU chart, its memory on a chart of its own; the list names the target.
  await page.goto(origin + '/?usecase=checkout');
  await page.locator('#runs tbody tr').nth(1).waitFor();
  const targetCell = await page.locator('#runs tbody tr td[data-label="Target"]').first().textContent();
  assert.equal(targetCell, `${targeted[1].target} (pid ${targeted[1].targetpid})`);
  await page.locator('#runs tbody tr').first().locator('a').click();
  await page.waitForURL(/run\.html\?id=/);
  await page.locator('#chartAppMemoryPlot .uplot').waitFor();
  assert.deepEqual(await page.locator('#chartCPUPlot .u-legend .u-series th').allTextContents().then((t) => t.slice(1).map((x) => x.trim())),
    ['CPU', 'App CPU']);
  await page.screenshot({ path: screenshotPath('server-run-target'), fullPage: true });
  await page.goto(origin + '/?usecase=checkout');
  const targetBoxes = page.locator('#runs tbody input[type=checkbox]');
  for (const i of [1, 0]) await targetBoxes.nth(i).check();
  await page.locator('#compare').click();
  await page.waitForURL(/compare\.html\?runs=/);
  await page.locator('#chartAppMemoryPlot .uplot').waitFor();
  const titles = await page.locator('#charts h3').allTextContents();
  assert.deepEqual(titles.slice(0, 2), ['CPU (%)', 'App CPU (%)']);
  assert.ok(titles.includes('App memory (MB)'), titles.join());
  await page.screenshot({ path: screenshotPath('server-compare-target'), fullPage: true });
  await page.context().close();

});

test('refuses what is not a report, and requests of foreign pages; serves its own with a strict policy', async () => {
  const before = (await api('/api/runs')).runs.length;
  // Too long a body is refused on its length, before it is read.
  const json = { 'Content-Type': 'application/json' };
  for (const [options, status] of [[{ body: '{"CPU": [1, 2', headers: json }, 400], [{ body: '', headers: json }, 204],
    [{ headers: { ...json, 'Content-Length': String(32 * 1024 * 1024 + 1) } }, 413], [{ body: report('curl') }, 415],
    [{ body: report('curl'), headers: { 'Content-Type': 'text/plain' } }, 415]])
    assert.equal((await fetchText(server.port, '/entry-point/json', { method: 'POST', ...options })).status, status);
  assert.equal((await api('/api/runs')).runs.length, before);

  // A page elsewhere posts a report by a no-cors fetch and by a plain form, and a device token by a form.
  const elsewhere = createServer((req, res) => res.writeHead(200, { 'Content-Type': 'text/html' }).end(`<!doctype html>
    <form id="report" method="post" enctype="text/plain" action="http://127.0.0.1:${server.port}/entry-point/json">
      <input name='${report('form').slice(0, -1)}, "x": "' value='"}'></form>
    <form id="token" method="post" enctype="text/plain" action="http://127.0.0.1:${server.port}/entry-point/devicetokentest">
      <input name='{"DeviceToken": "${'ab'.repeat(32)}", "x": "' value='"}'></form>`)).listen(0, '127.0.0.1');
  await once(elsewhere, 'listening');
  const page = await browser.newPage();
  await page.goto(`http://localhost:${elsewhere.address().port}/`);
  await page.evaluate(([port, body]) => fetch(`http://127.0.0.1:${port}/entry-point/json`, { method: 'POST', mode: 'no-cors', body }),
    [server.port, report('fetch')]);
  for (const form of ['report', 'token']) {
    await Promise.all([page.waitForNavigation(), page.evaluate((id) => document.getElementById(id).submit(), form)]);
    assert.match(await page.content(), /sent by a web page/);
    await page.goBack();
  }
  await page.close();
  elsewhere.close();
  const runs = (await api('/api/runs')).runs;
  assert.deepEqual([runs.length, runs[0].deviceTokenFingerprint], [before, token.slice(0, 8)]);

  const own = `127.0.0.1:${server.port}`;
  assert.equal((await fetchText(server.port, '/api/runs', { headers: { Origin: `http://${own}`, 'Sec-Fetch-Site': 'same-origin' } })).status, 200);
  for (const headers of [{ Origin: 'http://elsewhere.example' }, { 'Sec-Fetch-Site': 'cross-site' }, { Host: `rebound.example:${server.port}` }]) {
    const { status, body } = await fetchText(server.port, '/api/runs', { headers });
    assert.deepEqual([status, body.includes('"runs"')], [403, false], JSON.stringify(headers));
  }
  assert.match((await fetchText(server.port, '/')).headers['content-security-policy'], /^default-src 'none'; script-src 'self'/);
});

test('ends cleanly on SIGTERM', async () => expectCleanExit(server, await stopProcess(server)));
