// Markers in the browser: marked from the agent's page and by push, drawn on every chart of the run page at desktop
// and phone widths, and the x axis switched to clock time (the comparison: elapsed time).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { chromiumPath, cleanUp, deviceToken, fetchText, launched, measure, newHome, printedReports, push, screenshotPath,
  startAgent, startServer, waitForLine, waitUntil } from '../e2e/harness.mjs';

let server, agent, token, browser;
before(async () => {
  assert.ok(existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup`);
  const { chromium } = await import('playwright-core');
  server = await startServer(await newHome());
  agent = await launched(await startAgent({ home: await newHome(), collectionPort: server.port }));
  token = await deviceToken(agent.home);
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--headless', '--no-sandbox', '--disable-gpu'] });
});
after(async () => { await browser?.close(); await cleanUp(); });

const desktop = { viewport: { width: 1280, height: 800 }, locale: 'en-US' };
const phone = { viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true, locale: 'en-US' };
/// Pixels of the markers' colour (#be123c) in each chart of the page.
const markerPixels = (page) => page.locator('#charts .uplot canvas').evaluateAll((canvases) => canvases.map((canvas) => {
  const { data } = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height);
  let count = 0;
  for (let i = 0; i < data.length; i += 4) {
    if (Math.abs(data[i] - 190) + Math.abs(data[i + 1] - 18) + Math.abs(data[i + 2] - 60) < 24 && data[i + 3] > 200) count++;
  }
  return count;
}));
/// The x series' legend: its label and, with the cursor over the middle of the first chart, its value.
async function xLegend(page) {
  const over = page.locator('#charts .uplot .u-over').first();
  await over.hover({ position: { x: 1, y: 1 } });  // a chart drawn anew learns where the pointer is when it moves
  await over.hover();
  const first = page.locator('#charts .uplot').first().locator('.u-legend .u-series').first();
  const value = await waitUntil(async () => {
    const text = await first.locator('.u-value').textContent();
    return text !== '–' && text;
  }, 'the cursor over the chart');
  return [await first.locator('.u-label').textContent(), value];
}

test('marker lines and labels on every chart of the run, readable on a phone; the x axis switches to clock time', async () => {
  const start = agent.lines.length;
  assert.equal((await push(agent, token, 'start')).status, 202);
  const reports = (count) => waitUntil(() => printedReports(agent, start).length >= count, `${count} reports`);
  await reports(2);
  assert.equal((await push(agent, token, 'mark', { label: 'login tapped' })).status, 202);
  await reports(4);
  // The agent's page marks too, and says which measurement took it.
  const agentPage = await (await browser.newContext(phone)).newPage();
  await agentPage.goto(`http://127.0.0.1:${agent.port}/`);
  await agentPage.getByLabel('Marker').fill('list scrolled to the end');
  await agentPage.getByRole('button', { name: 'Mark' }).click();
  await agentPage.getByText('Marked "list scrolled to the end" in the push measurement').waitFor();
  await agentPage.screenshot({ path: screenshotPath('markers-agent-page-phone'), fullPage: true });
  await reports(7);
  assert.equal((await push(agent, token, 'mark', { label: 'checkout' })).status, 202);
  await reports(9);
  assert.equal((await push(agent, token, 'stop')).status, 202);
  await waitForLine(agent, 'valid object : true', start);
  const other = await measure(agent, token, 4);  // an unmarked run to compare with
  const [marked, unmarked] = await waitUntil(async () => {
    const { runs } = JSON.parse((await fetchText(server.port, '/api/runs?usecase=login')).body);
    return runs.length === 2 && runs[0].samples === Object.keys(other.CPU).length && [runs[1], runs[0]];
  }, 'both runs stored');
  const { markers, firstSample } = JSON.parse((await fetchText(server.port, `/api/runs/${marked.id}`)).body);
  assert.deepEqual(markers.map((m) => m.label), ['login tapped', 'list scrolled to the end', 'checkout']);

  const origin = `http://127.0.0.1:${server.port}`;
  for (const [name, options] of [['desktop', desktop], ['phone', phone]]) {
    const page = await (await browser.newContext(options)).newPage();
    await page.goto(`${origin}/run.html?id=${marked.id}`);
    await page.locator('#markers li').nth(2).waitFor();
    const clock = (sample) => page.evaluate((ms) => new Date(ms).toLocaleTimeString(undefined,
      { hour: '2-digit', minute: '2-digit', second: '2-digit', hour12: false }), Date.parse(firstSample) + (sample - 1) * 1000);
    assert.equal(await page.locator('#markers li').first().textContent(), `Sample ${markers[0].sample} (${await clock(markers[0].sample)}): login tapped`);
    await page.locator('#charts .uplot').nth(2).waitFor();
    const pixels = await markerPixels(page);
    assert.ok(pixels.length >= 3 && pixels.every((count) => count > 100), `marker pixels per chart: ${pixels}`);
    const width = await page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
    assert.ok(width <= 0, `the run page scrolls sideways by ${width} px`);
    assert.equal((await xLegend(page))[0], 'Sample');
    await page.screenshot({ path: screenshotPath(`markers-run-${name}`), fullPage: true });

    await page.getByLabel('Clock time').check();
    const [label, value] = await xLegend(page);
    const times = await Promise.all(Array.from({ length: marked.samples }, (_, i) => clock(i + 1)));
    assert.deepEqual([label, times.includes(value)], ['Time', true], `${value} among ${times}`);
    assert.ok((await markerPixels(page)).every((count) => count > 100), 'markers drawn on the clock axis too');
    await page.screenshot({ path: screenshotPath(`markers-run-clock-${name}`), fullPage: true });
    await page.locator('#charts .chart').first().screenshot({ path: screenshotPath(`markers-chart-clock-${name}`) });
  }

  // The comparison aligns runs at their first sample: its axis switches to the time elapsed since then.
  const page = await (await browser.newContext(desktop)).newPage();
  await page.goto(`${origin}/compare.html?runs=${marked.id},${unmarked.id}`);
  await page.locator('#charts .uplot').first().waitFor();
  await page.getByLabel('Elapsed time').check();
  const [label, value] = await xLegend(page);
  assert.equal(label, 'Elapsed');
  assert.match(value, /^0:0\d$/);
  await page.screenshot({ path: screenshotPath('markers-compare-elapsed'), fullPage: true });
});
