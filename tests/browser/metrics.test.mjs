// Every metric group on: the agent's live chart and the server's run page show their series.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { chromiumPath, cleanUp, deviceToken, expectCleanExit, launched, newHome, printedReports, push, screenshotPath,
  startAgent, startServer, stopProcess, waitForLine, waitUntil } from '../e2e/harness.mjs';

const groups = { memory: ['MemoryAvailable', 'SwapUsed'], load: ['LoadAverage', 'RunQueue'], net: ['NetworkIn', 'NetworkOut'],
  disk: ['DiskRead', 'DiskWrite'], thermal: ['Temperature'], power: ['PowerPackage', 'PowerBattery'], gpu: ['GPUBusy'],
  app: ['AppThreads', 'AppFileDescriptors', 'AppRead', 'AppWrite'] };
let server, agent, browser, busy;

before(async () => {
  const { chromium } = await import('playwright-core');
  const directory = await newHome();
  server = await startServer(directory);
  // The groups come from the command line; the target writes to /dev/null ten times a second.
  agent = await launched(await startAgent({ home: directory, collectionPort: server.port, args: ['--metrics', Object.keys(groups).join(',')] }));
  busy = spawn(process.execPath, ['-e', "setInterval(() => require('fs').writeFileSync('/dev/null', 'x'.repeat(100000)), 100)"]);
  browser = await chromium.launch({ executablePath: chromiumPath, args: ['--headless', '--no-sandbox', '--disable-gpu'] });
});
after(async () => {
  busy?.kill();
  try { await browser?.close(); } finally {
    if (agent) await expectCleanExit(agent, await stopProcess(agent));
    await cleanUp();
  }
});

test('a measurement with every group: live charts on the agent page, the series and figures on the server run page', async () => {
  const token = await deviceToken(agent.home);
  const from = agent.lines.length;
  assert.equal((await push(agent, token, 'start', { usecase: 'sensors', target: String(busy.pid) })).status, 202);
  await waitUntil(() => printedReports(agent, from).length >= 4, 'four reports');

  // Each group is sampled or said once to be missing here, with the reason.
  const leftOut = agent.lines.slice(from).filter((line) => line.startsWith('metrics: '));
  const running = JSON.parse(printedReports(agent, from).at(-1));
  for (const [group, series] of Object.entries(groups)) {
    const said = leftOut.filter((line) => line.startsWith(`metrics: ${group}: `)).length;
    const present = series.filter((key) => key in running).length;
    assert.ok(present === series.length ? said === 0 : said >= 1 && said <= 2, `${group}: ${present} series, ${said} lines`);
  }
  for (const key of ['MemoryAvailable', 'LoadAverage', 'NetworkIn', 'DiskWrite', 'AppThreads', 'AppWrite'])
    assert.ok(key in running && `average${key.toLowerCase()}` in running, `${key} in ${Object.keys(running)}`);
  assert.ok(Object.values(running.AppWrite).some((v) => v > 100), JSON.stringify(running.AppWrite));  // ~1 MB/s to /dev/null

  const agentPage = await (await browser.newContext({ viewport: { width: 1000, height: 900 } })).newPage();
  await agentPage.goto(`http://127.0.0.1:${agent.port}/`);
  // A chart per group and unit below the fixed ones, each series a line on it.
  await waitUntil(async () => (await agentPage.locator('#moreCharts .uplot').count()) >= 6, 'the groups\' charts');
  const titles = await agentPage.locator('#moreCharts h3').allTextContents();
  for (const title of ['Memory available, Swap used (MB)', 'Load average, Run queue (tasks)', 'Network in, Network out (KB/s)',
    'Disk read, Disk write (KB/s)', 'App threads (threads)', 'App read, App write (KB/s)'])
    assert.ok(titles.includes(title), titles.join());
  await agentPage.screenshot({ path: screenshotPath('agent-metrics'), fullPage: true });
  await agentPage.context().close();

  assert.equal((await push(agent, token, 'stop')).status, 202);
  await waitForLine(agent, 'valid object : true', await waitForLine(agent, /^stop time : /, from));
  const final = printedReports(agent, from).map((text) => JSON.parse(text)).at(-1);

  // The server's run page: a chart per group series (or the line for one that stayed 0), its figures in the table.
  const page = await (await browser.newContext({ viewport: { width: 1280, height: 800 }, locale: 'en-US' })).newPage();
  await page.goto(`http://127.0.0.1:${server.port}/?usecase=sensors`);
  await page.locator('#runs tbody tr a').first().click();
  await page.waitForURL(/run\.html\?id=/);
  await page.locator('#chartAppWritePlot .uplot').waitFor();
  const notes = (await page.locator('#notes .note').allTextContents()).join(' ');
  const headings = await page.locator('#charts h3').allTextContents();
  for (const key of Object.values(groups).flat().filter((k) => k in final)) {
    const charted = await page.locator(`#chart${key}Plot .uplot`).count();
    assert.ok(charted === 1 || notes.includes('throughout'), `${key}: ${headings.join()} / ${notes}`);
  }
  assert.ok(headings.includes('Network in (KB/s)') && headings.includes('App file descriptors (descriptors)'), headings.join());
  const rows = await page.locator('#figures tbody th').allTextContents();
  assert.ok(rows.includes('Load average (tasks)') && rows.includes('App write (KB/s)'), rows.join());
  await page.screenshot({ path: screenshotPath('server-run-metrics'), fullPage: true });
  await page.context().close();
});
