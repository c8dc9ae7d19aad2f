// perfagent-server's pages in headless Chromium: two measurements of the built agent, stored by the built
// server, on the runs list, the run page and the comparison, at phone and desktop sizes.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { mkdir, rm } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import {
  deviceToken, launched, newHome, printedReport, push, startAgent, startServer, stopAgent, waitForLine, waitUntil,
} from '../e2e/harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromiumPath = '/usr/bin/chromium';
const screenshots = path.join(here, 'screenshots');
const sizes = { phone: { width: 390, height: 844 }, desktop: { width: 1280, height: 800 } };

let directory;
let server;
let browser;

/// One measurement by push; the final report the agent printed for it.
async function measure(agent, token, reports) {
  const from = agent.lines.length;
  assert.equal(await push(agent, token, 'start'), 202);
  await waitUntil(() => agent.lines.slice(from).filter((l) => l === '-------final JSon--------').length >= reports, 'reports');
  assert.equal(await push(agent, token, 'stop'), 202);
  await waitForLine(agent, 'valid object : true', await waitForLine(agent, /^stop time : /, from));
  const printed = agent.lines.slice(from).flatMap((l, i, all) => (l === '-------final JSon--------' ? [printedReport(all[i + 1])] : []));
  return printed.reduce((a, b) => (Object.keys(b.CPU).length >= Object.keys(a.CPU).length ? b : a));
}

before(async () => {
  assert.ok(existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup`);
  const { chromium } = await import('playwright-core');
  directory = await newHome();
  server = await startServer(directory);
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--headless', '--no-sandbox', '--disable-gpu'] });
  await mkdir(screenshots, { recursive: true });
});
after(async () => {
  await browser?.close();
  if (server && !server.exit) server.child.kill('SIGTERM');
  await rm(directory, { recursive: true, force: true });
});

test('runs list, run page and comparison show what the agent measured', async () => {
  const agent = await launched(await startAgent({ home: directory, collectionPort: server.port }));
  const token = await deviceToken(agent.home);
  const finals = [await measure(agent, token, 3), await measure(agent, token, 5)];
  await stopAgent(agent);

  const origin = `http://127.0.0.1:${server.port}`;
  const context = await browser.newContext({ viewport: sizes.desktop, locale: 'en-US' });
  const page = await context.newPage();
  const format = (value, digits) => page.evaluate(([v, d]) => v.toLocaleString(undefined, { minimumFractionDigits: d, maximumFractionDigits: d }), [value, digits]);

  // Newest first: the second measurement heads the list.
  await page.goto(origin + '/');
  await page.locator('#runs tbody tr').nth(1).waitFor();
  const rows = await page.locator('#runs tbody tr').evaluateAll((trs) => trs.map((tr) =>
    Object.fromEntries([...tr.cells].map((td) => [td.dataset.label, td.textContent]))));
  assert.equal(rows.length, 2);
  assert.deepEqual(rows.map((r) => [r['Use case'], r['SR number'], r.Samples, r['Max CPU']]), await Promise.all([1, 0].map(async (i) =>
    ['login', '42', String(Object.keys(finals[i].CPU).length), (await format(finals[i].maxcpu, 1)) + ' %'])));

  // The run page of the first measurement: its figures and one chart per series.
  await page.locator('#runs tbody tr').nth(1).locator('a').click();
  await page.waitForURL(/run\.html\?id=/);
  await page.locator('#figures tbody tr').nth(3).waitFor();
  const figures = await page.locator('#figures tbody tr').evaluateAll((trs) => trs.map((tr) => [...tr.querySelectorAll('td')].map((c) => c.textContent)));
  assert.deepEqual(figures[0], [await format(finals[0].averagecpu, 1), await format(finals[0].maxcpu, 1)]);
  assert.deepEqual(figures[1], [await format(finals[0].averagememoryused, 0), await format(finals[0].maxmemoryused, 0)]);
  assert.equal(await page.locator('#charts .uplot').count(), 4);
  const runUrl = page.url();

  // The comparison: both runs in every chart and the differences against the first chosen.
  await page.goto(origin + '/');
  const boxes = page.locator('#runs tbody input[type=checkbox]');
  await boxes.nth(1).waitFor();
  await boxes.nth(1).check();
  await boxes.nth(0).check();
  await page.locator('#compare').click();
  await page.waitForURL(/compare\.html\?runs=/);
  await page.locator('#figures tbody tr').first().waitFor();
  const legend = await page.locator('#legend li').allTextContents();
  assert.equal(legend.length, 2);
  assert.match(legend[0], /the base of the differences/);
  assert.equal(await page.locator('#charts .uplot').first().locator('.u-legend .u-series').count(), 3, 'x and the two runs');
  // Rows: CPU average and maximum, then memory used average: its difference has a sign either way.
  const usedRow = await page.locator('#figures tbody tr').nth(2).locator('td').allTextContents();
  const delta = finals[1].averagememoryused - finals[0].averagememoryused;
  const sign = delta > 0 ? '+' : delta < 0 ? '−' : '±';
  assert.deepEqual(usedRow, [await format(finals[0].averagememoryused, 0),
    `${await format(finals[1].averagememoryused, 0)}${sign}${await format(Math.abs(delta), 0)} MB`]);
  const compareUrl = page.url();
  await context.close();

  for (const [size, viewport] of Object.entries(sizes)) {
    const shots = await browser.newContext({ viewport, locale: 'en-US', deviceScaleFactor: size === 'phone' ? 2 : 1, isMobile: size === 'phone' });
    const view = await shots.newPage();
    for (const [name, url, ready] of [['runs', origin + '/', '#runs tbody tr'], ['run', runUrl, '#charts .uplot'], ['compare', compareUrl, '#charts .uplot']]) {
      await view.goto(url);
      await view.locator(ready).first().waitFor();
      await view.screenshot({ path: path.join(screenshots, `server-${name}-${size}.png`), fullPage: true });
    }
    await shots.close();
  }
});
