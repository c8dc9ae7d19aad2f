// The built agent end to end: launched on a home of its own, reporting to a loopback recorder, driven by
// pushes over its listener and by signals, its console read live from stdout.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdir, readdir, rm, stat, writeFile } from 'node:fs/promises';
import path from 'node:path';
import {
  agentBinary, deviceToken, expectCleanExit, launched, logText, newHome, post, printedReport, push, sleep, startAgent, startRecorder,
  stopAgent, uploadGraceMs, waitForLine, waitUntil,
} from './harness.mjs';

// How long past the upload grace an ending may take (process exit, a slow sanitizer build).
const endMarginMs = 3_000;
const homes = [];
let recorder;

before(async () => {
  assert.ok(existsSync(agentBinary), `no agent at ${agentBinary}: build the perfagent target or set PERFAGENT_BIN`);
  recorder = await startRecorder();
});
after(async () => {
  recorder?.close();
  await Promise.all(homes.map((home) => rm(home, { recursive: true, force: true })));
});

async function agentOnNewHome(options = {}) {
  const home = await newHome();
  homes.push(home);
  return startAgent({ home, collectionPort: recorder.port, ...options });
}

const canonical = (value) => JSON.stringify(value, (key, v) =>
  v && typeof v === 'object' ? Object.fromEntries(Object.entries(v).sort(([a], [b]) => a.localeCompare(b))) : v);

/// Every report the console showed as sent since line `from` arrived, exactly as shown, and nothing else did.
async function expectReportsAsPrinted(agent, from, reportsBefore) {
  const printed = () => agent.lines.slice(from).flatMap((line, i, all) => (line === '-------final JSon--------' ? [all[i + 1]] : []))
    .filter((line) => line !== undefined);
  await waitUntil(() => recorder.reports().length - reportsBefore >= printed().length, 'the printed reports to arrive');
  await sleep(1500);  // nothing more once the measurement has stopped
  const arrived = recorder.reports().slice(reportsBefore);
  for (const request of arrived) assert.match(request.headers['content-type'], /^application\/json/);
  assert.deepEqual(arrived.map((r) => canonical(JSON.parse(r.body))).sort(),
    printed().map((line) => canonical(printedReport(line))).sort());
  return arrived.map((r) => JSON.parse(r.body));
}

const samples = (report) => Object.keys(report.CPU).length;
const instant = (line) => Number(line.slice(line.lastIndexOf(' ') + 1));

describe('launch', () => {
  test('prints, keeps and uploads one device token, the same at the next launch', async () => {
    const first = await launched(await agentOnNewHome());
    const token = await deviceToken(first.home);
    assert.match(token, /^[0-9a-f]{64}$/);
    assert.equal((await stat(path.join(first.home, 'Library', 'device-token'))).mode & 0o777, 0o600);
    assert.ok(first.lines.includes(`DEVICE TOKEN = ${token}`) && first.lines.includes(`Vellimora = ${token}`));
    assert.ok(first.lines.includes('permission granted: true'));
    await expectCleanExit(first, await stopAgent(first));

    const again = await launched(await startAgent({ home: first.home, collectionPort: recorder.port }));
    assert.ok(again.lines.includes(`DEVICE TOKEN = ${token}`));
    await expectCleanExit(again, await stopAgent(again));
    const uploads = recorder.requests.filter((r) => r.url === '/entry-point/devicetokentest');
    const ours = uploads.filter((r) => JSON.parse(r.body).DeviceToken === token);
    assert.equal(ours.length, 2, 'one upload per launch');
    assert.equal(ours[0].method, 'POST');
    assert.equal(ours[0].headers['content-type'], undefined, 'the token upload adds no header');
    assert.deepEqual(Object.keys(JSON.parse(ours[0].body)), ['DeviceToken']);
  });

  test('standard error goes to a private log named after the launch, older logs beyond --keep-logs go', async () => {
    const home = await newHome();
    homes.push(home);
    const documents = path.join(home, 'Documents');
    const old = ['2020-01-01 00:00:01 +0000.log', '2020-01-02 00:00:01 +0000.log', '2020-01-03 00:00:01 +0000.log'];
    await mkdir(documents, { recursive: true, mode: 0o700 });
    for (const name of [...old, 'notes.txt']) await writeFile(path.join(documents, name), 'x\n');
    const before = Math.floor(Date.now() / 1000);
    const agent = await launched(await startAgent({ home, collectionPort: recorder.port, args: ['--keep-logs', '2'],
      listenHost: 'localhost' }));  // localhost is resolved, to the IPv4 loopback the harness waits on
    const after = Math.floor(Date.now() / 1000);
    const names = (await readdir(documents)).filter((name) => !old.includes(name) && name !== 'notes.txt');
    const launchNames = [];
    for (let s = before; s <= after; ++s) launchNames.push(new Date(s * 1000).toISOString().replace('T', ' ').slice(0, 19) + ' +0000.log');
    assert.equal(names.length, 1);
    assert.ok(launchNames.includes(names[0]), `${names[0]} is not the launch instant in UTC`);
    assert.deepEqual((await readdir(documents)).filter((name) => name.startsWith('20')).sort(), [old[2], names[0]]);
    assert.ok(existsSync(path.join(documents, 'notes.txt')), 'only log files are trimmed');
    await rm(path.join(documents, old[2]));
    // The lines written before the launch moved standard error are in the log too.
    const launchLog = await logText(home);
    assert.ok(launchLog.includes(`listening on http://127.0.0.1:${agent.port}`) &&
      launchLog.includes(`push token in ${path.join(home, 'Library', 'device-token')}`), launchLog);
    assert.equal((await stat(documents)).mode & 0o777, 0o700);
    assert.equal((await stat(path.join(documents, names[0]))).mode & 0o777, 0o600);

    // A refused push is one of our diagnostics, written after the launch moved standard error.
    assert.equal(await push(agent, 'f'.repeat(64), 'start'), 401);
    await waitUntil(async () => (await logText(agent.home)).includes('perfagent: push rejected: 401'), 'the refusal in the log');
    const log = await logText(agent.home);
    assert.doesNotMatch(log, /testworkinglog|DEVICE TOKEN/);
    assert.doesNotMatch(agent.stderr, /push rejected/);
    await expectCleanExit(agent, await stopAgent(agent));
  });

  test('bad options end the program with status 2 before anything is made', async () => {
    const home = path.join(await newHome(), 'home');
    homes.push(path.dirname(home));
    for (const args of [['--listen', 'nonsense'], ['--collection-server', ':0'], ['--bogus'],
      ['--listen', 'nowhere.invalid:8090'], ['--collection-server', 'collector.invalid'], ['--console', 'loud']]) {
      const run = spawnSync(agentBinary, [...args, '--home', home], { encoding: 'utf8', timeout: 30_000 });
      assert.equal(run.status, 2, `${args}: ${run.stderr}`);
      assert.ok(run.stderr.startsWith('perfagent: ') && run.stderr.includes(args[0]), run.stderr);
      assert.equal(run.stdout, '');
      assert.ok(!existsSync(home), 'nothing is made before the options are understood');
    }
  });
});

describe('measurements', () => {
  test('start and stop pushes: a report every second and a final one, each as the console showed it', async () => {
    const agent = await launched(await agentOnNewHome());
    const token = await deviceToken(agent.home);
    const from = agent.lines.length;
    const reportsBefore = recorder.reports().length;
    assert.equal(await push(agent, token, 'start'), 202);
    const startLine = await waitForLine(agent, /^start time : \d+\.0$/, from);
    await waitUntil(() => recorder.reports().length - reportsBefore >= 3, 'three running reports');
    assert.equal(await push(agent, token, 'stop'), 202);
    const stopLine = await waitForLine(agent, /^stop time : \d+\.0$/, from);
    await waitForLine(agent, 'valid object : true', stopLine);

    const reports = await expectReportsAsPrinted(agent, from, reportsBefore);
    const counts = reports.map(samples).sort((a, b) => a - b);
    const final = reports.find((r) => r.totalduration === instant(agent.lines[stopLine]) - instant(agent.lines[startLine]));
    assert.ok(final, 'no report lasts from the printed start to the printed stop');
    assert.equal(samples(final), counts.at(-1), 'the final report carries every sample');
    for (const report of reports) assert.deepEqual([report.UsecaseName, report.srNumber, report.pagename], ['login', '42', 'home']);
    await expectCleanExit(agent, await stopAgent(agent));
  });

  test('overall pushes: the background loop reports, and its final report lasts from start to stop', async () => {
    const agent = await launched(await agentOnNewHome());
    const token = await deviceToken(agent.home);
    const from = agent.lines.length;
    const reportsBefore = recorder.reports().length;
    assert.equal(await push(agent, token, 'startoverall'), 202);
    const startLine = await waitForLine(agent, /^start time : \d+\.0$/, from);
    await waitUntil(() => recorder.reports().length - reportsBefore >= 3, 'three running reports');
    assert.equal(await push(agent, token, 'stopoverall'), 202);
    const stopping = await waitForLine(agent, 'entered stoping', from);
    await waitForLine(agent, /^valid object : /, stopping);

    const reports = await expectReportsAsPrinted(agent, from, reportsBefore);
    const finals = reports.filter((r) => 'UsecaseName' in r);
    assert.equal(finals.length, 1, 'running reports of the loop carry no names');
    assert.equal(finals[0].totalduration, instant(agent.lines[stopping - 1]) - instant(agent.lines[startLine]));
    assert.ok(finals[0].totalduration > 2000);
    await expectCleanExit(agent, await stopAgent(agent));
  });
});

describe('answers and console volume', () => {
  const answer = async (agent, token, payload) => {
    const response = await fetch(`http://127.0.0.1:${agent.port}/remote-notification`, { method: 'POST',
      headers: { 'Content-Type': 'application/json', Authorization: `Bearer ${token}` }, body: JSON.stringify(payload) });
    return [response.status, await response.text()];
  };

  test('a push is answered with what the agent does; a damaged token store refuses every push and says so', async () => {
    const agent = await launched(await agentOnNewHome());
    const token = await deviceToken(agent.home);
    const names = { srNumber: '42', usecase: 'login' };
    for (const [payload, body] of [
      [{ aps: { alert: 'startoverall' }, ...names }, '{"action":"startoverall"}'],
      [{ aps: { alert: 'stopoverall' }, ...names }, '{"action":"stopoverall"}'],
      [{ aps: { alert: 'start' }, usecase: 'login' }, '{"action":"none","reason":"no \\"srNumber\\""}'],
    ]) assert.deepEqual(await answer(agent, token, payload), [202, body]);
    await expectCleanExit(agent, await stopAgent(agent));

    await writeFile(path.join(agent.home, 'Library', 'device-token'), 'damaged\n');
    const damaged = await startAgent({ home: agent.home, collectionPort: recorder.port });
    const [status, text] = await answer(damaged, token, { aps: { alert: 'start' }, ...names });
    assert.equal(status, 401);
    assert.match(text, /token store is damaged: delete Library\/device-token .* restart the agent/);
    await expectCleanExit(damaged, await stopAgent(damaged));
  });

  test('--console brief: one line per sample instead of readouts and reports, which go out as in full', async () => {
    const agent = await launched(await agentOnNewHome({ args: ['--console', 'brief'] }));
    const token = await deviceToken(agent.home);
    const from = agent.lines.length;
    const reportsBefore = recorder.reports().length;
    assert.equal(await push(agent, token, 'start'), 202);
    await waitUntil(() => recorder.reports().length - reportsBefore >= 3, 'three running reports');
    assert.equal(await push(agent, token, 'stop'), 202);
    await waitForLine(agent, 'hellow world', await waitForLine(agent, 'entered stoping', from));
    await sleep(1500);  // the final report's upload
    const reports = recorder.reports().slice(reportsBefore).map((r) => r.body);
    const ticks = agent.lines.slice(from).map((line) =>
      /^sample (\d+): system CPU [\d.]+ %, memory used \d+ MB free \d+ MB, report (\d+) bytes, last upload ok$/.exec(line))
      .filter(Boolean);
    assert.ok(ticks.length >= 3);
    assert.deepEqual(ticks.map((m) => Number(m[1])), ticks.map((m, i) => i + 1), 'one line per sample, numbered');
    // Each tick's running report arrived as the line sized it (a newer one may have replaced a waiting one).
    const sizes = new Set(reports.map((body) => Buffer.byteLength(body)));
    assert.ok(ticks.some((m) => sizes.has(Number(m[2]))));
    for (const body of reports) assert.deepEqual(Object.keys(JSON.parse(body)).filter((k) => !/^(UsecaseName|srNumber|pagename)$/.test(k)),
      ['CPU', 'MemoryUsed', 'MemoryFree', 'MemoryCompressed', 'averagecpu', 'averagememoryfree', 'averagememorycompressed',
        'averagememoryused', 'maxmemoryfree', 'maxmemorycompressed', 'maxmemoryused', 'maxcpu', 'totalduration']);
    const lines = agent.lines.slice(from);
    assert.deepEqual(lines.filter((l) => /^(System CPU|CPU DICT|Testing cpu|finished generating|-------final JSon|valid object)/.test(l)), []);
    assert.equal(lines.length, ticks.length + 7 + 9, lines.join('\n'));  // and the echoes of start (7 lines) and stop (9)
    await expectCleanExit(agent, await stopAgent(agent));
  });
});

describe('signals', () => {
  test('SIGUSR1 restarts the audio; SIGCONT without a terminal is the foreground', async () => {
    const agent = await launched(await agentOnNewHome());
    let from = agent.lines.length;
    agent.child.kill('SIGUSR1');
    await waitForLine(agent, 'play audio', from);
    from = agent.lines.length;
    agent.child.kill('SIGCONT');
    await waitForLine(agent, 'enter foreground', from);
    await expectCleanExit(agent, await stopAgent(agent));
  });

  // Each termination signal at three moments: before the main loop runs, during a measurement, and while an
  // upload hangs on a collection server that never answers (requests time out only after a minute).
  for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
    test(`${signal} ends the agent within the upload grace at any moment`, async () => {
      for (const moment of ['startup', 'measurement', 'hung upload']) {
        recorder.silent = moment === 'hung upload';
        try {
          const requestsBefore = recorder.requests.length;
          const agent = await agentOnNewHome();
          if (moment !== 'startup') {
            await launched(agent);
            const reportsBefore = recorder.reports().length;
            assert.equal(await push(agent, await deviceToken(agent.home), 'start'), 202);
            // Requests go out one at a time: on a silent server the launch's token upload hangs first.
            if (moment === 'hung upload') await waitUntil(() => recorder.requests.length > requestsBefore, 'an upload hanging');
            else await waitUntil(() => recorder.reports().length > reportsBefore, 'a report on its way');
          }
          const exit = await stopAgent(agent, signal);
          await expectCleanExit(agent, exit);
          assert.ok(agent.lines.includes('app terminated'), moment);
          assert.ok(exit.ms < uploadGraceMs + endMarginMs, `${moment}: took ${exit.ms} ms to end`);
        } finally {
          recorder.silent = false;
        }
      }
    });
  }
});

describe('console', () => {
  // Each push prints its payload; big ones fill a pipe nobody reads within a few dozen.
  const bigPush = (command) => JSON.stringify({ aps: { alert: command }, srNumber: '42', usecase: 'login', filler: 'x'.repeat(3800) });

  test('a stdout nobody reads stops neither reports nor termination, and the dropped lines are counted', async () => {
    const agent = await agentOnNewHome({ stdout: 'stall' });
    const token = await waitUntil(() => deviceToken(agent.home).catch(() => null), 'the token');
    const auth = { Authorization: `Bearer ${token}` };
    assert.equal(await post(agent.port, '/remote-notification', bigPush('start'), auth), 202);
    for (let i = 0; i < 60; ++i) assert.equal(await post(agent.port, '/remote-notification', bigPush('none'), auth), 202);
    const count = recorder.reports().length;
    await waitUntil(() => recorder.reports().length >= count + 3, 'reports to go on');
    const exit = await stopAgent(agent);
    await expectCleanExit(agent, exit);
    assert.ok(exit.ms < uploadGraceMs + endMarginMs, `took ${exit.ms} ms to end`);
    assert.match(await logText(agent.home), /\d+ more console lines dropped/);
  });

  test('a closed stdout does not end the agent; it measures and terminates as usual', async () => {
    const agent = await agentOnNewHome({ stdout: 'closed' });
    const token = await waitUntil(() => deviceToken(agent.home).catch(() => null), 'the token');
    const count = recorder.reports().length;
    assert.equal(await push(agent, token, 'start'), 202);
    await waitUntil(() => recorder.reports().length >= count + 2, 'reports');
    const exit = await stopAgent(agent);
    await expectCleanExit(agent, exit);
    assert.ok(exit.ms < uploadGraceMs + endMarginMs, `took ${exit.ms} ms to end`);
  });
});
