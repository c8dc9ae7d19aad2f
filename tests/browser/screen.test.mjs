// The operator page in a real browser: headless Chromium drives the built agent, whose reports go to a
// loopback collection-server recorder, while the agent's console lines are read live from its stdout.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { existsSync } from 'node:fs';
import { mkdir, readFile, readdir, rm } from 'node:fs/promises';
import { createServer } from 'node:http';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { agentBinary, newHome, sleep, startAgent, startRecorder, stopAgent, waitUntil } from '../e2e/harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const chromiumPath = '/usr/bin/chromium';
const screenshots = path.join(here, 'screenshots');
const chromiumArgs = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
  '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic'];

// The collector samples once a second; a quiet spell longer than that shows that nothing more is coming.
const quietSpellMs = 2_500;

/// A web site elsewhere on this machine whose page tries to start a measurement on the agent.
async function startForeignSite() {
  const page = `<!doctype html><html><head><meta charset="utf-8"><title>elsewhere</title></head><body>
<script>
const agent = new URLSearchParams(location.search).get('agent');
const body = JSON.stringify({ useCaseName: 'intruder', srNumber: '666' });
async function attempt(init) {
  try {
    const response = await fetch(agent + '/screen/actions/start', { method: 'POST', body, ...init });
    return 'answered ' + response.type + ' ' + response.status;
  } catch (error) {
    return 'failed ' + error.name;
  }
}
(async () => {
  // A JSON request needs the agent's consent first (a CORS preflight).
  document.body.dataset.json = await attempt({ headers: { 'Content-Type': 'application/json' } });
  // A plain-text request goes out without asking; only the agent can refuse it.
  document.body.dataset.plain = await attempt({ mode: 'no-cors', headers: { 'Content-Type': 'text/plain' } });
  // The live view is the agent's own page's to read.
  try {
    const state = await fetch(agent + '/screen/state');
    document.body.dataset.state = 'read ' + (await state.text()).length;
  } catch (error) {
    document.body.dataset.state = 'failed ' + error.name;
  }
  document.body.dataset.done = 'yes';
})();
</script></body></html>`;
  const server = createServer((req, res) => res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' }).end(page));
  server.listen(0, '127.0.0.1');
  await once(server, 'listening');
  return { server, port: server.address().port };
}

function pingsOf(requests) {
  return requests.filter((r) => r.url === '/entry-point/test');
}

const reportsOf = (requests) => requests.filter((r) => r.method === 'POST' && r.url === '/entry-point/json');

function parseReport(request) {
  try {
    return JSON.parse(request.body);
  } catch {
    assert.fail(`a report whose body is not JSON: ${JSON.stringify(request.body)}`);
  }
}

describe('operator page in a browser', () => {
  const useCase = 'Überweisung "Sofort"';
  const srNumber = 'SR-20417';

  let recorder;
  let foreignSite;
  let home;
  let agent;
  let browser;
  let phone;
  let page;
  let pageUrl;

  before(async () => {
    assert.ok(existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup to install the browser test's tools`);
    assert.ok(existsSync(path.join(here, 'node_modules', 'playwright-core')),
      'tests/browser/node_modules/playwright-core is missing: run scripts/setup to install it');
    assert.ok(existsSync(agentBinary), `no agent at ${agentBinary}: build the perfagent target or set PERFAGENT_BIN`);
    const { chromium } = await import('playwright-core');

    recorder = await startRecorder();
    foreignSite = await startForeignSite();
    home = await newHome();
    agent = await startAgent({ home, collectionPort: recorder.port });
    pageUrl = `http://127.0.0.1:${agent.port}/`;
    browser = await chromium.launch({ executablePath: chromiumPath, args: chromiumArgs, timeout: 60_000 });
    phone = await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true });
    page = await phone.newPage();
    await mkdir(screenshots, { recursive: true });
  });

  after(async () => {
    // Everything is torn down whatever failed; the agent's own exit status is checked last.
    let exit = null;
    try {
      if (browser) await browser.close();
    } finally {
      try {
        if (agent) exit = await stopAgent(agent, 'SIGTERM', 15_000);
      } finally {
        recorder?.close();
        foreignSite?.server.closeAllConnections();
        foreignSite?.server.close();
        if (home) await rm(home, { recursive: true, force: true });
      }
    }
    if (exit) assert.deepEqual([exit.code, exit.signal], [0, null], `the agent did not end cleanly on SIGTERM\n${agent.stderr}`);
  });

  const consoleDetail = () => 'agent stdout (last 30 lines):\n' + agent.lines.slice(-30).join('\n');

  test('the page loads with empty, labelled fields and fits a phone screen', async () => {
    const fieldsAnswered = page.waitForResponse((response) => response.url().endsWith('/screen/fields'));
    await page.goto(pageUrl);
    const fields = await fieldsAnswered;
    assert.equal(fields.status(), 200);
    // The page fills the fields once it has read the whole answer; let its tasks run before looking.
    await fields.finished();
    await page.evaluate(() => new Promise((resolve) => setTimeout(resolve, 0)));

    const useCaseField = page.getByLabel('Use case name');
    const srField = page.getByLabel('SR number');
    assert.equal(await useCaseField.inputValue(), '');
    assert.equal(await srField.inputValue(), '');
    assert.equal(await page.locator('#status').textContent(), '', 'the page reported a problem while loading');

    const layout = await page.evaluate(() => ({
      scrollWidth: document.documentElement.scrollWidth,
      innerWidth: window.innerWidth,
      innerHeight: window.innerHeight,
    }));
    assert.ok(layout.scrollWidth <= layout.innerWidth, `the page scrolls sideways on a phone: ${JSON.stringify(layout)}`);
    for (const control of [useCaseField, srField, page.getByRole('button', { name: 'Start' }), page.getByRole('button', { name: 'Stop' })]) {
      const box = await control.boundingBox();
      assert.ok(box, 'a control is not displayed');
      assert.ok(box.x >= 0 && box.x + box.width <= layout.innerWidth && box.y + box.height <= layout.innerHeight,
        `a control lies outside the phone screen: ${JSON.stringify(box)}`);
      assert.ok(box.height >= 44, `a control is too small to touch: ${JSON.stringify(box)}`);
    }
  });

  test('Start and Stop on the page run a measurement reported under the typed names', async () => {
    await page.getByLabel('Use case name').pressSequentially(useCase);
    await page.getByLabel('SR number').pressSequentially(srNumber);

    const linesBefore = agent.lines.length;
    const requestsBefore = recorder.requests.length;
    const linesSinceStart = () => agent.lines.slice(linesBefore);
    const requestsSinceStart = () => recorder.requests.slice(requestsBefore);

    await page.getByRole('button', { name: 'Start' }).click();
    await waitUntil(async () => (await page.locator('#status').textContent()) === 'Started', 'the page to show "Started"',
      consoleDetail);

    await waitUntil(() => pingsOf(requestsSinceStart()).length >= 1, 'the test ping');
    await waitUntil(() => reportsOf(requestsSinceStart()).length >= 2, 'two running reports', consoleDetail);
    const ping = pingsOf(requestsSinceStart());
    assert.equal(ping.length, 1, 'one Start sends one test ping');
    assert.equal(ping[0].method, 'GET');
    assert.equal(ping[0].body, '');

    const started = linesSinceStart();
    assert.ok(started.includes('srno  : Optional("SR-20417")'), consoleDetail());
    assert.ok(started.includes('useCase : Optional("Überweisung \\"Sofort\\"")'), consoleDetail());
    assert.equal(started.filter((line) => line.startsWith('start time : ')).length, 2,
      'the screen and its collector each print a start time');

    // The live view counts the samples and charts them as they arrive.
    const samplesShown = async () => Number(await page.locator('#mSamples').textContent()) || 0;
    await waitUntil(async () => (await samplesShown()) >= 2, 'the page to show two samples', consoleDetail);
    const firstCount = await samplesShown();
    await waitUntil(async () => (await samplesShown()) > firstCount, 'the sample count to grow', consoleDetail);
    assert.equal(await page.locator('#mOrigin').textContent(), 'this page');
    assert.equal(await page.locator('#mUseCase').textContent(), useCase);
    assert.match(await page.locator('#cpuSummary').textContent(), /^CPU: \d+ samples, average /);
    assert.match(await page.locator('#rMemoryUsed').textContent(), /\d MB$/);
    await page.screenshot({ path: path.join(screenshots, 'screen.png'), fullPage: true });
    const desktop = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    try {
      const desktopPage = await desktop.newPage();
      await desktopPage.goto(pageUrl);
      await waitUntil(async () => /^CPU: \d+ samples/.test(await desktopPage.locator('#cpuSummary').textContent()),
        'the desktop page to chart the running measurement');
      await desktopPage.screenshot({ path: path.join(screenshots, 'screen-desktop.png'), fullPage: true });
    } finally {
      await desktop.close();
    }

    const stopLine = agent.lines.length;
    await page.getByRole('button', { name: 'Stop' }).click();
    await waitUntil(async () => (await page.locator('#status').textContent()) === 'Stopped', 'the page to show "Stopped"');
    await waitUntil(() => agent.lines.slice(stopLine).includes('entered stoping'), '"entered stoping"', consoleDetail);
    await waitUntil(() => agent.lines.slice(stopLine).includes('valid object : true'), 'the final report to be valid',
      consoleDetail);

    // Every report the collector built (running ones and the final one) prints this line once; when as many
    // reports have arrived, the final one is among them.
    const built = () => linesSinceStart().filter((line) => line.startsWith('finished generating dictinary ')).length;
    await waitUntil(() => reportsOf(requestsSinceStart()).length === built(), 'every report built to arrive',
      () => `built ${built()}, arrived ${reportsOf(requestsSinceStart()).length}`);
    const arrived = reportsOf(requestsSinceStart()).length;
    await sleep(quietSpellMs);
    assert.equal(reportsOf(requestsSinceStart()).length, arrived, 'reports kept coming after Stop');
    assert.equal(built(), arrived, 'the collector kept building reports after Stop');

    const reports = reportsOf(requestsSinceStart());
    for (const request of reports) {
      assert.match(request.headers['content-type'] ?? '', /^application\/json/);
      const report = parseReport(request);
      assert.equal(report.UsecaseName, useCase);
      assert.equal(report.srNumber, srNumber);
      assert.ok(!('pagename' in report), 'a screen-started measurement has no page name');
    }
  });

  test('the page shows the agent\'s field texts and fits a desktop window', async () => {
    const desktop = await browser.newContext({ viewport: { width: 1280, height: 800 } });
    try {
      const desktopPage = await desktop.newPage();
      const fieldsAnswered = desktopPage.waitForResponse((response) => response.url().endsWith('/screen/fields'));
      await desktopPage.goto(pageUrl);
      await fieldsAnswered;
      await waitUntil(async () => (await desktopPage.getByLabel('Use case name').inputValue()) === useCase,
        'the use-case field to show the agent\'s text');
      assert.equal(await desktopPage.getByLabel('SR number').inputValue(), srNumber);
      const overflow = await desktopPage.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      assert.ok(overflow <= 0, 'the page scrolls sideways on a desktop');
    } finally {
      await desktop.close();
    }
  });

  test('a page from another origin cannot start a measurement', async () => {
    const startLines = () => agent.lines.filter((line) => line.startsWith('start time : ')).length;
    const startsBefore = startLines();
    const requestsBefore = recorder.requests.length;
    const fieldsNow = () => fetch(`${pageUrl}screen/fields`).then((response) => response.json());
    const fieldsBefore = await fieldsNow();

    const context = await browser.newContext();
    try {
      const foreign = await context.newPage();
      const agentAnswers = [];
      foreign.on('response', (response) => {
        if (response.url().endsWith('/screen/actions/start')) agentAnswers.push(response.status());
      });
      await foreign.goto(`http://127.0.0.1:${foreignSite.port}/?agent=${encodeURIComponent(pageUrl.slice(0, -1))}`);
      await foreign.waitForSelector('body[data-done]', { state: 'attached' });
      const outcome = await foreign.evaluate(() => ({ ...document.body.dataset }));
      assert.equal(outcome.json, 'failed TypeError', 'the browser sent a cross-origin JSON request to the agent');
      assert.equal(outcome.plain, 'answered opaque 0');
    assert.equal(outcome.state, 'failed TypeError', 'a page of another origin read the live view');
      await waitUntil(() => agentAnswers.length > 0, 'the agent to answer the plain-text request');
      assert.deepEqual(agentAnswers, [403]);
    } finally {
      await context.close();
    }

    // The refusal is logged, once, for the plain-text request; the JSON one never got past its preflight.
    const documents = path.join(home, 'Documents');
    const logs = (await readdir(documents)).filter((name) => name.endsWith('.log'));
    assert.equal(logs.length, 1);
    const refusals = () => readFile(path.join(documents, logs[0]), 'utf8')
      .then((log) => log.split('\n').filter((line) => line.includes('screen action rejected'))
        .map((line) => line.replace(/^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z /, '')));
    await waitUntil(async () => (await refusals()).length > 0, 'the refusal in the log');
    assert.deepEqual(await refusals(), ['perfagent: screen action rejected: 403 foreign origin']);

    // The fields are answered on the main thread after anything the refused request could have queued there.
    assert.deepEqual(await fieldsNow(), fieldsBefore, 'the refused request changed the fields');
    await sleep(quietSpellMs);
    assert.equal(startLines(), startsBefore, 'a measurement started');
    assert.deepEqual(pingsOf(recorder.requests.slice(requestsBefore)), [], 'the agent sent a test ping');
  });
});
