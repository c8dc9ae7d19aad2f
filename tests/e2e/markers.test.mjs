// Markers end to end: the real agent marks a measurement by push and from its page, the real server keeps the
// markers at their samples and gives them back in the run's API and CSV, with each sample's clock time.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  cleanUp, deviceToken, fetchText, launched, newHome, printedReports, push, startAgent, startServer, waitForLine, waitUntil,
} from './harness.mjs';

after(cleanUp);

test('three marks, two by push and one from the page, land on their samples in the reports, the API and the CSV', async () => {
  const server = await startServer(await newHome());
  const agent = await launched(await startAgent({ home: await newHome(), collectionPort: server.port }));
  const token = await deviceToken(agent.home);
  const markByPush = (label) => push(agent, token, 'mark', { label });
  const markFromPage = (label) => fetchText(agent.port, '/screen/actions/mark', {
    method: 'POST', body: JSON.stringify({ label }), headers: { 'Content-Type': 'application/json' } });
  // The sample a mark landed on, as the agent said it.
  const markedSample = async (label, from) =>
    Number(agent.lines[await waitForLine(agent, new RegExp(`^mark : ${label.replace(/[\\^$.*+?()[\]{}|]/g, '\\$&')}, push sample \\d+$`), from)]
      .match(/sample (\d+)$/)[1]);
  const reportsAfter = (from, count) => waitUntil(() => printedReports(agent, from).length >= count && printedReports(agent, from), 'reports');

  assert.deepEqual(JSON.parse((await markByPush('too early')).body), { action: 'none', reason: 'no measurement running' });
  const bad = await markFromPage('x'.repeat(129));
  assert.deepEqual([bad.status, bad.body], [400, 'the label is longer than 128 bytes\n']);

  const start = agent.lines.length;
  assert.equal((await push(agent, token, 'start')).status, 202);
  const unmarked = await reportsAfter(start, 2);
  const labels = ['login tapped', 'list, "scrolled"', 'checkout'];
  const samples = [];
  let from = agent.lines.length;
  for (const [i, label] of labels.entries()) {
    const answer = await (i === 1 ? markFromPage : markByPush)(label);
    assert.deepEqual([answer.status, JSON.parse(answer.body)], [202, { action: 'mark', measurements: ['push'] }]);
    samples.push(await markedSample(label, from));
    from = agent.lines.length;
    await reportsAfter(from, 2);
  }
  assert.equal((await push(agent, token, 'stop')).status, 202);
  await waitForLine(agent, 'valid object : true', await waitForLine(agent, /^stop time : /, from));

  // Reports carry the key from the mark on, and the samples counted up in between.
  assert.ok(unmarked.every((text) => !('markers' in JSON.parse(text))), unmarked[0]);
  assert.ok(samples[0] > 2 && samples[1] > samples[0] && samples[2] > samples[1], String(samples));
  const final = JSON.parse(printedReports(agent, start).at(-1));
  const expected = Object.fromEntries(samples.map((n, i) => [`${n}s`, labels[i]]));
  assert.deepEqual(final.markers, expected);
  assert.equal(Object.keys(final).at(-1), 'markers');

  // The server keeps them at their samples, and dates every sample.
  const run = await waitUntil(async () => {
    const { runs } = JSON.parse((await fetchText(server.port, '/api/runs?usecase=login')).body);
    if (runs.length !== 1) return null;
    const detail = JSON.parse((await fetchText(server.port, `/api/runs/${runs[0].id}`)).body);
    return detail.samples === Object.keys(final.CPU).length && detail.markers.length === 3 && detail;
  }, 'the run with its markers');
  assert.deepEqual(run.markers, samples.map((sample, i) => ({ sample, label: labels[i] })));
  const firstSample = Date.parse(run.firstSample);
  assert.ok(Math.abs(firstSample - Date.parse(run.started)) < 3000, `${run.firstSample} against ${run.started}`);

  const [header, ...rows] = (await fetchText(server.port, `/api/runs/${run.id}/samples.csv`)).body.trim().split('\n');
  assert.equal(header, 'sample,time,elapsed_s,CPU,MemoryUsed,MemoryFree,MemoryCompressed,marker');
  assert.equal(rows.length, run.samples);
  for (const [i, row] of rows.entries()) {
    const [sample, time] = row.split(',');
    assert.equal(Number(sample), i + 1);
    assert.equal(time, new Date(firstSample + i * 1000).toISOString());
  }
  const marked = rows.filter((row) => !row.endsWith(','));
  assert.deepEqual(marked.map((row) => Number(row.split(',')[0])), samples);
  assert.ok(marked[0].endsWith(',login tapped') && marked[1].endsWith(',"list, ""scrolled"""'), marked.join('\n'));

  // A verdict between markers the run does not have says so.
  const verdict = await fetchText(server.port, `/api/runs/${run.id}/verdict?from=nosuch`);
  assert.deepEqual([verdict.status, verdict.body.trim()], [400, `run ${run.id} has no marker "nosuch"`]);
});
