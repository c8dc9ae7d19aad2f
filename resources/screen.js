// The operator page: the screen actions, the process picker and the live view of the measurement.
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const useCaseName = $("useCaseName");
  const srNumber = $("srNumber");
  const target = $("target");
  const startButton = $("start");
  const stopButton = $("stop");
  const status = $("status");

  function showStatus(text, isError) {
    status.textContent = text;
    status.classList.toggle("error", Boolean(isError));
  }

  async function failureText(response) {
    const detail = (await response.text().catch(() => "")).trim();
    return response.status + (detail ? " " + detail : response.statusText ? " " + response.statusText : "");
  }

  const markButton = $("mark");
  // Sends one screen action; the buttons stay disabled until the agent has answered. `doneText` is the
  // status, or a function of the answer's JSON giving it.
  async function send(path, body, doneText, failText) {
    startButton.disabled = stopButton.disabled = markButton.disabled = true;
    try {
      const response = await fetch(path, {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(body),
        cache: "no-store",
      });
      if (!response.ok) showStatus(failText + ": " + (await failureText(response)), true);
      else if (typeof doneText === "function") showStatus(...doneText(await response.json()));
      else showStatus(doneText, false);
    } catch (error) {
      showStatus(failText + ": the agent could not be reached", true);
    } finally {
      startButton.disabled = stopButton.disabled = markButton.disabled = false;
      pollSoon();
    }
  }

  function startPerformanceWithSender(sender) {
    const body = { useCaseName: useCaseName.value, srNumber: srNumber.value };
    if (target.value.trim() !== "") body.target = target.value.trim();
    if ($("build").value.trim() !== "") body.build = $("build").value.trim();
    return send("/screen/actions/start", body, "Started", "Start failed");
  }

  function stopPerformanceWithSender(sender) {
    return send("/screen/actions/stop", {}, "Stopped", "Stop failed");
  }

  $("screen").addEventListener("submit", (event) => {
    event.preventDefault();
    startPerformanceWithSender(startButton);
  });
  stopButton.addEventListener("click", () => stopPerformanceWithSender(stopButton));
  // A mark's answer names the measurements it labelled, or why none.
  $("markForm").addEventListener("submit", (event) => {
    event.preventDefault();
    const label = $("markLabel").value.trim();
    if (!label) return showStatus("Type the marker's label first", true);
    send("/screen/actions/mark", { label }, (answer) => (answer.action === "mark"
      ? [`Marked "${label}" in the ${answer.measurements.join(", ")} measurement${answer.measurements.length > 1 ? "s" : ""}`, false]
      : ["Not marked: " + answer.reason, true]), "Mark failed");
  });

  // Fills the fields with the agent's texts, unless the user has started typing already.
  async function loadFields() {
    const edited = new Set();
    for (const input of [useCaseName, srNumber]) input.addEventListener("input", () => edited.add(input), { once: true });
    try {
      const response = await fetch("/screen/fields", { cache: "no-store" });
      if (!response.ok) throw new Error(await failureText(response));
      const fields = await response.json();
      if (!edited.has(useCaseName) && typeof fields.useCaseName === "string") useCaseName.value = fields.useCaseName;
      if (!edited.has(srNumber) && typeof fields.srNumber === "string") srNumber.value = fields.srNumber;
    } catch (error) {
      showStatus("Could not load the fields: " + error.message, true);
    }
  }

  // The process picker: fills the target with the chosen process's name when no other listed process
  // has that name (a name finds the app again after a restart), otherwise with its pid.
  const dialog = $("processes");
  const processList = $("processList");
  const processStatus = $("processStatus");
  const processFilter = $("processFilter");
  let processes = [];

  function showProcesses() {
    const words = processFilter.value.trim().toLowerCase();
    const shown = processes.filter((p) => !words || [p.name, p.command, p.user, String(p.pid)].some((t) => String(t).toLowerCase().includes(words)));
    const items = shown.slice(0, 200).map((p) => {
      const button = document.createElement("button");
      button.type = "button";
      const unique = processes.filter((other) => other.name === p.name).length === 1;
      button.append(`${p.name} (pid ${p.pid}, ${p.user}, ${PerfCharts.number(p.rss / 1048576, 0)} MB)`);
      const command = document.createElement("small");
      command.textContent = p.command;
      button.append(command);
      button.addEventListener("click", () => {
        target.value = unique ? p.name : String(p.pid);
        dialog.close();
        target.focus();
      });
      const item = document.createElement("li");
      item.append(button);
      return item;
    });
    processList.replaceChildren(...items);
    processStatus.textContent = shown.length > items.length
      ? `${shown.length} processes match; the first ${items.length} are listed.`
      : `${shown.length} process${shown.length === 1 ? "" : "es"}.`;
  }

  $("pickTarget").addEventListener("click", async () => {
    processList.replaceChildren();
    processStatus.textContent = "Listing processes…";
    dialog.showModal();
    try {
      const response = await fetch("/screen/processes", { cache: "no-store" });
      if (!response.ok) throw new Error(await failureText(response));
      processes = (await response.json()).sort((a, b) => b.rss - a.rss);
      showProcesses();
    } catch (error) {
      processStatus.textContent = "Could not list the processes: " + error.message;
    }
  });
  processFilter.addEventListener("input", showProcesses);
  $("closeProcesses").addEventListener("click", () => dialog.close());

  // The live view: asks the agent each second for the measurement's state and the samples it has not
  // sent yet; a new measurement (another start instant) starts the chart afresh.
  // The series the page draws on charts of their own; any other series the agent describes in
  // "seriesInfo" is drawn on a chart per group and unit below them.
  const seriesNames = ["CPU", "MemoryUsed", "MemoryFree", "MemoryCompressed", "AppCPU", "AppMemory"];
  const readoutNames = ["systemCpu", "memoryUsed", "memoryFree", "memoryCompressed", "appCpu", "appMemory"];
  // The CPU chart has the app's line only while the measurement has a target: drawn anew when that changes.
  let cpuChart = null;
  function cpuChartFor(target) {
    if (cpuChart && cpuChart.target === target) return cpuChart;
    const lines = [{ label: "CPU" }].concat(target ? [{ label: "App CPU", color: PerfCharts.palette[1], dash: PerfCharts.dashes[1] }] : []);
    cpuChart = { target, chart: PerfCharts.chart($("cpuChart"), { unit: "%", fromZero: true, group: "live", zoom: false, series: lines }) };
    return cpuChart;
  }
  const appMemoryChart = PerfCharts.chart($("appMemoryChart"), { unit: "MB", group: "live", zoom: false, series: [{ label: "App memory" }] });
  const memoryChart = PerfCharts.chart($("memoryChart"), {
    unit: "MB", group: "live", zoom: false,
    series: [{ label: "Used" }, { label: "Free", color: PerfCharts.palette[1], dash: PerfCharts.dashes[1] },
             { label: "Compressed", color: PerfCharts.palette[2], dash: PerfCharts.dashes[2] }],
  });
  const origins = { push: "a push command", page: "this page", overall: "the overall loop" };
  let series = {};
  let measurementStarted = null;
  let since = 0;
  let offlineSince = null;
  let pollTimer = 0;

  function resetSeries() {
    series = Object.fromEntries(seriesNames.map((name) => [name, []]));
    since = 0;
  }
  const seriesOf = (name) => series[name] || (series[name] = []);

  // Stores the samples with numbers from `from` on; a gap stays null (a sample the agent never took).
  function mergeSeries(update) {
    if (!update || !Number.isInteger(update.from) || update.from < 1) return;
    let last = since;
    for (const name of Object.keys(update)) {
      if (name === "from") continue;
      const values = Array.isArray(update[name]) ? update[name] : [];
      const stored = seriesOf(name);
      while (stored.length < update.from - 1) stored.push(null);
      values.forEach((value, i) => { stored[update.from - 1 + i] = typeof value === "number" ? value : null; });
      if (values.length) last = Math.max(last, update.from + values.length - 1);
    }
    since = last;
  }

  // The app series are drawn while the measurement has a target: its CPU beside the system's, its memory
  // on a chart of its own.
  let hasTarget = false;
  function drawCharts() {
    const [samples, cpu, used, free, compressed, appCpu, appMemory] = PerfCharts.columns(seriesNames.map((name) => series[name]));
    cpuChartFor(hasTarget).chart.setData(hasTarget ? [samples, cpu, appCpu] : [samples, cpu]);
    memoryChart.setData([samples, used, free, compressed]);
    $("appMemoryBlock").hidden = !hasTarget;
    if (hasTarget) {
      appMemoryChart.setData([samples, appMemory]);
      $("appMemorySummary").textContent = PerfCharts.describe("App memory", "MB", appMemory);
    }
    $("cpuSummary").textContent = PerfCharts.describe("CPU", "%", cpu) + (hasTarget ? " " + PerfCharts.describe("App CPU", "%", appCpu) : "");
    $("memorySummary").textContent = [["Used", used], ["Free", free], ["Compressed", compressed]]
      .map(([label, values]) => PerfCharts.describe("Memory " + label.toLowerCase(), "MB", values, 0)).join(" ");
    drawMoreCharts();
  }

  // The described series without a chart of their own above: one chart per group and unit, drawn anew
  // when the series it holds change.
  let seriesInfo = [];
  const moreCharts = new Map();
  function drawMoreCharts() {
    const groups = new Map();
    for (const info of seriesInfo) {
      if (seriesNames.includes(info.key)) continue;
      const id = info.group + " " + info.unit;
      if (!groups.has(id)) groups.set(id, []);
      groups.get(id).push(info);
    }
    for (const [id, block] of moreCharts) {
      if (!groups.has(id)) { block.node.remove(); moreCharts.delete(id); }
    }
    for (const [id, members] of groups) {
      const keys = members.map((info) => info.key).join(",");
      let block = moreCharts.get(id);
      if (!block || block.keys !== keys) {
        if (block) block.node.remove();
        const node = document.createElement("div");
        node.className = "chart";
        const title = document.createElement("h3");
        title.textContent = `${members.map((info) => info.label).join(", ")} (${members[0].unit})`;
        const plot = document.createElement("div");
        plot.className = "plot";
        plot.setAttribute("role", "img");
        const summary = document.createElement("p");
        node.append(title, plot, summary);
        $("moreCharts").append(node);
        const lines = members.map((info, i) => ({ label: info.label, color: PerfCharts.palette[i % PerfCharts.palette.length],
          dash: PerfCharts.dashes[i % PerfCharts.dashes.length] }));
        block = { node, keys, summary, chart: PerfCharts.chart(plot, { unit: members[0].unit, group: "live", zoom: false, series: lines }) };
        moreCharts.set(id, block);
      }
      const [samples, ...values] = PerfCharts.columns([series.CPU, ...members.map((info) => series[info.key])]);
      values.shift();  // the CPU column only sets the length: every series has the system's samples
      block.chart.setData([samples, ...values]);
      block.summary.textContent = members.map((info, i) => PerfCharts.describe(info.label, info.unit, values[i])).join(" ");
    }
  }

  // The readout's figures beyond the fixed six, labelled as their series are.
  function showMoreReadout(readout) {
    const more = seriesInfo.filter((info) => info.readout && !readoutNames.includes(info.readout));
    const box = $("readout");
    box.querySelectorAll("[data-more]").forEach((node) => node.remove());
    for (const info of more) {
      const item = document.createElement("div");
      item.dataset.more = info.readout;
      const label = document.createElement("dt");
      label.textContent = info.label;
      const value = document.createElement("dd");
      value.textContent = readout ? PerfCharts.number(readout[info.readout], 1) + " " + info.unit : "–";
      item.append(label, value);
      box.append(item);
    }
  }

  const setText = (id, text) => { const node = $(id); if (node.textContent !== text) node.textContent = text; };
  const clock = (ms) => new Date(ms).toLocaleTimeString();

  function showMeasurement(state) {
    const m = state.measurement;
    setText("mUseCase", (m && m.useCaseName) || "–");
    setText("mSrNumber", (m && m.srNumber) || "–");
    setText("mPage", (m && m.pageName) || "–");
    setText("mStarted", m ? new Date(m.started).toLocaleString() : "–");
    setText("mOrigin", m ? origins[m.origin] || String(m.origin) : "–");
    setText("mSamples", m ? String(m.samples) : "–");
    const t = m && m.target;
    setText("mTarget", t ? `${t.name} (pid ${t.pid})` : "none");
    // Without a target the app figures are the agent's own.
    setText("rAppCpuLabel", t ? "App CPU" : "Agent CPU");
    setText("rAppMemoryLabel", t ? "App memory" : "Agent memory");
    const r = state.readout;
    const figure = (value, unit, digits) => (r ? PerfCharts.number(value, digits) + " " + unit : "–");
    setText("rSystemCpu", figure(r && r.systemCpu, "%", 1));
    setText("rMemoryUsed", figure(r && r.memoryUsed, "MB", 0));
    setText("rMemoryFree", figure(r && r.memoryFree, "MB", 0));
    setText("rMemoryCompressed", figure(r && r.memoryCompressed, "MB", 0));
    setText("rAppCpu", figure(r && r.appCpu, "%", 1));
    setText("rAppMemory", figure(r && r.appMemory, "MB", 1));
    showMoreReadout(r);
    setText("agentState", state.running ? "A measurement is running." : m ? "No measurement is running; the chart shows the last one." : "No measurement is running.");
    setText("chartsTitle", state.running ? "Live chart" : "Chart of the last measurement");
  }

  function showOffline() {
    if (offlineSince === null) offlineSince = Date.now();
    const node = $("agentState");
    node.classList.add("offline");
    setText("agentState", `The agent is not answering (since ${clock(offlineSince)}); retrying.`);
  }

  // One request at a time; a poll asked for meanwhile follows at once.
  let inFlight = false;
  let pollAgain = false;
  async function poll() {
    clearTimeout(pollTimer);
    if (inFlight) { pollAgain = true; return; }
    inFlight = true;
    const abort = new AbortController();
    const timeout = setTimeout(() => abort.abort(), 4000);
    try {
      const response = await fetch("/screen/state?since=" + since, { cache: "no-store", signal: abort.signal });
      if (!response.ok) throw new Error(String(response.status));
      const state = await response.json();
      offlineSince = null;
      $("agentState").classList.remove("offline");
      const m = state.measurement;
      // Samples counted from an older measurement's number would leave a hole at the start: ask again.
      const restart = m && m.started !== measurementStarted && since !== 0;
      if (m && m.started !== measurementStarted) {
        resetSeries();
        measurementStarted = m.started;
      }
      if (restart) pollAgain = true;
      else if (m) mergeSeries(state.series);
      hasTarget = Boolean(m && m.target);
      seriesInfo = Array.isArray(state.seriesInfo) ? state.seriesInfo : [];
      drawCharts();
      showMeasurement(state);
    } catch (error) {
      showOffline();
    } finally {
      clearTimeout(timeout);
      inFlight = false;
      pollTimer = setTimeout(poll, pollAgain ? 0 : 1000);
      pollAgain = false;
    }
  }
  const pollSoon = () => poll();
  resetSeries();
  loadFields();
  poll();
})();
