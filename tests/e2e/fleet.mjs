// Simulated agents for the proxy test and bench/fleet: each on a loopback address of its own, one measurement
// each, a running report a second carrying every sample so far, then a final report; and the check that the
// server stored what it acknowledged.
import { Agent, request } from 'node:http';
import { setTimeout as sleep } from 'node:timers/promises';

/// Agent i's address: 127.0.0.10 … 127.0.0.209, then on in 127.0.1.x and so on (127.0.0.1 stays the proxy's).
export const fleetAddress = (i) => `127.0.${Math.floor(i / 200)}.${10 + (i % 200)}`;

/// Sample n of agent i: CPU, MemoryUsed, MemoryFree, MemoryCompressed, exact in binary so they compare exactly.
export const sampleValues = (i, n) => [((i * 31 + n * 17) % 800) / 8, 4000 + i + (n % 50) / 4, 12000 - (n % 30) / 2, (n % 3) / 8];
const seriesNames = ['CPU', 'MemoryUsed', 'MemoryFree', 'MemoryCompressed'];
const summaryKeys = ['averagecpu', 'averagememoryfree', 'averagememorycompressed', 'averagememoryused', 'maxmemoryfree',
  'maxmemorycompressed', 'maxmemoryused', 'maxcpu'];

/// @brief One agent's measurement as its reports describe it, extended a sample at a time: each series' JSON
/// text grows by its newest entry, so a report of n samples costs no more than copying it.
class Measurement {
  constructor(i) {
    this.i = i;
    this.names = { UsecaseName: `fleet-${i}`, srNumber: String(1000 + i), pagename: 'home' };
    this.series = seriesNames.map(() => '');
    this.sums = [0, 0, 0, 0];
    this.maxima = [-Infinity, -Infinity, -Infinity, -Infinity];
    this.samples = 0;
  }

  add() {
    const n = ++this.samples;
    sampleValues(this.i, n).forEach((value, s) => {
      this.series[s] += `${n > 1 ? ',' : ''}"${n}s":${value}`;
      this.sums[s] += value;
      this.maxima[s] = Math.max(this.maxima[s], value);
    });
  }

  /// The summary under the report's keys; a final report is half a second longer than the last running one.
  summary(final) {
    const [cpu, used, free, compressed] = this.sums.map((sum) => sum / this.samples);
    const [maxCpu, maxUsed, maxFree, maxCompressed] = this.maxima;
    return { averagecpu: cpu, averagememoryfree: free, averagememorycompressed: compressed, averagememoryused: used,
      maxmemoryfree: maxFree, maxmemorycompressed: maxCompressed, maxmemoryused: maxUsed, maxcpu: maxCpu,
      totalduration: this.samples * 1000 + (final ? 500 : 3) };
  }

  report(final) {
    const names = JSON.stringify(this.names).slice(1, -1);
    const series = seriesNames.map((name, s) => `"${name}":{${this.series[s]}}`).join(',');
    return `{${names},${series},${JSON.stringify(this.summary(final)).slice(1)}`;
  }
}

/// POSTs one report from `localAddress` over `agent`'s kept connection: { status (0: no answer), ms, upstream }.
const post = (target, agent, localAddress, body, headers) => new Promise((resolve) => {
  const started = performance.now();
  const done = (status, upstream = null) => resolve({ status, ms: performance.now() - started, upstream });
  const req = request({ host: target.host, port: target.port, method: 'POST', path: '/entry-point/json', agent, localAddress,
    timeout: 60_000, headers: { 'Content-Type': 'application/json', Accept: 'application/json', ...headers } }, (res) => {
    res.resume().on('end', () => done(res.statusCode, res.headers['x-upstream'] ?? null)).on('error', () => done(0));
  });
  req.on('error', () => done(0)).on('timeout', () => req.destroy()).end(body);
});

/// Runs `agents` simulated agents against `target` ({ host, port }), each measuring `samples` seconds (the first
/// report carrying `joinedAt` samples, as from an agent whose earlier reports went elsewhere), then sending its
/// final report (tried until answered 200, at most 5 times). While a report is unanswered the next ones wait, as the
/// agent's own do. `headers` go with every report. Resolves to each agent's record and every answer.
export async function runFleet({ target, agents, samples, joinedAt = 1, headers = {}, intervalMs = 1000 }) {
  const answers = [];
  const one = async (i) => {
    // upstreams: who answered each acknowledged report and when, where a proxy names it in X-Upstream.
    const record = { i, address: fleetAddress(i), acknowledged: 0, finalAcknowledged: false, upstreams: [], measurement: new Measurement(i) };
    const agent = new Agent({ keepAlive: true, maxSockets: 1 });
    const send = async (final) => {
      const answer = await post(target, agent, record.address, record.measurement.report(final), headers);
      answers.push(answer);
      if (answer.status !== 200) return false;
      record.acknowledged = record.measurement.samples;
      if (answer.upstream) record.upstreams.push({ upstream: answer.upstream, at: performance.now() });
      return true;
    };
    await sleep(Math.random() * intervalMs);  // agents started at different moments
    const start = performance.now();
    let inFlight = null;
    while (record.measurement.samples < joinedAt - 1) record.measurement.add();
    while (record.measurement.samples < samples) {
      record.measurement.add();
      // A report still unanswered holds the next one back; the newest report is sent when it is answered.
      if (!inFlight) inFlight = send(false).finally(() => { inFlight = null; });
      // Each tick a little late by chance, as agents' clocks and networks are, so that their reports do not
      // reach a round-robin proxy in the same order every second.
      const nextTick = start + (record.measurement.samples - joinedAt + 1) * intervalMs + Math.random() * intervalMs * 0.3;
      await sleep(Math.max(0, nextTick - performance.now()));
    }
    await inFlight;
    for (let attempt = 0; attempt < 5 && !record.finalAcknowledged; ++attempt) {
      record.finalAcknowledged = await send(true);
      if (!record.finalAcknowledged) await sleep(intervalMs);
    }
    agent.destroy();
    return record;
  };
  const startedAt = performance.now();
  const records = await Promise.all(Array.from({ length: agents }, (_, i) => one(i)));
  return { records, answers, seconds: (performance.now() - startedAt) / 1000 };
}

/// The p-th percentile (0-100) of `values`.
export const percentile = (values, p) => {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted.length ? sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)] : NaN;
};

/// Reads back every run of the fleet through the read API (`getJson(path)` resolves to the parsed answer) and
/// compares it with what the agents had acknowledged: { lost (acknowledged samples not stored as sent),
/// problems (one line per run that is not exactly its measurement) }.
export async function checkFleet(records, getJson) {
  const runs = [];
  for (let after = null; ;) {
    const page = await getJson(`/api/runs?limit=1000${after ? `&after=${after}` : ''}`);
    runs.push(...page.runs.filter((run) => run.usecase?.startsWith('fleet-')));
    if (page.next === null) break;
    after = page.next;
  }
  let lost = 0;
  const problems = [];
  for (const record of records) {
    const { i, measurement } = record;
    const mine = runs.filter((run) => run.usecase === `fleet-${i}`);
    if (mine.length !== 1) {
      problems.push(`fleet-${i}: ${mine.length} runs`);
      lost += record.acknowledged;
      continue;
    }
    const run = await getJson(`/api/runs/${mine[0].id}`);
    const wrong = [];
    for (let n = 1; n <= record.acknowledged; ++n)
      if (sampleValues(i, n).some((value, s) => run.series[seriesNames[s]][n - 1] !== value)) wrong.push(n);
    lost += wrong.length;
    if (wrong.length) problems.push(`fleet-${i}: samples ${wrong.slice(0, 5).join(', ')}… not stored as sent`);
    if (run.device !== record.address) problems.push(`fleet-${i}: device ${run.device}, sent from ${record.address}`);
    if (run.samples !== record.acknowledged && record.finalAcknowledged) problems.push(`fleet-${i}: ${run.samples} samples stored, ${record.acknowledged} sent`);
    if (record.finalAcknowledged) {
      const expected = measurement.summary(true);
      const differs = [...summaryKeys, 'totalduration'].filter((key) => run.figures[key] !== expected[key]);
      if (differs.length) problems.push(`fleet-${i}: summary ${differs.join(', ')} differ from the final report`);
    }
  }
  return { lost, problems };
}
