// The built agent end to end: its own home, a loopback recorder, pushes and signals, stdout read live.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { existsSync } from 'node:fs';
import { mkdir, readdir, stat, writeFile } from 'node:fs/promises';
import path from 'node:path';
import { agentBinary, cleanUp, deviceToken, endLimitMs, expectCleanExit, launched, logText, newHome, printedReports, push,
  sleep, startAgent, startRecorder, stopProcess, waitForLine, waitUntil } from './harness.mjs';

let recorder;
before(async () => { recorder = await startRecorder(); });
after(() => { recorder?.close(); return cleanUp(); });

const agentOn = async (home, options = {}) => startAgent({ home: home ?? await newHome(), collectionPort: recorder.port, ...options });
/// An agent on a home of its own, launched, with its token.
const tokenAgent = (options) => agentOn(undefined, options).then(launched).then(async (agent) => [agent, await deviceToken(agent.home)]);
// Key order aside, every number exactly as printed.
const canonical = (value) => JSON.stringify(value, (key, v) =>
  v && typeof v === 'object' ? Object.fromEntries(Object.entries(v).sort(([x], [y]) => x.localeCompare(y))) : v);
const samples = (report) => Object.keys(report.CPU).length;
const reportsFrom = (count = recorder.reports().length) => () => recorder.reports().slice(count);

test('one device token kept across launches; a private log per launch, older ones trimmed; refusals logged', async () => {
  const home = await newHome();
  const documents = path.join(home, 'Documents');
  const old = ['2020-01-01 00:00:01 +0000.log', '2020-01-02 00:00:01 +0000.log', '2020-01-03 00:00:01 +0000.log'];
  await mkdir(documents, { recursive: true, mode: 0o700 });
  for (const name of [...old, 'notes.txt']) await writeFile(path.join(documents, name), 'x\n');
  // localhost is resolved, to the IPv4 loopback the harness waits on.
  const first = await launched(await agentOn(home, { args: ['--keep-logs', '2'], listenHost: 'localhost' }));
  const token = await deviceToken(home);
  for (const line of [`DEVICE TOKEN = ${token}`, `Vellimora = ${token}`, 'permission granted: true']) assert.ok(first.lines.includes(line), line);
  // Only log files beyond --keep-logs go: the newest old one and this launch's stay.
  const [kept, launchLog, notes, ...more] = (await readdir(documents)).sort();
  assert.deepEqual([kept, notes, more], [old[2], 'notes.txt', []]);
  assert.deepEqual([(await stat(documents)).mode & 0o777, (await stat(path.join(documents, launchLog))).mode & 0o777], [0o700, 0o600]);
  // The lines written before the launch moved standard error are in the log too, and so are refusals.
  assert.equal((await push(first, 'f'.repeat(64), 'start')).status, 401);
  await waitUntil(async () => (await logText(home)).includes('perfagent: push rejected: 401'), 'the refusal in the log');
  const log = await logText(home);
  assert.ok(log.includes(`listening on http://127.0.0.1:${first.port}`) && log.includes(`push token in ${path.join(home, 'Library', 'device-token')}`)
    && !/testworkinglog|DEVICE TOKEN/.test(log), log);
  assert.doesNotMatch(first.stderr, /push rejected/);
  await expectCleanExit(first, await stopProcess(first));

  const again = await launched(await agentOn(home));
  assert.ok(again.lines.includes(`DEVICE TOKEN = ${token}`));
  await expectCleanExit(again, await stopProcess(again));
  // One upload per launch (the exact request is the collection client's own test).
  assert.equal(recorder.requests.filter((r) => r.url === '/entry-point/devicetokentest' && JSON.parse(r.body).DeviceToken === token).length, 2);

  // A damaged token store refuses every push and says what to do.
  await writeFile(path.join(home, 'Library', 'device-token'), 'damaged\n');
  const damaged = await agentOn(home);
  const { status, body } = await push(damaged, token, 'start');
  assert.deepEqual([status, /token store is damaged: delete Library\/device-token .* restart the agent/.test(body)], [401, true]);
  await expectCleanExit(damaged, await stopProcess(damaged));
});

// Started with stderr closed, nothing the agent opens may land on descriptor 2, which the log then replaces.
test('with stderr closed the log works and host figures are read; a --target not running is a warning', async () => {
  const home = await newHome();
  const agent = await agentOn(home, { closedStderr: true, args: ['--console', 'brief', '--target', 'pa-nosuchproc'] });
  const warning = 'target pa-nosuchproc: no such process; starts that measure it are refused until it can be';
  await waitForLine(agent, `warning: ${warning}`);
  const token = await waitUntil(() => deviceToken(home).catch(() => null), 'the token');
  assert.equal((await push(agent, token, 'start')).status, 422);
  // The push's own target (the agent itself) comes before the option.
  assert.equal((await push(agent, token, 'start', { target: String(agent.child.pid) })).status, 202);
  const from = await waitForLine(agent, 'hellow world');
  const samples = () => agent.lines.slice(from).filter((line) => line.startsWith('sample '));
  await waitUntil(() => samples().length >= 3, 'three samples');
  // Every host figure read: CPU above 0 at least once, memory in every sample.
  const figures = samples().map((line) => /system CPU ([\d.]+) %, memory used (\d+) MB free (\d+) MB/.exec(line)?.slice(1).map(Number));
  assert.ok(figures.some((f) => f?.[0] > 0) && figures.every((f) => f?.[1] > 0 && f[2] > 0), samples().join('\n'));
  assert.equal((await push(agent, token, 'stop')).status, 202);
  await expectCleanExit(agent, await stopProcess(agent));
  assert.match(await logText(home), new RegExp(`perfagent: warning: ${warning}`));
});

test('bad options end the program with status 2 before anything is made', async () => {
  const home = path.join(await newHome(), 'home');
  for (const args of [['--listen', 'nonsense'], ['--collection-server', ':0'], ['--bogus'],
    ['--listen', 'nowhere.invalid:8090'], ['--collection-server', 'collector.invalid'], ['--console', 'loud'], ['--keep-logs', '3x'], ['--metrics', 'net,cpu']]) {
    const run = spawnSync(agentBinary, [...args, '--home', home], { encoding: 'utf8', timeout: 30_000 });
    assert.deepEqual([run.status, run.stdout, run.stderr.startsWith(`perfagent: `), run.stderr.includes(args[0]), existsSync(home)],
      [2, '', true, true, false], `${args}: ${run.stderr}`);
  }
});

// A measurement per console mode and pair of commands, each on an agent of its own.
for (const [mode, start, stop] of [['full', 'start', 'stop'], ['full', 'startoverall', 'stopoverall'], ['brief', 'start', 'stop']]) {
  test(`--console ${mode}: ${start} and ${stop} are answered with the action; every report goes out as the console showed it`, async () => {
    const [agent, token] = await tokenAgent({ args: ['--console', mode] });
    const [from, arrived] = [agent.lines.length, reportsFrom()];
    assert.equal((await push(agent, token, start)).body, `{"action":"${start}"}`);
    await waitUntil(() => arrived().length >= 3, 'three running reports');
    assert.equal((await push(agent, token, stop)).body, `{"action":"${stop}"}`);
    await waitForLine(agent, mode === 'brief' ? 'hellow world' : 'valid object : true', await waitForLine(agent, 'entered stoping', from));
    await waitUntil(() => arrived().length >= printedReports(agent, from).length, 'the printed reports');
    await sleep(1500);  // the final report's upload; nothing more once the measurement has stopped
    const reports = arrived().map((r) => JSON.parse(r.body));
    const lines = agent.lines.slice(from);
    if (mode === 'full') {
      assert.deepEqual(reports.map(canonical).sort(), printedReports(agent, from).map((text) => canonical(JSON.parse(text))).sort());
      const at = (pattern) => Number(lines.find((line) => pattern.test(line)).split(' ').at(-1));  // the printed instant
      const final = reports.find((r) => r.totalduration === at(/^stop time : \d+\.0$/) - at(/^start time : \d+\.0$/));
      assert.ok(final && final.totalduration > 2000, 'no report lasts from the printed start to the printed stop');
      assert.equal(samples(final), Math.max(...reports.map(samples)), 'the final report carries every sample');
      // The background loop's running reports carry no names.
      const named = reports.filter((r) => 'UsecaseName' in r);
      assert.deepEqual(named.length, start === 'start' ? reports.length : 1);
      for (const r of named) assert.deepEqual([r.UsecaseName, r.srNumber], ['login', '42']);
    } else {
      // Brief: one line per sample instead of readouts and reports, which go out as in full.
      const ticks = lines.map((line) =>
        /^sample (\d+): system CPU [\d.]+ %, memory used \d+ MB free \d+ MB, report (\d+) bytes, last upload ok$/.exec(line)).filter(Boolean);
      assert.ok(ticks.length >= 3);
      assert.deepEqual(ticks.map((m) => Number(m[1])), ticks.map((m, i) => i + 1), 'one line per sample, numbered');
      // Each tick's running report arrived as the line sized it (a newer one may have replaced a waiting one).
      assert.ok(ticks.some((m) => arrived().some((r) => Buffer.byteLength(r.body) === Number(m[2]))));
      for (const r of reports) assert.ok(['CPU', 'MemoryFree', 'averagecpu', 'maxcpu', 'totalduration'].every((k) => k in r));
      assert.equal(lines.length, ticks.length + 7 + 9, lines.join('\n'));  // and the echoes of start (7 lines) and stop (9)
    }
    await expectCleanExit(agent, await stopProcess(agent));
  });
}

// Termination before the main loop runs, during a measurement, while an upload hangs on a silent server (requests time out
// after a minute), and with a stdout that takes no more lines (each push prints its payload: big ones fill an unread pipe).
for (const [signal, moment, stdout = 'read'] of [['SIGHUP', 'startup'], ['SIGINT', 'measurement'], ['SIGTERM', 'hung upload'],
  ['SIGINT', 'hung upload'], ['SIGTERM', 'measurement', 'stall'], ['SIGTERM', 'measurement', 'closed']]) {
  test(`${signal} at ${moment} with a ${stdout} stdout ends the agent within the upload grace`, async () => {
    recorder.silent = moment === 'hung upload';  // every row sets it
    const requestsBefore = recorder.requests.length;
    const agent = await agentOn(undefined, { stdout });
    const arrived = reportsFrom();
    if (stdout !== 'read') {
      const token = await waitUntil(() => deviceToken(agent.home).catch(() => null), 'the token');
      for (let i = 0; i < 60; ++i) assert.equal((await push(agent, token, i ? 'none' : 'start', { filler: 'x'.repeat(3800) })).status, 202);
      const later = reportsFrom();  // with the pipe full
      await waitUntil(() => later().length >= 2, 'reports to go on');
    } else if (moment !== 'startup') {
      assert.equal((await push(await launched(agent), await deviceToken(agent.home), 'start')).status, 202);
      // Requests go out one at a time: on a silent server the launch's token upload hangs first.
      if (moment === 'hung upload') await waitUntil(() => recorder.requests.length > requestsBefore, 'an upload hanging');
      else await waitUntil(() => arrived().length, 'a report on its way');
      // SIGUSR1 restarts the audio; SIGCONT without a terminal is the foreground.
      for (const [other, line] of [['SIGUSR1', 'play audio'], ['SIGCONT', 'enter foreground']]) {
        const from = agent.lines.length;
        agent.child.kill(other);
        await waitForLine(agent, line, from);
      }
    }
    const exit = await stopProcess(agent, signal);
    await expectCleanExit(agent, exit);
    assert.ok(exit.ms < endLimitMs, `took ${exit.ms} ms to end`);
    if (stdout === 'read') assert.ok(agent.lines.includes('app terminated'));
    if (stdout === 'stall') assert.match(await logText(agent.home), /\d+ more console lines dropped/);
  });
}
