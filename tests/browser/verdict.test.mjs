// The verdict on the server's pages: a run page's outcome against its baseline, and a use case's trend.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { chromiumPath, cleanUp, fetchText, newHome, screenshotPath, sleep, startServer } from '../e2e/harness.mjs';

let server, browser;
const ids = [];

/// A report of `count` samples around `cpu` % CPU, as an agent sends it (its sender: the loopback).
function report(cpu, count, seed) {
  const body = { UsecaseName: 'checkout', srNumber: String(seed), build: `v${seed}.0` };
  const series = (f) => Object.fromEntries(Array.from({ length: count }, (_, i) => [`${i + 1}s`, f(i)]));
  body.CPU = series((i) => cpu + ((i * 7 + seed) % 5) - 2);
  body.MemoryUsed = series((i) => 3000 + ((i * 3 + seed) % 7));
  body.MemoryFree = series((i) => 5000 - ((i * 5 + seed) % 7));
  body.MemoryCompressed = series(() => 0);
  for (const key of ['averagecpu', 'averagememoryfree', 'averagememorycompressed', 'averagememoryused', 'maxmemoryfree',
    'maxmemorycompressed', 'maxmemoryused', 'maxcpu', 'totalduration']) body[key] = 1;
  return JSON.stringify(body);
}

before(async () => {
  assert.ok(existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup`);
  const { chromium } = await import('playwright-core');
  server = await startServer(await newHome());
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--headless', '--no-sandbox', '--disable-gpu'] });
  // Three runs of one use case: steady, steady, then CPU doubled. A run is complete 10 s after its last report.
  for (const [cpu, seed] of [[20, 1], [20, 2], [40, 3]]) {
    const { status } = await fetchText(server.port, '/entry-point/json', { method: 'POST', body: report(cpu, 30, seed),
      headers: { 'Content-Type': 'application/json' } });
    assert.equal(status, 200);
  }
  await sleep(10_500);
  const { body } = await fetchText(server.port, '/api/runs?usecase=checkout');
  ids.push(...JSON.parse(body).runs.map((r) => r.id).reverse());
});
after(async () => { await browser?.close(); await cleanUp(); });

test('the run page says its verdict in words against its linked baseline; the trend flags the regressed run', async () => {
  const origin = `http://127.0.0.1:${server.port}`;
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 900 }, locale: 'en-US' })).newPage();
  await page.goto(`${origin}/run.html?id=${ids[2]}`);
  await page.locator('#verdictTable tbody tr').first().waitFor();
  assert.equal(await page.locator('#verdictOutcome .outcome').textContent(), '▲ Regressed');
  assert.equal(await page.locator('#verdictOutcome a').first().getAttribute('href'), `run.html?id=${ids[1]}`);
  const rows = await page.locator('#verdictTable tbody tr').evaluateAll((trs) => trs.map((tr) => [tr.cells[0].textContent, tr.lastChild.textContent]));
  assert.deepEqual(rows.slice(0, 3), [['CPU', '▲ Regressed'], ['Memory used', '= Unchanged'], ['Memory free', '= Unchanged']]);
  await page.screenshot({ path: screenshotPath('run-verdict'), fullPage: true });

  await page.locator('#verdictOutcome a', { hasText: 'trend' }).click();
  await page.waitForURL(/trend\.html\?usecase=checkout/);
  await page.locator('#trend tbody tr').nth(2).waitFor();
  const trend = await page.locator('#trend tbody tr').evaluateAll((trs) => trs.map((tr) => [tr.cells[0].textContent, tr.lastChild.textContent]));
  assert.deepEqual(trend, [[`Run ${ids[0]}`, '–'], [`Run ${ids[1]}baseline`, '= Unchanged'], [`Run ${ids[2]}`, '▲ Regressed']]);
  assert.equal(await page.locator('#trend tbody tr').nth(2).locator('td').nth(2).textContent(), 'v3.0');
  assert.match(await page.locator('#chartCPUSummary').textContent(), new RegExp(`Regressed: Run ${ids[2]} \\(build v3\\.0\\)\\.`));
  assert.match(await page.locator('#chartMemoryUsedSummary').textContent(), /No run regressed\./);
  await page.screenshot({ path: screenshotPath('trend'), fullPage: true });
  await page.context().close();
});

test('the runs list filters by a part of the use case in any case and by a range of UTC days', async () => {
  const page = await (await browser.newContext({ locale: 'en-US' })).newPage();
  const today = new Date().toISOString().slice(0, 10);
  const count = async (filters) => {
    await page.goto(`http://127.0.0.1:${server.port}/?` + new URLSearchParams(filters));
    await page.waitForLoadState('networkidle');
    return page.locator('#runs tbody tr').count();
  };
  assert.equal(await count({ usecase: 'HECK' }), 3);
  assert.equal(await count({ usecase: 'heck', since: today, until: today }), 3);  // through the end of today
  assert.equal(await count({ until: new Date(Date.now() - 86_400_000).toISOString().slice(0, 10) }), 0);
  assert.equal(await count({ usecase: 'login' }), 0);
  assert.equal(await count({ build: 'V3' }), 1);
  await page.context().close();
});
