// The operator page in headless Chromium, driving the built agent (reports to a loopback recorder, stdout read live).
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync } from 'node:fs';
import { chromiumPath, cleanUp, expectCleanExit, logText, newHome, screenshotPath, startAgent, startRecorder,
  stopProcess, waitUntil } from '../e2e/harness.mjs';

const [useCase, srNumber] = ['Überweisung "Sofort"', 'SR-20417'];
let recorder, home, agent, browser, page, pageUrl;

before(async () => {
  assert.ok(existsSync(chromiumPath), `${chromiumPath} is missing: run scripts/setup to install the browser test's tools`);
  const { chromium } = await import('playwright-core');
  recorder = await startRecorder();
  home = await newHome();
  agent = await startAgent({ home, collectionPort: recorder.port });
  pageUrl = `http://127.0.0.1:${agent.port}/`;
  browser = await chromium.launch({ executablePath: chromiumPath, timeout: 60_000,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run', '--disable-quic'] });
  page = await (await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, isMobile: true, hasTouch: true })).newPage();
});

after(async () => {
  // Everything is torn down whatever failed; the agent's own exit is checked last.
  try { await browser?.close(); } finally {
    const exit = agent && await stopProcess(agent);
    recorder?.close();
    if (exit) await expectCleanExit(agent, exit);
    await cleanUp();
  }
});

const consoleDetail = () => 'agent stdout (last 30 lines):\n' + agent.lines.slice(-30).join('\n');
const fields = (on) => [on.getByLabel('Use case name'), on.getByLabel('SR number')];
/// No sideways scrolling, and every control inside the window (when `touch`, big enough to touch).
async function expectFits(on, touch) {
  const { scrollWidth, innerWidth, innerHeight } =
    await on.evaluate(() => ({ scrollWidth: document.documentElement.scrollWidth, innerWidth, innerHeight }));
  assert.ok(scrollWidth <= innerWidth, `the page scrolls sideways: ${scrollWidth} > ${innerWidth}`);
  for (const control of [...fields(on), on.getByRole('button', { name: 'Start' }), on.getByRole('button', { name: 'Stop' })]) {
    const box = await control.boundingBox();
    assert.ok(box && box.x >= 0 && box.x + box.width <= innerWidth && box.y + box.height <= innerHeight && (!touch || box.height >= 44),
      `outside or too small to touch: ${JSON.stringify(box)}`);
  }
}
const statusIs = (text) => waitUntil(async () => (await page.locator('#status').textContent()) === text, `"${text}"`, consoleDetail);

test('the page loads with empty fields on a phone; Start and Stop run a measurement reported under the typed names', async () => {
  const fieldsAnswered = page.waitForResponse((response) => response.url().endsWith('/screen/fields'));
  await page.goto(pageUrl);
  await (await fieldsAnswered).finished();
  await page.evaluate(() => new Promise((resolve) => setTimeout(resolve, 0)));  // the page's tasks fill the fields
  const [useCaseField, srField] = fields(page);
  assert.deepEqual([await useCaseField.inputValue(), await srField.inputValue(), await page.locator('#status').textContent()], ['', '', '']);
  await expectFits(page, true);
  await useCaseField.pressSequentially(useCase);
  await srField.pressSequentially(srNumber);
  const [from, requestsBefore] = [agent.lines.length, recorder.requests.length];
  const since = (url) => recorder.requests.slice(requestsBefore).filter((r) => r.url === url);
  const reports = () => since('/entry-point/json');

  await page.getByRole('button', { name: 'Start' }).click();
  await statusIs('Started');
  await waitUntil(() => reports().length >= 2, 'two running reports', consoleDetail);
  assert.deepEqual(since('/entry-point/test').map((r) => [r.method, r.body]), [['GET', '']], 'one Start sends one test ping');
  for (const line of ['srno  : Optional("SR-20417")', 'useCase : Optional("Überweisung \\"Sofort\\"")'])
    assert.ok(agent.lines.includes(line), consoleDetail());
  // The live view counts the samples and charts them as they arrive.
  const samplesShown = async () => Number(await page.locator('#mSamples').textContent()) || 0;
  const firstCount = await waitUntil(async () => { const n = await samplesShown(); return n >= 2 && n; }, 'two samples shown', consoleDetail);
  await waitUntil(async () => (await samplesShown()) > firstCount, 'the sample count to grow', consoleDetail);
  assert.equal(await page.locator('#mUseCase').textContent(), useCase);
  // Without a target the app figures are the agent's own, and no app chart is drawn.
  assert.deepEqual([await page.locator('#mTarget').textContent(), await page.locator('#rAppCpuLabel').textContent(),
    await page.locator('#appMemoryBlock').isHidden()], ['none', 'Agent CPU', true]);
  assert.match(await page.locator('#cpuSummary').textContent(), /^CPU: \d+ samples, average /);
  await page.screenshot({ path: screenshotPath('screen'), fullPage: true });
  // A desktop window opened now shows the agent's field texts and the running measurement.
  const other = await (await browser.newContext({ viewport: { width: 1280, height: 800 } })).newPage();
  await other.goto(pageUrl);
  await waitUntil(async () => /^CPU: \d+ samples/.test(await other.locator('#cpuSummary').textContent()), 'the desktop chart');
  assert.deepEqual(await Promise.all(fields(other).map((field) => field.inputValue())), [useCase, srNumber]);
  await expectFits(other, false);
  await other.screenshot({ path: screenshotPath('screen-desktop'), fullPage: true });
  await other.context().close();

  await page.getByRole('button', { name: 'Stop' }).click();
  await statusIs('Stopped');
  await waitUntil(() => agent.lines.slice(from).includes('valid object : true'), 'the final report to be valid', consoleDetail);
  // Every report the collector built (running ones and the final one) prints this line once.
  const built = () => agent.lines.slice(from).filter((line) => line.startsWith('finished generating dictinary ')).length;
  await waitUntil(() => reports().length === built(), 'every report built to arrive', () => `built ${built()}, arrived ${reports().length}`);
  assert.deepEqual(reports().map((r) => JSON.parse(r.body)).map((r) => [r.UsecaseName, r.srNumber, 'pagename' in r]),
    reports().map(() => [useCase, srNumber, false]));
});

test('a measurement of a target names it and charts its series live', async () => {
  const desktop = await (await browser.newContext({ viewport: { width: 1280, height: 900 } })).newPage();
  await desktop.goto(pageUrl);
  await desktop.getByRole('textbox', { name: 'Target process' }).fill(String(process.pid));  // this test's own process
  await desktop.getByRole('button', { name: 'Start' }).click();
  await waitUntil(async () => /^App memory: [2-9] samples/.test(await desktop.locator('#appMemorySummary').textContent()),
    'two samples of the app', consoleDetail);
  assert.match(await desktop.locator('#mTarget').textContent(), new RegExp(`^\\S+ \\(pid ${process.pid}\\)$`));
  assert.deepEqual([await desktop.locator('#rAppCpuLabel').textContent(), await desktop.locator('#rAppMemoryLabel').textContent()],
    ['App CPU', 'App memory']);
  assert.equal(await desktop.locator('#cpuChart .u-legend .u-series').count(), 3, 'samples, CPU and App CPU');
  assert.match(await desktop.locator('#cpuSummary').textContent(), / App CPU: \d+ samples/);
  await desktop.screenshot({ path: screenshotPath('screen-target'), fullPage: true });
  await desktop.getByRole('button', { name: 'Stop' }).click();
  await waitUntil(async () => (await desktop.locator('#status').textContent()) === 'Stopped', 'Stopped', consoleDetail);
  await desktop.context().close();
});

test('a page from another origin cannot start a measurement nor read the live view', async () => {
  const fieldsNow = () => fetch(pageUrl + 'screen/fields').then((response) => response.text());
  const fieldsBefore = await fieldsNow();
  // The recorder's origin stands in for a web site elsewhere on this machine.
  const foreign = await (await browser.newContext()).newPage();
  await foreign.goto(`http://127.0.0.1:${recorder.port}/elsewhere`);
  const outcome = await foreign.evaluate(async (agentUrl) => {
    const attempt = (init) => fetch(agentUrl + 'screen/actions/start', { method: 'POST', body: '{"useCaseName":"intruder"}', ...init })
      .then((response) => `answered ${response.type} ${response.status}`, (error) => `failed ${error.name}`);
    return [
      // A JSON request needs the agent's consent first (a CORS preflight).
      await attempt({ headers: { 'Content-Type': 'application/json' } }),
      // A plain-text request goes out without asking; only the agent can refuse it.
      await attempt({ mode: 'no-cors', headers: { 'Content-Type': 'text/plain' } }),
      await fetch(agentUrl + 'screen/state').then((r) => r.text()).then((text) => `read ${text.length}`, (error) => `failed ${error.name}`),
    ];
  }, pageUrl);
  assert.deepEqual(outcome, ['failed TypeError', 'answered opaque 0', 'failed TypeError']);
  await foreign.context().close();
  // The refusal is logged once, for the plain-text request; the JSON one never got past its preflight.
  const refusals = async () => (await logText(home)).split('\n').filter((line) => line.includes('screen action rejected'));
  await waitUntil(async () => (await refusals()).length > 0, 'the refusal in the log');
  assert.deepEqual((await refusals()).map((line) => line.replace(/^\S+ /, '')), ['perfagent: screen action rejected: 403 foreign origin']);
  // A start would have set the fields; they are answered on the main thread after anything it queued there.
  assert.equal(await fieldsNow(), fieldsBefore, 'the refused request started a measurement');
});
